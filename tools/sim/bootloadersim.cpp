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
    : QObject(parent), m_options(options), m_fd(lineFd)
{
    m_clock.start();
}

BootloaderSim::~BootloaderSim()
{
    // Other threads read the results under the lock; taking it here orders
    // their last reads before this memory goes, also for ThreadSanitizer,
    // which does not see how Qt hands the deletion to this thread.
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
    }
    delete m_readNotifier;
    delete m_writeTimerNotifier;
    if (m_writeTimerFd >= 0)
        ::close(m_writeTimerFd);
    if (m_fd >= 0)
        ::close(m_fd);
}

BootloaderSim::Phase BootloaderSim::phase() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_phase;
}

QString BootloaderSim::fileName() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_fileName;
}

qint64 BootloaderSim::announcedSize() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_announcedSize;
}

QByteArray BootloaderSim::receivedImage() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_announcedSize < 0 || m_announcedSize >= m_data.size())
        return m_data;
    return m_data.left(int(m_announcedSize));
}

BootloaderSimCounters BootloaderSim::counters() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_counters;
}

QStringList BootloaderSim::log() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_log;
}

QStringList BootloaderSim::problems() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_problems;
}

bool BootloaderSim::start()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_fd < 0 || m_readNotifier != nullptr)
        return false;
    // Replies are dropped rather than block the device when nobody reads
    // the line, as a UART without flow control would.
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);

    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &BootloaderSim::readLine);

    m_cTimer = new QTimer(this);
    m_cTimer->setInterval(m_options.cIntervalMs);
    connect(m_cTimer, &QTimer::timeout, this, &BootloaderSim::pollC);

    // Answers on a paced line are due to the microsecond; a QTimer rounds up
    // to whole milliseconds and would make every block about 1 ms late.
    m_writeTimerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_writeTimerFd < 0)
        return false;
    m_writeTimerNotifier = new QSocketNotifier(m_writeTimerFd, QSocketNotifier::Read, this);
    connect(m_writeTimerNotifier, &QSocketNotifier::activated, this, &BootloaderSim::onWriteTimer);

    m_stallTimer = new QTimer(this);
    m_stallTimer->setSingleShot(true);
    m_stallTimer->setInterval(m_options.stallTimeoutMs);
    connect(m_stallTimer, &QTimer::timeout, this, &BootloaderSim::onStall);

    note(QStringLiteral("waiting for the command frames"));
    return true;
}

