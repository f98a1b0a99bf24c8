#include "flash/portflasher.h"

#include "flash/outcomes.h"
#include "flash/serialports.h"
#include "ymodem/frames.h"
#include "ymodem/line.h"

#include <QtGlobal>

#include <climits>
#include <cmath>
#include <utility>

namespace flash {

using ymodem::UploadEvent;
using ymodem::UploadPhase;
using Outcome = FlashResult::Outcome;

namespace {

void registerMetaTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<flash::FlashResult>("flash::FlashResult");
        qRegisterMetaType<ymodem::UploadPhase>("ymodem::UploadPhase");
        qRegisterMetaType<flash::UploadProgress>("flash::UploadProgress");
        return true;
    }();
    Q_UNUSED(registered)
}

qint64 scaled(qint64 milliseconds, double factor)
{
    return std::max<qint64>(1, std::llround(double(milliseconds) * factor));
}

} // namespace

ymodem::UploadTiming scaledTiming(const ymodem::UploadTiming &timing, double factor)
{
    ymodem::UploadTiming result = timing;
    for (qint64 ymodem::UploadTiming::*field :
         {&ymodem::UploadTiming::firstWriteLimit, &ymodem::UploadTiming::firstPause,
          &ymodem::UploadTiming::secondWriteLimit, &ymodem::UploadTiming::secondPause,
          &ymodem::UploadTiming::receiverLimit, &ymodem::UploadTiming::replyLimit,
          &ymodem::UploadTiming::writeLimit})
        result.*field = scaled(timing.*field, factor);
    return result;
}

PortFlasher::PortFlasher(const QString &port, const QByteArray &image,
                         const ymodem::UploadOptions &options, QObject *parent,
                         const BootExpectation &boot)
    : QObject(parent), port_(port), session_(image, options), serial_(this), deadline_(this),
      boot_(boot), expectsBoot_(boot.isSet())
{
    registerMetaTypes();
    progress_.total = session_.imageSize();
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    connect(&deadline_, &QTimer::timeout, this, &PortFlasher::onDeadline);
    connect(&serial_, &QSerialPort::readyRead, this, &PortFlasher::onReadyRead);
    connect(&serial_, &QSerialPort::bytesWritten, this, &PortFlasher::onBytesWritten);
    connect(&serial_, &QSerialPort::errorOccurred, this, &PortFlasher::onPortError);
}

PortFlasher::~PortFlasher() = default;

qint64 PortFlasher::elapsedMs() const
{
    return clock_.isValid() ? clock_.elapsed() : 0;
}

void PortFlasher::start()
{
    if (started_)
        return;
    started_ = true;
    clock_.start();
    configurePort();
    if (!serial_.open(QIODevice::ReadWrite)) {
        const QString system = serial_.errorString();
        finish(Outcome::OpenFailed, openFailureText(port_, serial_.error(), system), system);
        return;
    }
    askForLowLatency();
    session_.start(clock_.elapsed());
    afterSessionCall();
}

// The timer is read after the request: ftdi_sio shows 1 ms while the port has
// low latency, its own setting otherwise.
void PortFlasher::askForLowLatency()
{
    lowLatency_.request(int(serial_.handle()));
    result_.latencyMs = latencyTimerMs(port_); // finish() keeps it
    const QString timer =
        result_.latencyMs < 0
            ? QStringLiteral("no latency timer known for this port")
            : QStringLiteral("the adapter's latency timer is %1 ms").arg(result_.latencyMs);
    emit logLine(lowLatency_.description() + QStringLiteral("; ") + timer);
}

void PortFlasher::stop()
{
    if (finished_)
        return;
    if (awaitingBoot_) {
        finish(Outcome::Stopped,
               QStringLiteral("stopped before the new firmware was seen to start"));
        return;
    }
    if (!started_ || !serial_.isOpen()) {
        finish(Outcome::Stopped, QStringLiteral("stopped"));
        return;
    }
    session_.abort(clock_.elapsed());
    afterSessionCall();
}

