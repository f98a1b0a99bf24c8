#include "sim/bootloadersim.h"

#include "ymodem/frames.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/timerfd.h>
#include <unistd.h>

using namespace ymodem;

namespace {

constexpr qint64 NsPerMs = 1000000;
constexpr qint64 NsPerSecond = 1000000000;

// What the bootloader prints while it starts, before it asks for a file.
// Neither "C" nor ACK, so it cannot be mistaken for a go-ahead.
const QByteArray startupNoise("\x00\xff\r\nboot\r\n", 10);

const QByteArray ackThenC = QByteArray(1, ACK) + CRC_REQUEST;

bool isAllZero(const QByteArray &bytes)
{
    return std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return c == 0; });
}

bool isAll(const QByteArray &bytes, char value)
{
    return std::all_of(bytes.cbegin(), bytes.cend(), [value](char c) { return c == value; });
}

QString hexByte(char byte)
{
    return QStringLiteral("0x%1").arg(quint8(byte), 2, 16, QLatin1Char('0'));
}

// The size in a header block: decimal digits, no sign, no leading zero.
bool parseSize(const QByteArray &digits, qint64 *size)
{
    if (digits.isEmpty() || (digits.size() > 1 && digits.startsWith('0')))
        return false;
    if (!std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    bool ok = false;
    *size = digits.toLongLong(&ok);
    return ok;
}

} // namespace

BootloaderSim::BootloaderSim(int lineFd, const BootloaderSimOptions &options, QObject *parent)
    : QObject(parent), options_(options), fd_(lineFd)
{
    clock_.start();
}

BootloaderSim::~BootloaderSim()
{
    // Other threads read the results under the lock; taking it here orders
    // their last reads before this memory goes, also for ThreadSanitizer,
    // which does not see how Qt hands the deletion to this thread.
    {
        const std::lock_guard<std::mutex> lock(mutex_);
    }
    delete readNotifier_;
    delete writeTimerNotifier_;
    if (writeTimerFd_ >= 0)
        ::close(writeTimerFd_);
    if (fd_ >= 0)
        ::close(fd_);
}

BootloaderSim::Phase BootloaderSim::phase() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return phase_;
}

QString BootloaderSim::fileName() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return fileName_;
}

qint64 BootloaderSim::announcedSize() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return announcedSize_;
}

QByteArray BootloaderSim::receivedImage() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (announcedSize_ < 0 || announcedSize_ >= data_.size())
        return data_;
    return data_.left(int(announcedSize_));
}

BootloaderSimCounters BootloaderSim::counters() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

QStringList BootloaderSim::log() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

QStringList BootloaderSim::problems() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return problems_;
}

bool BootloaderSim::start()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (fd_ < 0 || readNotifier_ != nullptr)
        return false;
    // Replies are dropped rather than block the device when nobody reads
    // the line, as a UART without flow control would.
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);

    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, &BootloaderSim::readLine);

    cTimer_ = new QTimer(this);
    cTimer_->setInterval(options_.cIntervalMs);
    connect(cTimer_, &QTimer::timeout, this, &BootloaderSim::pollC);

    // Answers on a paced line are due to the microsecond; a QTimer rounds up
    // to whole milliseconds and would make every block about 1 ms late.
    writeTimerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (writeTimerFd_ < 0)
        return false;
    writeTimerNotifier_ = new QSocketNotifier(writeTimerFd_, QSocketNotifier::Read, this);
    connect(writeTimerNotifier_, &QSocketNotifier::activated, this, &BootloaderSim::onWriteTimer);

    stallTimer_ = new QTimer(this);
    stallTimer_->setSingleShot(true);
    stallTimer_->setInterval(options_.stallTimeoutMs);
    connect(stallTimer_, &QTimer::timeout, this, &BootloaderSim::onStall);

    note(QStringLiteral("waiting for the command frames"));
    return true;
}

void BootloaderSim::closeLine()
{
    if (QThread::currentThread() != thread()) {
        runInOwnThreadAndWait([this] { closeLine(); });
        return;
    }
    if (fd_ < 0)
        return;
    if (readNotifier_ != nullptr) {
        // Possibly inside its own activated() signal: delete it later.
        readNotifier_->setEnabled(false);
        readNotifier_->deleteLater();
        readNotifier_ = nullptr;
    }
    for (QTimer *timer : {cTimer_, stallTimer_})
        if (timer != nullptr)
            timer->stop();
    armWriteTimer(0);
    outgoing_.clear();
    input_.clear();
    ::close(fd_);
    fd_ = -1;
    setPhase(Phase::LineClosed);
    note(QStringLiteral("line closed"));
    emit lineClosed();
}

