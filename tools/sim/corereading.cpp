// Reading the line and cutting what arrives into command frames, blocks, EOT
// and the host's CAN CAN. On a paced line each byte counts as arrived only
// once it would have come through a UART at that speed.

#include "sim/bootloadercore.h"

#include "ymodem/frames.h"

#include <algorithm>

namespace sim {

using namespace ymodem;
using Phase = BootloaderPhase;

void BootloaderCore::takeArrival(int count, qint64 now)
{
    chunkFirstIndex_ = counters_.bytesRead;
    counters_.bytesRead += count;
    ++counters_.reads;
    // On a real UART the chunk would still be on its way: it starts once the
    // line is free and takes its wire time.
    chunkStartNs_ = std::max(now, inboundFreeNs_);
    inboundFreeNs_ = chunkStartNs_ + wireNs(count);
}

qint64 BootloaderCore::arrivalNs(qint64 byteIndex) const
{
    if (options_.paceBaud <= 0)
        return nowNs_;
    return chunkStartNs_ + wireNs(byteIndex - chunkFirstIndex_ + 1);
}

QByteArray BootloaderCore::takeInput(int count)
{
    const QByteArray taken = input_.left(count);
    input_.remove(0, count);
    inputConsumed_ += taken.size();
    return taken;
}

bool BootloaderCore::expectsBlocks() const
{
    const Phase current = phase_;
    return current == Phase::WaitingForHeader || current == Phase::ReceivingData ||
           current == Phase::WaitingForClosingBlock;
}

void BootloaderCore::processInput()
{
    stallDueNs_ = NoDeadline;
    bool progressed = true;
    while (progressed && !input_.isEmpty() && !closed_) {
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
    if (!input_.isEmpty() && !closed_ && options_.stallTimeoutMs > 0)
        stallDueNs_ = nowNs_ + qint64(options_.stallTimeoutMs) * 1000000;
}

bool BootloaderCore::takeCommandFrame()
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

bool BootloaderCore::takeBlock()
{
    if (phase_ == Phase::WaitingForHeader)
        cDueNs_ = NoDeadline; // the header has started to arrive
    const int size = blockSize(input_.at(0));
    if (input_.size() < size)
        return false;
    flushStrayBytes();
    const qint64 arrival = arrivalNs(inputConsumed_ + size - 1);
    onBlock(takeInput(size), arrival);
    return true;
}

bool BootloaderCore::takeCancel()
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

int BootloaderCore::blockSize(char head) const
{
    // This bootloader reads the closing block with a 1024-byte field although
    // its head is SOH.
    if (head == STX || phase_ == Phase::WaitingForClosingBlock)
        return DataBlockSize;
    return HeaderBlockSize;
}

void BootloaderCore::dropStrayByte()
{
    stray_.append(takeInput(1));
}

void BootloaderCore::flushStrayBytes()
{
    if (stray_.isEmpty())
        return;
    problem(QStringLiteral("%1 stray byte(s) ignored: %2")
                .arg(stray_.size())
                .arg(QString::fromLatin1(stray_.left(32).toHex(' '))));
    stray_.clear();
}

void BootloaderCore::onStall()
{
    stallDueNs_ = NoDeadline;
    if (input_.isEmpty() || closed_)
        return;
    const char head = input_.at(0);
    problem(QStringLiteral("unfinished frame dropped after %1 ms of silence: %2 byte(s), head %3")
                .arg(options_.stallTimeoutMs)
                .arg(input_.size())
                .arg(hexByte(head)));
    takeInput(input_.size());
    // A receiver that times out inside a block asks for it again.
    if (expectsBlocks() && (head == SOH || head == STX))
        sendNak(nowNs_);
    if (phase_ == Phase::WaitingForHeader)
        restartC();
}

} // namespace sim
