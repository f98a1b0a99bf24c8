// The core's clock and its answers: every answer is due at a time of its own
// (the reply delay, the erase delay, the wire time of a paced line, the hold
// of a USB adapter) and leaves in the order it was made. The receiver is in
// corereceiver.cpp, the framing of what arrives in corereading.cpp.

#include "sim/bootloadercore.h"

#include "ymodem/line.h"

#include <algorithm>

namespace sim {

namespace {

constexpr qint64 NsPerUs = 1000;
constexpr qint64 NsPerMs = 1000000;
constexpr int AdapterBufferBytes = 62; // an FTDI packet of 64, less 2 status bytes

qint64 earliest(qint64 a, qint64 b)
{
    if (a == BootloaderCore::NoDeadline)
        return b;
    return b == BootloaderCore::NoDeadline ? a : std::min(a, b);
}

} // namespace

BootloaderCore::BootloaderCore(const BootloaderSimOptions &options) : options_(options) {}

void BootloaderCore::start()
{
    note(QStringLiteral("waiting for the command frames"));
}

void BootloaderCore::receive(const QByteArray &bytes, qint64 nowNs)
{
    tick(nowNs);
    if (closed_ || bytes.isEmpty())
        return;
    input_.append(bytes);
    takeArrival(bytes.size(), nowNs_);
    processInput();
    releaseDue(nowNs_);
}

void BootloaderCore::tick(qint64 nowNs)
{
    nowNs_ = std::max(nowNs_, nowNs);
    releaseDue(nowNs_);
    if (closed_)
        return;
    if (cDueNs_ != NoDeadline && cDueNs_ <= nowNs_)
        pollC();
    if (stallDueNs_ != NoDeadline && stallDueNs_ <= nowNs_)
        onStall();
    if (chatterDueNs_ != NoDeadline && chatterDueNs_ <= nowNs_)
        chatter();
    releaseDue(nowNs_);
}

qint64 BootloaderCore::nextDeadlineNs() const
{
    if (closed_)
        return NoDeadline;
    const qint64 answer = outgoing_.empty() ? NoDeadline : outgoing_.front().dueNs;
    return earliest(earliest(answer, chatterDueNs_), earliest(cDueNs_, stallDueNs_));
}

void BootloaderCore::closeLine()
{
    if (closed_)
        return;
    closed_ = true;
    outgoing_.clear();
    input_.clear();
    cDueNs_ = stallDueNs_ = chatterDueNs_ = NoDeadline;
    phase_ = BootloaderPhase::LineClosed;
    note(QStringLiteral("line closed"));
    emitEvent({BootloaderEvent::Kind::CloseLine});
}

// The new firmware starts once the closing block's ACK is out: what it
// prints is what a host that waits for proof reads.
void BootloaderCore::startApplication(qint64 ackNs)
{
    const qint64 bootNs = ackNs + qint64(options_.bootDelayMs) * NsPerMs;
    if (options_.bootGarbage) {
        send(QByteArray("\x00\xff\x1b[2J\xc3\x28", 8) + QByteArray(5000, 'x') + "\r\n", bootNs);
        chatterDueNs_ = bootNs;
    }
    if (!options_.bootLine.isEmpty()) {
        note(QStringLiteral("the new firmware prints \"%1\"")
                 .arg(QString::fromUtf8(options_.bootLine)));
        send(options_.bootLine + "\r\n", bootNs);
    }
}

// A device that never stops talking: a long line every 50 ms while the
// firmware runs, until the bootloader is entered again.
void BootloaderCore::chatter()
{
    if (phase_ != BootloaderPhase::Completed) {
        chatterDueNs_ = NoDeadline;
        return;
    }
    send(QByteArray("tick ") + QByteArray::number(++chatterLines_) + ' ' + QByteArray(300, '.') +
             "\r\n",
         nowNs_);
    chatterDueNs_ = nowNs_ + 50 * NsPerMs;
}

QVector<BootloaderOutput> BootloaderCore::takeOutput()
{
    QVector<BootloaderOutput> due;
    due.swap(due_);
    return due;
}

QVector<BootloaderEvent> BootloaderCore::takeEvents()
{
    QVector<BootloaderEvent> events;
    events.swap(events_);
    return events;
}

QByteArray BootloaderCore::receivedImage() const
{
    if (announcedSize_ < 0 || announcedSize_ >= data_.size())
        return data_;
    return data_.left(int(announcedSize_));
}

void BootloaderCore::reply(const QByteArray &bytes, qint64 arrivalNs, int delayMs,
                           QVector<BootloaderEvent> after)
{
    send(bytes, arrivalNs + delayMs * NsPerMs, std::move(after));
}

void BootloaderCore::send(const QByteArray &bytes, qint64 readyNs, QVector<BootloaderEvent> after)
{
    qint64 due = std::max(readyNs, nowNs_);
    if (options_.paceBaud > 0) {
        // The reply is in the host's hands once its last byte is through.
        due = std::max(due, outboundFreeNs_) + wireNs(bytes.size());
        outboundFreeNs_ = due;
    }
    due = std::max(due, lastDueNs_); // the line keeps the order of sending
    lastDueNs_ = due;
    due = throughAdapter(bytes.size(), due);
    outgoing_.push_back({options_.silent ? QByteArray() : bytes, due, std::move(after)});
}

// When bytes that reached the adapter at `arrivalNs` reach the host. The chip
// starts its latency timer with the first byte it holds and sends all it
// holds when the timer runs out, or at once when its buffer fills. Answers
// are a few bytes each, so one answer is never split between two packets.
qint64 BootloaderCore::throughAdapter(int bytes, qint64 arrivalNs)
{
    if (options_.adapterLatencyMs <= 0)
        return arrivalNs;
    if (bytes == 0) // a step after the answers before it: it waits for them
        return heldBytes_ > 0 ? std::max(arrivalNs, heldUntilNs_) : arrivalNs;
    if (heldBytes_ == 0 || arrivalNs >= heldUntilNs_) {
        heldBytes_ = 0;
        heldUntilNs_ = arrivalNs + options_.adapterLatencyMs * NsPerMs;
    }
    heldBytes_ += bytes;
    if (heldBytes_ < AdapterBufferBytes)
        return heldUntilNs_;
    // Full: what was held goes now, with this answer.
    for (auto held = outgoing_.rbegin(); held != outgoing_.rend() && held->dueNs == heldUntilNs_;
         ++held)
        held->dueNs = arrivalNs;
    heldBytes_ = 0;
    heldUntilNs_ = arrivalNs;
    return arrivalNs;
}

// Hands over the answers due by `nowNs`, then tells what waited for them.
void BootloaderCore::releaseDue(qint64 nowNs)
{
    while (!outgoing_.empty() && outgoing_.front().dueNs <= nowNs) {
        Outgoing out = std::move(outgoing_.front());
        outgoing_.pop_front();
        if (!out.bytes.isEmpty())
            due_.append({out.bytes, out.dueNs});
        for (BootloaderEvent &event : out.after) {
            if (event.kind == BootloaderEvent::Kind::Log)
                note(event.text);
            else
                emitEvent(std::move(event));
        }
    }
}

qint64 BootloaderCore::wireNs(qint64 bytes) const
{
    return ymodem::line::wireTimeUs(bytes, options_.paceBaud) * NsPerUs;
}

void BootloaderCore::note(const QString &message)
{
    log_.append(message);
    emitEvent({BootloaderEvent::Kind::Log, message});
}

void BootloaderCore::problem(const QString &message)
{
    problems_.append(message);
    emitEvent({BootloaderEvent::Kind::Problem, message});
    note(QStringLiteral("problem: ") + message);
}

QString BootloaderCore::hexByte(char byte)
{
    return QStringLiteral("0x%1").arg(quint8(byte), 2, 16, QLatin1Char('0'));
}

} // namespace sim