// A blocking queued call would do the same, but Qt hands off through its own
// futex-based semaphore, which ThreadSanitizer cannot see: everything the sim's
// thread did would look unordered with what the caller does next. A standard
// mutex and condition variable, shared with the queued call, show the order.
void BootloaderSim::runInOwnThreadAndWait(const std::function<void()> &work)
{
    struct Handoff
    {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    const auto handoff = std::make_shared<Handoff>();
    QMetaObject::invokeMethod(
        this,
        [handoff, work] {
            work();
            const std::lock_guard<std::mutex> lock(handoff->mutex);
            handoff->done = true;
            handoff->changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(handoff->mutex);
    handoff->changed.wait(lock, [&handoff] { return handoff->done; });
}

// ---------------------------------------------------------------------------
// Reading and framing

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

// ---------------------------------------------------------------------------
// The receiver

void BootloaderSim::onCommandFrame(bool first)
{
    if (first) {
        firstFrameSeen_ = true;
        note(QStringLiteral("first command frame"));
        return;
    }
    if (!firstFrameSeen_) {
        problem(QStringLiteral("second command frame without the first: ignored"));
        return;
    }
    firstFrameSeen_ = false;
    note(QStringLiteral("second command frame"));
    enterBootloader();
}

void BootloaderSim::enterBootloader()
{
    const Phase before = phase();
    if (before != Phase::WaitingForCommands && before != Phase::Completed)
        note(QStringLiteral("the transfer in progress is abandoned"));
    resetTransfer();
    setPhase(Phase::WaitingForHeader);
    note(QStringLiteral("entering the bootloader"));
    emit commandFramesReceived();
    if (options_.silent)
        note(QStringLiteral("silent: no byte will be sent"));
    if (options_.garbageBeforeC)
        send(startupNoise, nowNs());
    pollC();
    cTimer_->start();
}

void BootloaderSim::resetTransfer()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        fileName_.clear();
        announcedSize_ = -1;
        data_.clear();
        const BootloaderSimCounters before = counters_;
        counters_ = BootloaderSimCounters();
        counters_.sessions = before.sessions + 1;
        counters_.bytesRead = before.bytesRead;
        counters_.reads = before.reads;
    }
    expectedBlock_ = 1;
    nakDone_ = false;
    dropDone_ = false;
    eotNakDone_ = false;
}

void BootloaderSim::pollC()
{
    if (phase() != Phase::WaitingForHeader) {
        cTimer_->stop();
        return;
    }
    int sentBefore;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        sentBefore = counters_.cSent++;
    }
    if (sentBefore == 0)
        note(QStringLiteral("asking for a file: \"C\" every %1 ms").arg(options_.cIntervalMs));
    send(QByteArray(1, CRC_REQUEST), nowNs());
}

void BootloaderSim::onBlock(const QByteArray &block, qint64 arrivalNs)
{
    const int size = block.size();
    const quint8 number = quint8(block.at(1));
    const quint8 complement = quint8(block.at(2));
    if ((number ^ complement) != 0xFF) {
        reject(QStringLiteral("block %1: complement %2 does not match").arg(number).arg(complement),
               arrivalNs);
        return;
    }
    const quint16 crc = quint16(quint8(block.at(size - 2)) << 8 | quint8(block.at(size - 1)));
    if (blockCrc16(block.constData() + 3, quint32(size - BlockOverhead)) != crc) {
        reject(QStringLiteral("block %1: bad CRC").arg(number), arrivalNs);
        return;
    }
    switch (phase()) {
    case Phase::WaitingForHeader:
        onHeaderBlock(block, arrivalNs);
        break;
    case Phase::ReceivingData:
        onDataBlock(block, arrivalNs);
        break;
    case Phase::WaitingForClosingBlock:
        onClosingBlock(block, arrivalNs);
        break;
    default:
        break;
    }
}

void BootloaderSim::onHeaderBlock(const QByteArray &block, qint64 arrivalNs)
{
    const quint8 number = quint8(block.at(1));
    if (number != 0) {
        reject(QStringLiteral("expected the header block 0, got block %1").arg(number), arrivalNs);
        return;
    }
    const QByteArray field = block.mid(3, block.size() - BlockOverhead);
    const int nul = field.indexOf('\0');
    if (nul <= 0) {
        reject(QStringLiteral("header block without a file name"), arrivalNs);
        return;
    }
    const int space = field.indexOf(' ', nul + 1);
    qint64 size = -1;
    if (space < 0 || !parseSize(field.mid(nul + 1, space - nul - 1), &size)) {
        reject(QStringLiteral("header block: no decimal size followed by a space"), arrivalNs);
        return;
    }
    if (!isAllZero(field.mid(space + 1)))
        problem(QStringLiteral("header block: bytes after the size are not zero"));

    const QString name = QString::fromUtf8(field.left(nul));
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        fileName_ = name;
        announcedSize_ = size;
    }
    setPhase(Phase::ReceivingData);
    expectedBlock_ = 1;
    note(QStringLiteral("header block: \"%1\", %2 bytes: ACK C").arg(name).arg(size));
    reply(ackThenC, arrivalNs, options_.replyDelayMs + options_.eraseDelayMs);
    emit headerReceived(name, size);
}

