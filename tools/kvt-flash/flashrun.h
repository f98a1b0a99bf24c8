#pragma once

// One run of the flasher: the same image to every port at once, each port
// with its own PortFlasher in the calling thread's event loop, the reporters
// told about every step, and one exit status for the whole run.

#include "common/exitstatus.h"
#include "flash/outcomes.h"
#include "flash/portflasher.h"
#include "kvt-flash/reporters.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVector>

namespace flash {

class FlashRun : public QObject
{
    Q_OBJECT

public:
    // `info` is only shown; each port (its name, device and adapter filled
    // in) is opened by its device path. The reporters are not owned and must
    // outlive the run.
    FlashRun(const ImageInfo &info, const QByteArray &image, const QVector<PortState> &ports,
             const ymodem::UploadOptions &options, const QVector<Reporter *> &reporters,
             QObject *parent = nullptr);

    void start();
    // Abandons every port still running; they finish as stopped.
    void stop();

    bool isFinished() const { return finishedPorts_ == flashers_.size(); }
    int exitStatus() const { return programs::exitStatusFor(results()); }
    QVector<FlashResult> results() const;

signals:
    void finished(int exitStatus);

private:
    void connectFlasher(PortFlasher *flasher, int index);
    void onProgress(int index, const UploadProgress &progress);
    void onFinished(int index, const FlashResult &result);
    void onHeartbeat();
    // Brings the port's elapsed time up to now and returns its state.
    PortState &stampElapsed(int index);
    template <typename Call> void tell(Call call);

    const ImageInfo image_;
    QVector<PortFlasher *> flashers_; // children of this object
    QVector<PortState> states_;
    QVector<Reporter *> reporters_;
    QTimer heartbeat_;
    int finishedPorts_ = 0;
};

} // namespace flash