void PortFlasher::unplug()
{
    finish(Outcome::Unplugged, QStringLiteral("the board was removed"));
}

FlashResult PortFlasher::abandon()
{
    if (finished_)
        return result_;
    // The bootloader listens from the wait for its receiver on; before, the
    // device is restarting and nobody would read the CAN.
    if (serial_.isOpen() && session_.phase() >= ymodem::UploadPhase::WaitReceiver &&
        !awaitingBoot_) {
        serial_.write(QByteArray(2, ymodem::CAN));
        serial_.flush();
    }
    conclude(Outcome::Stopped, QStringLiteral("stopped before the device confirmed"), {});
    return result_;
}

void PortFlasher::configurePort()
{
    serial_.setPortName(port_);
    serial_.setBaudRate(ymodem::line::BaudRate, QSerialPort::AllDirections);
    serial_.setDataBits(QSerialPort::Data8);
    serial_.setParity(QSerialPort::NoParity);
    serial_.setStopBits(QSerialPort::OneStop);
    serial_.setFlowControl(QSerialPort::NoFlowControl);
}

// --- What the port and the clock tell the session ----------------------------

void PortFlasher::onReadyRead()
{
    const QByteArray bytes = serial_.readAll();
    if (bytes.isEmpty() || finished_)
        return;
    emit bytesReceived(bytes);
    if (awaitingBoot_)
        return onBootBytes(bytes);
    const bool closing = session_.phase() == ymodem::UploadPhase::Closing;
    session_.receive(bytes, clock_.elapsed());
    afterSessionCall();
    // A board that starts at once prints its first line in the same read as
    // the closing block's acknowledgement: what follows that is its firmware's.
    const int ack = closing && awaitingBoot_ && !finished_ ? bytes.indexOf(ymodem::ACK) : -1;
    if (ack >= 0 && ack + 1 < bytes.size())
        onBootBytes(bytes.mid(ack + 1));
}

void PortFlasher::onBytesWritten(qint64 count)
{
    if (finished_)
        return;
    session_.written(count, clock_.elapsed());
    afterSessionCall();
}

void PortFlasher::onDeadline()
{
    if (finished_)
        return;
    if (awaitingBoot_)
        return finish(Outcome::NoBoot, boot_.failureText());
    session_.tick(clock_.elapsed());
    afterSessionCall();
}

void PortFlasher::onPortError(QSerialPort::SerialPortError error)
{
    // A failed open() reports here too; start() handles that case.
    if (!serial_.isOpen() || finished_ || error == QSerialPort::NoError ||
        error == QSerialPort::TimeoutError)
        return;
    // A pulled adapter reads as EIO (a resource error); a line whose far
    // end closed reads as a hang-up, which Qt calls a read error.
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError)
        finish(Outcome::Unplugged, QStringLiteral("the device went away (unplugged?)"),
               serial_.errorString());
    else
        finish(Outcome::PortFailed, serial_.errorString(), serial_.errorString());
}

// --- What the session asks for -------------------------------------------------

void PortFlasher::afterSessionCall()
{
    deliverEvents();
    while (writtenAtOnce_ > 0 && !finished_) {
        session_.written(std::exchange(writtenAtOnce_, 0), clock_.elapsed());
        deliverEvents();
    }
    if (finished_)
        return;
    if (!session_.isDone()) {
        reportProgress();
        armTimer();
        return;
    }
    const ymodem::UploadEnd &end = session_.end();
    if (end.outcome == ymodem::UploadOutcome::Completed && expectsBoot_)
        return awaitBoot();
    finish(outcomeOf(end), describeEnd(end));
}

