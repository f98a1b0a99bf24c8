// Reading the line and cutting what arrives into command frames, blocks, EOT
// and the host's CAN CAN. On a paced line each byte counts as arrived only
// once it would have come through a UART at that speed.

#include "sim/bootloadersim.h"

#include "ymodem/frames.h"

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

using namespace ymodem;

void BootloaderSim::readLine()
{
    char buffer[4096];
    while (fd_ >= 0) {
        const ssize_t count = ::read(fd_, buffer, sizeof buffer);
        if (count > 0) {
            input_.append(buffer, int(count));
            takeArrival(int(count));
            processInput();
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // End of file or an error such as EIO: the other side is gone.
        note(count == 0 ? QStringLiteral("the line reports end of file")
                        : QStringLiteral("line error: %1")
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
        closeLine();
    }
}

void BootloaderSim::takeArrival(int count)
{
    const qint64 now = nowNs();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        chunkFirstIndex_ = counters_.bytesRead;
        counters_.bytesRead += count;
        ++counters_.reads;
    }
    // On a real UART the chunk would still be on its way: it starts once the
    // line is free and takes its wire time.
    chunkStartNs_ = std::max(now, inboundFreeNs_);
    inboundFreeNs_ = chunkStartNs_ + wireNs(count);
}

qint64 BootloaderSim::arrivalNs(qint64 byteIndex) const
{
    if (options_.paceBaud <= 0)
        return nowNs();
    return chunkStartNs_ + wireNs(byteIndex - chunkFirstIndex_ + 1);
}

QByteArray BootloaderSim::takeInput(int count)
{
    const QByteArray taken = input_.left(count);
    input_.remove(0, count);
    inputConsumed_ += taken.size();
    return taken;
}

bool BootloaderSim::expectsBlocks() const
{
    const Phase current = phase();
    return current == Phase::WaitingForHeader || current == Phase::ReceivingData ||
           current == Phase::WaitingForClosingBlock;
}

void BootloaderSim::processInput()
{
    stallTimer_->stop();
    bool progressed = true;
    while (progressed && !input_.isEmpty() && fd_ >= 0) {
        const char head = input_.at(0);
        if (head == firstCommandFrame.at(0)) {
            progressed = takeCommandFrame();
        } else if (expectsBlocks() && (head == SOH || head == STX)) {
            progressed = takeBlock();
        } else if (expectsBlocks() && head == EOT) {
            const qint64 arrival = arrivalNs(inputConsumed_);
            takeInput(1);
            onEot(arrival);
        } else if (head == CAN) {
            progressed = takeCancel();
        } else {
            dropStrayByte();
        }
    }
    flushStrayBytes();
    if (!input_.isEmpty() && fd_ >= 0 && options_.stallTimeoutMs > 0)
        stallTimer_->start();
}

bool BootloaderSim::takeCommandFrame()
{
    for (const QByteArray *frame : {&firstCommandFrame, &secondCommandFrame}) {
        if (input_.startsWith(*frame)) {
            takeInput(frame->size());
            onCommandFrame(frame == &firstCommandFrame);
            return true;
        }
    }
    const bool partOfAFrame =
        input_.size() < firstCommandFrame.size() &&
        (firstCommandFrame.startsWith(input_) || secondCommandFrame.startsWith(input_));
    if (partOfAFrame)
        return false;
    dropStrayByte();
    return true;
}

bool BootloaderSim::takeBlock()
{
    if (phase() == Phase::WaitingForHeader)
        cTimer_->stop(); // the header has started to arrive
    const int size = blockSize(input_.at(0));
    if (input_.size() < size)
        return false;
    flushStrayBytes();
    const qint64 arrival = arrivalNs(inputConsumed_ + size - 1);
    onBlock(takeInput(size), arrival);
    return true;
}

bool BootloaderSim::takeCancel()
{
    if (input_.size() < 2)
        return false; // the second CAN may be on its way
    if (input_.at(1) != CAN) {
        dropStrayByte();
        return true;
    }
    flushStrayBytes();
    // Many senders repeat CAN to be sure: the whole run is one cancel.
    int count = 2;
    while (count < input_.size() && input_.at(count) == CAN)
        ++count;
    takeInput(count);
    onHostCancel();
    return true;
}

int BootloaderSim::blockSize(char head) const
{
    // This bootloader reads the closing block with a 1024-byte field although
    // its head is SOH.
    if (head == STX || phase() == Phase::WaitingForClosingBlock)
        return DataBlockSize;
    return HeaderBlockSize;
}

void BootloaderSim::dropStrayByte()
{
    stray_.append(takeInput(1));
}

void BootloaderSim::flushStrayBytes()
{
    if (stray_.isEmpty())
        return;
    problem(QStringLiteral("%1 stray byte(s) ignored: %2")
                .arg(stray_.size())
                .arg(QString::fromLatin1(stray_.left(32).toHex(' '))));
    stray_.clear();
}

void BootloaderSim::onStall()
{
    if (input_.isEmpty() || fd_ < 0)
        return;
    const char head = input_.at(0);
    problem(QStringLiteral("unfinished frame dropped after %1 ms of silence: %2 byte(s), head %3")
                .arg(options_.stallTimeoutMs)
                .arg(input_.size())
                .arg(hexByte(head)));
    takeInput(input_.size());
    // A receiver that times out inside a block asks for it again.
    if (expectsBlocks() && (head == SOH || head == STX))
        sendNak(nowNs());
    if (phase() == Phase::WaitingForHeader)
        cTimer_->start();
}