void BootloaderSim::closeLine()
{
    if (QThread::currentThread() != thread()) {
        runInOwnThreadAndWait([this] { closeLine(); });
        return;
    }
    if (m_fd < 0)
        return;
    if (m_readNotifier != nullptr) {
        // Possibly inside its own activated() signal: delete it later.
        m_readNotifier->setEnabled(false);
        m_readNotifier->deleteLater();
        m_readNotifier = nullptr;
    }
    for (QTimer *timer : {m_cTimer, m_stallTimer})
        if (timer != nullptr)
            timer->stop();
    armWriteTimer(0);
    m_outgoing.clear();
    m_input.clear();
    ::close(m_fd);
    m_fd = -1;
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
    while (m_fd >= 0) {
        const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
        if (count > 0) {
            m_input.append(buffer, int(count));
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
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_chunkFirstIndex = m_counters.bytesRead;
        m_counters.bytesRead += count;
        ++m_counters.reads;
    }
    // On a real UART the chunk would still be on its way: it starts once the
    // line is free and takes its wire time.
    m_chunkStartNs = std::max(now, m_inboundFreeNs);
    m_inboundFreeNs = m_chunkStartNs + wireNs(count);
}

qint64 BootloaderSim::arrivalNs(qint64 byteIndex) const
{
    if (m_options.paceBaud <= 0)
        return nowNs();
    return m_chunkStartNs + wireNs(byteIndex - m_chunkFirstIndex + 1);
}

QByteArray BootloaderSim::takeInput(int count)
{
    const QByteArray taken = m_input.left(count);
    m_input.remove(0, count);
    m_inputConsumed += taken.size();
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
    m_stallTimer->stop();
    bool progressed = true;
    while (progressed && !m_input.isEmpty() && m_fd >= 0) {
        const char head = m_input.at(0);
        if (head == firstCommandFrame.at(0)) {
            progressed = takeCommandFrame();
        } else if (expectsBlocks() && (head == SOH || head == STX)) {
            progressed = takeBlock();
        } else if (expectsBlocks() && head == EOT) {
            const qint64 arrival = arrivalNs(m_inputConsumed);
            takeInput(1);
            onEot(arrival);
        } else {
            dropStrayByte();
        }
    }
    flushStrayBytes();
    if (!m_input.isEmpty() && m_fd >= 0 && m_options.stallTimeoutMs > 0)
        m_stallTimer->start();
}

bool BootloaderSim::takeCommandFrame()
{
    for (const QByteArray *frame : {&firstCommandFrame, &secondCommandFrame}) {
        if (m_input.startsWith(*frame)) {
            takeInput(frame->size());
            onCommandFrame(frame == &firstCommandFrame);
            return true;
        }
    }
    const bool partOfAFrame =
        m_input.size() < firstCommandFrame.size() &&
        (firstCommandFrame.startsWith(m_input) || secondCommandFrame.startsWith(m_input));
    if (partOfAFrame)
        return false;
    dropStrayByte();
    return true;
}

bool BootloaderSim::takeBlock()
{
    if (phase() == Phase::WaitingForHeader)
        m_cTimer->stop(); // the header has started to arrive
    const int size = blockSize(m_input.at(0));
    if (m_input.size() < size)
        return false;
    flushStrayBytes();
    const qint64 arrival = arrivalNs(m_inputConsumed + size - 1);
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
    m_stray.append(takeInput(1));
}

void BootloaderSim::flushStrayBytes()
{
    if (m_stray.isEmpty())
        return;
    problem(QStringLiteral("%1 stray byte(s) ignored: %2")
                .arg(m_stray.size())
                .arg(QString::fromLatin1(m_stray.left(32).toHex(' '))));
    m_stray.clear();
}

void BootloaderSim::onStall()
{
    if (m_input.isEmpty() || m_fd < 0)
        return;
    const char head = m_input.at(0);
    problem(QStringLiteral("unfinished frame dropped after %1 ms of silence: %2 byte(s), head %3")
                .arg(m_options.stallTimeoutMs)
                .arg(m_input.size())
                .arg(hexByte(head)));
    takeInput(m_input.size());
    // A receiver that times out inside a block asks for it again.
    if (expectsBlocks() && (head == SOH || head == STX))
        sendNak(nowNs());
    if (phase() == Phase::WaitingForHeader)
        m_cTimer->start();
}

// ---------------------------------------------------------------------------
// The receiver

void BootloaderSim::onCommandFrame(bool first)
{
    if (first) {
        m_firstFrameSeen = true;
        note(QStringLiteral("first command frame"));
        return;
    }
    if (!m_firstFrameSeen) {
        problem(QStringLiteral("second command frame without the first: ignored"));
        return;
    }
    m_firstFrameSeen = false;
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
    if (m_options.silent)
        note(QStringLiteral("silent: no byte will be sent"));
    if (m_options.garbageBeforeC)
        send(startupNoise, nowNs());
    pollC();
    m_cTimer->start();
}

void BootloaderSim::resetTransfer()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_fileName.clear();
        m_announcedSize = -1;
        m_data.clear();
        const BootloaderSimCounters before = m_counters;
        m_counters = BootloaderSimCounters();
        m_counters.sessions = before.sessions + 1;
        m_counters.bytesRead = before.bytesRead;
        m_counters.reads = before.reads;
    }
    m_expectedBlock = 1;
    m_nakDone = false;
    m_dropDone = false;
    m_eotNakDone = false;
}

void BootloaderSim::pollC()
{
    if (phase() != Phase::WaitingForHeader) {
        m_cTimer->stop();
        return;
    }
    int sentBefore;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        sentBefore = m_counters.cSent++;
    }
    if (sentBefore == 0)
        note(QStringLiteral("asking for a file: \"C\" every %1 ms").arg(m_options.cIntervalMs));
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
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_fileName = name;
        m_announcedSize = size;
    }
    setPhase(Phase::ReceivingData);
    m_expectedBlock = 1;
    note(QStringLiteral("header block: \"%1\", %2 bytes: ACK C").arg(name).arg(size));
    reply(ackThenC, arrivalNs, m_options.replyDelayMs + m_options.eraseDelayMs);
    emit headerReceived(name, size);
}

void BootloaderSim::onDataBlock(const QByteArray &block, qint64 arrivalNs)
{
    const quint8 number = quint8(block.at(1));
    const int stored = counters().dataBlocks;
    if (number == quint8(m_expectedBlock - 1)) {
        // Our answer was lost: acknowledge again, keep the data once.
        const bool header = stored == 0;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            ++m_counters.repeatedBlocks;
        }
        note(QStringLiteral("block %1 again: %2").arg(number).arg(header ? "ACK C" : "ACK"));
        reply(header ? ackThenC : QByteArray(1, ACK), arrivalNs, m_options.replyDelayMs);
        return;
    }
    if (number != m_expectedBlock) {
        reject(QStringLiteral("expected block %1, got block %2").arg(m_expectedBlock).arg(number),
               arrivalNs);
        return;
    }
    answerDataBlock(block, stored + 1, arrivalNs);
}

