#pragma once

// One run of the flasher: the same image to every port at once, each port
// with its own PortFlasher in the calling thread's event loop, the reporters
// told about every step, and one exit status for the whole run.

#include "flash/portflasher.h"
#include "flash/reporters.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVector>

namespace flash {

// The process exit statuses of kvt-flash.
enum ExitStatus : int
{
    ExitSuccess = 0,      // every port was updated
    ExitBadFile = 2,      // the image cannot be read or is not valid
    ExitPortFailed = 3,   // a port could not be opened or broke while in use
    ExitTimedOut = 4,     // a device did not answer in time
    ExitMixed = 5,        // the ports ended differently
    ExitUsage = 64,       // the command line is wrong (EX_USAGE)
    ExitInterrupted = 130 // stopped by a signal, as shells count it (128 + SIGINT)
};

// All ports alike give that outcome's status; any difference gives ExitMixed.
int exitStatusFor(const QVector<FlashResult> &results);
int exitStatusFor(FlashResult::Outcome outcome);

class FlashRun : public QObject
{
    Q_OBJECT

public:
    // `firmware` is only shown; the reporters are not owned and must outlive
    // the run.
    FlashRun(const QString &firmware, const QByteArray &image, const QStringList &ports,
             const ymodem::UploadOptions &options, const QVector<Reporter *> &reporters,
             QObject *parent = nullptr);

    void start();
    // Abandons every port still running; they finish as stopped.
    void stop();

    bool isFinished() const { return finishedPorts_ == flashers_.size(); }
    int exitStatus() const { return exitStatusFor(results()); }
    QVector<FlashResult> results() const;

signals:
    void finished(int exitStatus);

private:
    void connectFlasher(PortFlasher *flasher, int index);
    void onPhaseChanged(int index, ymodem::UploadPhase phase);
    void onProgress(int index, qint64 rest, qint64 total);
    void onFinished(int index, const FlashResult &result);
    void onHeartbeat();
    PortState &refreshed(int index);
    template <typename Call> void tell(Call call);

    const QString firmware_;
    QVector<PortFlasher *> flashers_; // children of this object
    QVector<PortState> states_;
    QVector<Reporter *> reporters_;
    QTimer heartbeat_;
    int finishedPorts_ = 0;
};

} // namespace flash