// The image is in: the port stays open, and what the device prints now is
// its new firmware's.
void PortFlasher::awaitBoot()
{
    awaitingBoot_ = true;
    boot_.start(clock_.elapsed());
    progress_.elapsedMs = progress_.phaseStartMs = elapsedMs();
    progress_.awaitingBoot = true;
    emit progressed(progress_);
    deadline_.start(int(qBound<qint64>(0, boot_.deadline() - clock_.elapsed(), INT_MAX)));
}

void PortFlasher::onBootBytes(const QByteArray &bytes)
{
    if (!boot_.feed(bytes, clock_.elapsed()))
        return;
    result_.bootLine = boot_.line();
    result_.bootMs = boot_.afterMs();
    result_.board = boot_.board();
    finish(Outcome::Succeeded, describeEnd(session_.end()));
}

UploadProgress PortFlasher::progress() const
{
    UploadProgress now = progress_;
    if (!finished_)
        now.elapsedMs = elapsedMs();
    return now;
}

void PortFlasher::reportProgress()
{
    const ymodem::UploadPhase phase = session_.phase();
    const qint64 acknowledged = session_.acknowledged();
    if (phase == progress_.phase && acknowledged == progress_.acknowledged)
        return;
    progress_.elapsedMs = elapsedMs();
    if (phase == ymodem::UploadPhase::Data && progress_.phase != phase)
        progress_.dataStartMs = progress_.elapsedMs;
    if (progress_.phase != phase)
        progress_.phaseStartMs = progress_.elapsedMs;
    progress_.phase = phase;
    progress_.acknowledged = acknowledged;
    emit progressed(progress_);
}

void PortFlasher::deliverEvents()
{
    const QVector<UploadEvent> events = session_.takeEvents();
    for (const UploadEvent &event : events) {
        if (finished_)
            return;
        switch (event.kind) {
        case UploadEvent::Kind::Send:
            writeFrame(event.frame);
            break;
        case UploadEvent::Kind::Progress:
            progress_.sent = event.total - event.rest;
            break;
        case UploadEvent::Kind::Trace:
            emit logLine(traceText(event.trace));
            break;
        case UploadEvent::Kind::Ended:
            break; // afterSessionCall() reports the outcome
        }
    }
}

void PortFlasher::writeFrame(const QByteArray &frame)
{
    emit frameSent(frame);
    const qint64 taken = writeAtOnce(serial_, frame);
    if (taken < 0) {
        onPortError(serial_.error());
        finish(Outcome::PortFailed, serial_.errorString(), serial_.errorString());
        return;
    }
    writtenAtOnce_ += taken;
}

void PortFlasher::armTimer()
{
    const qint64 due = session_.nextDeadline();
    if (due == ymodem::UploadSession::NoDeadline) {
        deadline_.stop();
        return;
    }
    const qint64 wait = qBound<qint64>(0, due - clock_.elapsed(), INT_MAX);
    deadline_.start(int(wait));
}

// Whoever caused the end (a stop, an unplug, the session from inside a port
// signal) hears of it from the event loop, after its own call returned.
void PortFlasher::finish(Outcome outcome, const QString &message, const QString &detail)
{
    if (finished_)
        return;
    conclude(outcome, message, detail);
    QMetaObject::invokeMethod(
        this, [this] { emit finished(result_); }, Qt::QueuedConnection);
}

void PortFlasher::conclude(Outcome outcome, const QString &message, const QString &detail)
{
    finished_ = true;
    deadline_.stop();
    result_.port = port_;
    result_.outcome = outcome;
    result_.message = message;
    result_.detail = detail;
    result_.phase = session_.phase();
    result_.durationMs = elapsedMs();
    result_.bytesSent = progress_.sent;
    progress_.elapsedMs = result_.durationMs;
    result_.acknowledged = session_.acknowledged();
    result_.imageSize = session_.imageSize();
    result_.resends = session_.resends();
    session_.stop(); // nothing more goes out once the outcome is known
    if (serial_.isOpen()) {
        lowLatency_.restore();
        serial_.close();
    }
}

} // namespace flash
