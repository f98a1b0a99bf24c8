#pragma once

// One upload over one serial port, driven by the thread's event loop: the
// port's signals and one single-shot timer feed an ymodem::UploadSession, and
// the session's frames go back to the port. Nothing blocks, so any number of
// flashers share one thread, and one port's failure touches no other.

#include "ymodem/upload.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMetaType>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

namespace flash {

struct FlashResult
{
    enum class Outcome
    {
        Succeeded,
        TimedOut,   // the device did not answer in time
        OpenFailed, // the port could not be opened
        PortFailed, // the port broke while in use (a USB adapter pulled out)
        Stopped,    // stop() was called
    };

    QString port;
    Outcome outcome = Outcome::Stopped;
    // The user-facing text: the session's time-out text, or the port's error.
    QString message;
    // The phase the upload was in when it ended.
    ymodem::UploadPhase phase = ymodem::UploadPhase::NotStarted;
    qint64 durationMs = 0;
    qint64 bytesSent = 0; // image bytes whose blocks were written to the port
    qint64 imageSize = 0;
    int resends = 0;

    bool succeeded() const { return outcome == Outcome::Succeeded; }
};

const char *outcomeName(FlashResult::Outcome outcome);

// Every pause and limit multiplied by `factor` (at least 1 ms each); the baud
// rate is kept. Lets tests and benches run the device's long pauses quickly.
ymodem::UploadTiming scaledTiming(const ymodem::UploadTiming &timing, double factor);

class PortFlasher : public QObject
{
    Q_OBJECT

public:
    // `port` is a name such as "ttyUSB0" or a device path such as
    // "/dev/pts/5".
    PortFlasher(const QString &port, const QByteArray &image,
                const ymodem::UploadOptions &options = {}, QObject *parent = nullptr);
    ~PortFlasher() override;

    QString port() const { return port_; }
    qint64 imageSize() const { return session_.imageSize(); }
    ymodem::UploadPhase phase() const { return session_.phase(); }
    // Milliseconds since start(); 0 before.
    qint64 elapsedMs() const;
    bool isFinished() const { return finished_; }
    // Complete once finished() was emitted.
    const FlashResult &result() const { return result_; }

public slots:
    // Opens the port and starts the upload. A port that cannot be opened
    // ends the upload too, but finished() is then emitted from the event
    // loop, never from inside start().
    void start();
    // Abandons the upload without sending anything more and closes the
    // port; finished() is emitted before it returns.
    void stop();

signals:
    // The upload moved on; not emitted for its end, which finished() tells.
    void phaseChanged(ymodem::UploadPhase phase);
    void progress(qint64 rest, qint64 total);
    void logLine(const QString &line);
    void frameSent(const QByteArray &frame);
    void bytesReceived(const QByteArray &bytes);
    void finished(const flash::FlashResult &result);

private:
    void configurePort();
    void onReadyRead();
    void onBytesWritten(qint64 count);
    void onDeadline();
    void onPortError(QSerialPort::SerialPortError error);
    void deliverEvents();
    void writeFrame(const QByteArray &frame);
    void afterSessionCall();
    void armTimer();
    void announcePhase();
    void finish(FlashResult::Outcome outcome, const QString &message);

    const QString port_;
    ymodem::UploadSession session_;
    QSerialPort serial_;
    QTimer deadline_;
    QElapsedTimer clock_;
    ymodem::UploadPhase activePhase_ = ymodem::UploadPhase::NotStarted; // last one announced
    qint64 bytesSent_ = 0;
    bool started_ = false;
    bool finished_ = false;
    FlashResult result_;
};

} // namespace flash

Q_DECLARE_METATYPE(flash::FlashResult)
Q_DECLARE_METATYPE(ymodem::UploadPhase)