void BootloaderSim::answerDataBlock(const QByteArray &block, int count, qint64 arrivalNs)
{
    const int delay = m_options.replyDelayMs;
    if (count == m_options.cancelAtBlock) {
        note(QStringLiteral("data block %1: cancelled with CAN CAN").arg(count));
        setPhase(Phase::Cancelled);
        reply(QByteArray(2, CAN), arrivalNs, delay, [this] { emit transferCancelled(); });
        return;
    }
    if (count == m_options.nakBlock && !m_nakDone) {
        m_nakDone = true;
        note(QStringLiteral("data block %1: NAK, as asked").arg(count));
        sendNak(arrivalNs);
        return;
    }
    acceptDataBlock(block, count);
    if (count == m_options.closeAfterBlock) {
        note(QStringLiteral("data block %1 is in: the device vanishes").arg(count));
        closeLine();
        return;
    }
    if (count == m_options.dropAckBlock && !m_dropDone) {
        m_dropDone = true;
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
        const std::lock_guard<std::mutex> lock(m_mutex);
        beyondSize = m_data.size() >= m_announcedSize;
        m_data.append(block.constData() + 3, block.size() - BlockOverhead);
        m_counters.dataBlocks = count;
    }
    if (beyondSize)
        problem(QStringLiteral("data block %1 lies beyond the announced size").arg(count));
    ++m_expectedBlock;
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
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_counters.closingBlockReceived = true;
        summary = QStringLiteral("transfer complete: \"%1\", %2 bytes in %3 data block(s)")
                      .arg(m_fileName)
                      .arg(m_announcedSize)
                      .arg(m_counters.dataBlocks);
    }
    setPhase(Phase::Completed);
    note(QStringLiteral("closing block: ACK"));
    reply(QByteArray(1, ACK), arrivalNs, m_options.replyDelayMs, [this, summary] {
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
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counters.eotsReceived;
    }
    if (current == Phase::WaitingForClosingBlock) {
        note(QStringLiteral("EOT again: ACK C"));
        reply(ackThenC, arrivalNs, m_options.replyDelayMs);
        return;
    }
    if (m_options.nakFirstEot && !m_eotNakDone) {
        m_eotNakDone = true;
        note(QStringLiteral("EOT: NAK, as asked"));
        sendNak(arrivalNs);
        return;
    }
    checkImageEnd();
    setPhase(Phase::WaitingForClosingBlock);
    note(QStringLiteral("EOT after %1 data block(s): ACK C").arg(counters().dataBlocks));
    reply(ackThenC, arrivalNs, m_options.replyDelayMs);
    emit eotReceived();
}

void BootloaderSim::checkImageEnd()
{
    QByteArray data;
    qint64 size;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        data = m_data;
        size = m_announcedSize;
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
        m_cTimer->start(); // still asking for the header
}

void BootloaderSim::sendNak(qint64 arrivalNs)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counters.naksSent;
    }
    reply(QByteArray(1, NAK), arrivalNs, m_options.replyDelayMs);
}

void BootloaderSim::setPhase(Phase phase)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_phase = phase;
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
    if (m_options.paceBaud > 0) {
        // The reply is in the host's hands once its last byte is through.
        due = std::max(due, m_outboundFreeNs) + wireNs(bytes.size());
        m_outboundFreeNs = due;
    }
    due = std::max(due, m_lastDueNs); // the line keeps the order of sending
    m_lastDueNs = due;
    m_outgoing.push_back({m_options.silent ? QByteArray() : bytes, due, std::move(afterWrite)});
    scheduleWrite();
}

void BootloaderSim::scheduleWrite()
{
    if (m_outgoing.empty() || m_writeArmed)
        return;
    // A zero time would disarm the timer; one nanosecond fires at once.
    armWriteTimer(std::max<qint64>(1, m_outgoing.front().dueNs - nowNs()));
}

void BootloaderSim::armWriteTimer(qint64 inNs)
{
    if (m_writeTimerFd < 0)
        return;
    itimerspec when{};
    when.it_value.tv_sec = time_t(inNs / NsPerSecond);
    when.it_value.tv_nsec = long(inNs % NsPerSecond);
    ::timerfd_settime(m_writeTimerFd, 0, &when, nullptr);
    m_writeArmed = inNs > 0;
}

void BootloaderSim::onWriteTimer()
{
    quint64 expirations = 0;
    if (::read(m_writeTimerFd, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
        return;
    m_writeArmed = false;
    writeDue();
}

void BootloaderSim::writeDue()
{
    const qint64 now = nowNs();
    while (!m_outgoing.empty() && m_outgoing.front().dueNs <= now) {
        Outgoing out = std::move(m_outgoing.front());
        m_outgoing.pop_front();
        if (!out.bytes.isEmpty())
            writeLine(out.bytes);
        if (m_fd < 0)
            return;
        if (out.afterWrite)
            out.afterWrite();
        if (m_fd < 0)
            return;
    }
    scheduleWrite();
}

void BootloaderSim::writeLine(const QByteArray &bytes)
{
    ssize_t written;
    do {
        written = ::write(m_fd, bytes.constData(), size_t(bytes.size()));
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
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_log.append(message);
    }
    emit logged(message);
}

void BootloaderSim::problem(const QString &message)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_problems.append(message);
    }
    note(QStringLiteral("problem: ") + message);
}

qint64 BootloaderSim::wireNs(qint64 bytes) const
{
    if (m_options.paceBaud <= 0)
        return 0;
    constexpr qint64 bitsPerByte = 10; // start bit, 8 data bits, stop bit
    return bytes * bitsPerByte * 1000 * NsPerMs / m_options.paceBaud;
}
