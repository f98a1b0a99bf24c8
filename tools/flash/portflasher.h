#pragma once

// One upload over one serial port, driven by the thread's event loop: the
// port's signals and one single-shot timer feed an ymodem::UploadSession, and
// the session's frames go back to the port. Nothing blocks, so any number of
// flashers share one thread, and one port's failure touches no other.

#include "flash/bootproof.h"
#include "flash/lowlatency.h"
#include "flash/uploadprogress.h"
#include "ymodem/upload.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMetaType>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

namespace flash {

// The adapter behind a port, as the system knows it; empty when unknown.
struct UsbIdentity
{
    QString vid; // "0403", four hex digits
    QString pid;
    QString serial;
    // busnum and devnum: they change whenever the device is enumerated (a
    // re-plug), unlike the tty's name. 0 when unknown.
    int bus = 0;
    int address = 0;

    bool isKnown() const { return !vid.isEmpty(); }
    QString vidPid() const { return isKnown() ? vid + QLatin1Char(':') + pid : QString(); }
};

struct FlashResult
{
    enum class Outcome
    {
        Succeeded,
        TimedOut,   // the device did not answer in time
        Refused,    // the device answered NAK and no resend was left
        Cancelled,  // the device sent CAN CAN
        OpenFailed, // the port could not be opened
        PortFailed, // the port broke while in use
        Unplugged,  // the device or its adapter went away
        Stopped,    // stop() was called
        NoBoot,     // the image is in, but the new firmware was not seen to start
        Mismatch,   // the board's label names another board than the board itself
    };

    QString port; // the device path the flasher opened
    Outcome outcome = Outcome::Stopped;
    // What happened, in the flasher's words.
    QString message;
    // The system's own text behind a port failure, for the verbose log.
    QString detail;
    // The phase the upload was in when it ended.
    ymodem::UploadPhase phase = ymodem::UploadPhase::NotStarted;
    qint64 durationMs = 0;
    qint64 bytesSent = 0;    // image bytes whose blocks were written to the port
    qint64 acknowledged = 0; // image bytes the device acknowledged
    qint64 imageSize = 0;
    int resends = 0;
    // The adapter's latency timer as sysfs read it once low latency was
    // asked for; -1 where sysfs has none (ptys, most drivers).
    int latencyMs = -1;
    // What proved that the new firmware runs: its line, the milliseconds from
    // the closing block's acknowledgement to it, and the board's identity
    // the line named; empty (-1) when no proof was asked for.
    QString bootLine;
    qint64 bootMs = -1;
    QString board;

    bool succeeded() const { return outcome == Outcome::Succeeded; }
};

// "ok", "timeout", ...: the status word of JSON events and records
// (outcomes.cpp).
const char *outcomeName(FlashResult::Outcome outcome);

// Every pause and limit multiplied by `factor` (at least 1 ms each); the baud
// rate is kept. Lets tests and benches run the device's long pauses quickly.
ymodem::UploadTiming scaledTiming(const ymodem::UploadTiming &timing, double factor);

class PortFlasher : public QObject
{
    Q_OBJECT

public:
    // `port` is a name such as "ttyUSB0" or a device path such as
    // "/dev/pts/5". With a boot expectation set, a completed upload keeps
    // the port open (closing it drops DTR, which resets many boards) and
    // succeeds only once the new firmware prints what is expected.
    PortFlasher(const QString &port, const QByteArray &image,
                const ymodem::UploadOptions &options = {}, QObject *parent = nullptr,
                const BootExpectation &boot = {});
    ~PortFlasher() override;

    QString port() const { return port_; }
    // Milliseconds since start(); 0 before.
    qint64 elapsedMs() const;
    bool isFinished() const { return finished_; }
    // Complete once finished() was emitted.
    const FlashResult &result() const { return result_; }
    // As of now.
    UploadProgress progress() const;

public slots:
    // finished() always comes from the event loop, never from inside one of
    // these calls, so whoever calls them may go on with its own state.

    // Opens the port and starts the upload; a port that cannot be opened
    // ends the upload too.
    void start();
    // Tells a device in its bootloader that the transfer is off (CAN CAN
    // after the frame on the line), closes the port and finishes as
    // stopped; before the bootloader runs, at once.
    void stop();
    // The device is gone (its entry removed): the upload ends as unplugged
    // at once, without another word to the line.
    void unplug();

public:
    // For a process that must end now: a device in its bootloader is sent
    // CAN CAN without waiting for the frame on the line, the port is closed
    // and the result returned ("stopped before the device confirmed");
    // finished() is not emitted. An upload already ended keeps its result.
    FlashResult abandon();

signals:
    // The upload entered a phase or the device acknowledged more; not
    // emitted for its end, which finished() tells.
    void progressed(const flash::UploadProgress &progress);
    void logLine(const QString &line);
    void frameSent(const QByteArray &frame);
    void bytesReceived(const QByteArray &bytes);
    void finished(const flash::FlashResult &result);

private:
    void configurePort();
    void askForLowLatency();
    void onReadyRead();
    void onBytesWritten(qint64 count);
    void onDeadline();
    void onPortError(QSerialPort::SerialPortError error);
    void deliverEvents();
    void writeFrame(const QByteArray &frame);
    void afterSessionCall();
    void awaitBoot();
    void onBootBytes(const QByteArray &bytes);
    void armTimer();
    void reportProgress();
    void finish(FlashResult::Outcome outcome, const QString &message, const QString &detail = {});
    void conclude(FlashResult::Outcome outcome, const QString &message, const QString &detail);

    const QString port_;
    ymodem::UploadSession session_;
    QSerialPort serial_;
    serialdriver::LowLatency lowLatency_;
    QTimer deadline_;
    QElapsedTimer clock_;
    UploadProgress progress_; // as last published
    BootProof boot_;
    const bool expectsBoot_;
    bool awaitingBoot_ = false;
    bool started_ = false;
    bool finished_ = false;
    qint64 writtenAtOnce_ = 0; // frame bytes the kernel took in writeFrame(), not yet told
    FlashResult result_;
};

} // namespace flash

Q_DECLARE_METATYPE(flash::FlashResult)
Q_DECLARE_METATYPE(flash::UploadProgress)
Q_DECLARE_METATYPE(ymodem::UploadPhase)