void BootloaderSim::onDataBlock(const QByteArray &block, qint64 arrivalNs)
{
    const quint8 number = quint8(block.at(1));
    const int stored = counters().dataBlocks;
    if (number == quint8(expectedBlock_ - 1)) {
        // Our answer was lost: acknowledge again, keep the data once.
        const bool header = stored == 0;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ++counters_.repeatedBlocks;
        }
        note(QStringLiteral("block %1 again: %2").arg(number).arg(header ? "ACK C" : "ACK"));
        reply(header ? ackThenC : QByteArray(1, ACK), arrivalNs, options_.replyDelayMs);
        return;
    }
    if (number != expectedBlock_) {
        reject(QStringLiteral("expected block %1, got block %2").arg(expectedBlock_).arg(number),
               arrivalNs);
        return;
    }
    answerDataBlock(block, stored + 1, arrivalNs);
}

void BootloaderSim::answerDataBlock(const QByteArray &block, int count, qint64 arrivalNs)
{
    const int delay = options_.replyDelayMs;
    if (count == options_.cancelAtBlock) {
        note(QStringLiteral("data block %1: cancelled with CAN CAN").arg(count));
        setPhase(Phase::Cancelled);
        reply(QByteArray(2, CAN), arrivalNs, delay, [this] { emit transferCancelled(); });
        return;
    }
    if (count == options_.nakBlock && !nakDone_) {
        nakDone_ = true;
        note(QStringLiteral("data block %1: NAK, as asked").arg(count));
        sendNak(arrivalNs);
        return;
    }
    acceptDataBlock(block, count);
    if (count == options_.closeAfterBlock) {
        note(QStringLiteral("data block %1 is in: the device vanishes").arg(count));
        closeLine();
        return;
    }
    if (count == options_.dropAckBlock && !dropDone_) {
        dropDone_ = true;
        note(QStringLiteral("data block %1: stored, its ACK left out").arg(count));
        return;
    }
    note(QStringLiteral("data block %1 (number %2): ACK").arg(count).arg(quint8(block.at(1))));
    reply(QByteArray(1, ACK), arrivalNs, delay);
}

void BootloaderSim::acceptDataBlock(const QByteArray &block, int count)
{
    bool beyondSize;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        beyondSize = data_.size() >= announcedSize_;
        data_.append(block.constData() + 3, block.size() - BlockOverhead);
        counters_.dataBlocks = count;
    }
    if (beyondSize)
        problem(QStringLiteral("data block %1 lies beyond the announced size").arg(count));
    ++expectedBlock_;
    emit blockReceived(count);
}

void BootloaderSim::onClosingBlock(const QByteArray &block, qint64 arrivalNs)
{
    if (block.at(0) != SOH || block.at(1) != 0) {
        reject(QStringLiteral("expected the closing block SOH 00 FF, got head %1, block %2")
                   .arg(hexByte(block.at(0)))
                   .arg(quint8(block.at(1))),
               arrivalNs);
        return;
    }
    if (!isAllZero(block.mid(3, block.size() - BlockOverhead))) {
        reject(QStringLiteral("closing block: the field is not all zero"), arrivalNs);
        return;
    }
    QString summary;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        counters_.closingBlockReceived = true;
        summary = QStringLiteral("transfer complete: \"%1\", %2 bytes in %3 data block(s)")
                      .arg(fileName_)
                      .arg(announcedSize_)
                      .arg(counters_.dataBlocks);
    }
    setPhase(Phase::Completed);
    note(QStringLiteral("closing block: ACK"));
    reply(QByteArray(1, ACK), arrivalNs, options_.replyDelayMs, [this, summary] {
        note(summary);
        emit transferCompleted();
    });
}

void BootloaderSim::onEot(qint64 arrivalNs)
{
    const Phase current = phase();
    if (current == Phase::WaitingForHeader) {
        reject(QStringLiteral("EOT before the header block"), arrivalNs);
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++counters_.eotsReceived;
    }
    if (current == Phase::WaitingForClosingBlock) {
        note(QStringLiteral("EOT again: ACK C"));
        reply(ackThenC, arrivalNs, options_.replyDelayMs);
        return;
    }
    if (options_.nakFirstEot && !eotNakDone_) {
        eotNakDone_ = true;
        note(QStringLiteral("EOT: NAK, as asked"));
        sendNak(arrivalNs);
        return;
    }
    checkImageEnd();
    setPhase(Phase::WaitingForClosingBlock);
    note(QStringLiteral("EOT after %1 data block(s): ACK C").arg(counters().dataBlocks));
    reply(ackThenC, arrivalNs, options_.replyDelayMs);
    emit eotReceived();
}

void BootloaderSim::checkImageEnd()
{
    QByteArray data;
    qint64 size;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        data = data_;
        size = announcedSize_;
    }
    if (data.size() < size) {
        problem(QStringLiteral("image short: %1 of %2 bytes").arg(data.size()).arg(size));
        return;
    }
    if (!isAll(data.mid(int(size)), FILL))
        problem(QStringLiteral("the last block is not filled with 0x1A after the image"));
}

void BootloaderSim::reject(const QString &why, qint64 arrivalNs)
{
    problem(why + QStringLiteral(": NAK"));
    sendNak(arrivalNs);
    if (phase() == Phase::WaitingForHeader)
        cTimer_->start(); // still asking for the header
}

void BootloaderSim::sendNak(qint64 arrivalNs)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++counters_.naksSent;
    }
    reply(QByteArray(1, NAK), arrivalNs, options_.replyDelayMs);
}

void BootloaderSim::setPhase(Phase phase)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase;
}

// ---------------------------------------------------------------------------
// Writing

void BootloaderSim::reply(const QByteArray &bytes, qint64 arrivalNs, int delayMs,
                          std::function<void()> afterWrite)
{
    send(bytes, arrivalNs + delayMs * NsPerMs, std::move(afterWrite));
}

void BootloaderSim::send(const QByteArray &bytes, qint64 readyNs, std::function<void()> afterWrite)
{
    qint64 due = std::max(readyNs, nowNs());
    if (options_.paceBaud > 0) {
        // The reply is in the host's hands once its last byte is through.
        due = std::max(due, outboundFreeNs_) + wireNs(bytes.size());
        outboundFreeNs_ = due;
    }
    due = std::max(due, lastDueNs_); // the line keeps the order of sending
    lastDueNs_ = due;
    outgoing_.push_back({options_.silent ? QByteArray() : bytes, due, std::move(afterWrite)});
    scheduleWrite();
}

void BootloaderSim::scheduleWrite()
{
    if (outgoing_.empty() || writeArmed_)
        return;
    // A zero time would disarm the timer; one nanosecond fires at once.
    armWriteTimer(std::max<qint64>(1, outgoing_.front().dueNs - nowNs()));
}

void BootloaderSim::armWriteTimer(qint64 inNs)
{
    if (writeTimerFd_ < 0)
        return;
    itimerspec when{};
    when.it_value.tv_sec = time_t(inNs / NsPerSecond);
    when.it_value.tv_nsec = long(inNs % NsPerSecond);
    ::timerfd_settime(writeTimerFd_, 0, &when, nullptr);
    writeArmed_ = inNs > 0;
}

void BootloaderSim::onWriteTimer()
{
    quint64 expirations = 0;
    if (::read(writeTimerFd_, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
        return;
    writeArmed_ = false;
    writeDue();
}

void BootloaderSim::writeDue()
{
    const qint64 now = nowNs();
    while (!outgoing_.empty() && outgoing_.front().dueNs <= now) {
        Outgoing out = std::move(outgoing_.front());
        outgoing_.pop_front();
        if (!out.bytes.isEmpty())
            writeLine(out.bytes);
        if (fd_ < 0)
            return;
        if (out.afterWrite)
            out.afterWrite();
        if (fd_ < 0)
            return;
    }
    scheduleWrite();
}

void BootloaderSim::writeLine(const QByteArray &bytes)
{
    ssize_t written;
    do {
        written = ::write(fd_, bytes.constData(), size_t(bytes.size()));
    } while (written < 0 && errno == EINTR);
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        written = 0;
    if (written < 0) {
        note(QStringLiteral("write error: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        closeLine();
        return;
    }
    if (written < bytes.size())
        problem(
            QStringLiteral("nobody reads the line: %1 byte(s) lost").arg(bytes.size() - written));
}

void BootloaderSim::note(const QString &message)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        log_.append(message);
    }
    emit logged(message);
}

void BootloaderSim::problem(const QString &message)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        problems_.append(message);
    }
    note(QStringLiteral("problem: ") + message);
}

qint64 BootloaderSim::wireNs(qint64 bytes) const
{
    if (options_.paceBaud <= 0)
        return 0;
    constexpr qint64 bitsPerByte = 10; // start bit, 8 data bits, stop bit
    return bytes * bitsPerByte * 1000 * NsPerMs / options_.paceBaud;
}
