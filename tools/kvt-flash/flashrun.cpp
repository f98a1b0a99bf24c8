#include "kvt-flash/flashrun.h"

namespace flash {

namespace {
constexpr int HeartbeatMs = 500;
}

template <typename Call> void FlashRun::tell(Call call)
{
    for (Reporter *reporter : qAsConst(reporters_))
        call(reporter);
}

FlashRun::FlashRun(const ImageInfo &info, const QByteArray &image, const QVector<PortState> &ports,
                   const ymodem::UploadOptions &options, const QVector<Reporter *> &reporters,
                   QObject *parent)
    : QObject(parent), image_(info), reporters_(reporters), heartbeat_(this)
{
    heartbeat_.setInterval(HeartbeatMs);
    connect(&heartbeat_, &QTimer::timeout, this, &FlashRun::onHeartbeat);
    for (PortState state : ports) {
        if (state.device.isEmpty())
            state.device = state.port;
        auto *flasher = new PortFlasher(state.device, image, options, this);
        connectFlasher(flasher, flashers_.size());
        flashers_.append(flasher);
        state.total = image.size();
        states_.append(state);
    }
}

void FlashRun::connectFlasher(PortFlasher *flasher, int index)
{
    connect(flasher, &PortFlasher::progressed, this,
            [this, index](const UploadProgress &progress) { onProgress(index, progress); });
    connect(flasher, &PortFlasher::finished, this,
            [this, index](const FlashResult &result) { onFinished(index, result); });
    connect(flasher, &PortFlasher::logLine, this, [this, index](const QString &line) {
        const PortState &state = stampElapsed(index);
        tell([&](Reporter *reporter) { reporter->sessionLog(state, line); });
    });
    connect(flasher, &PortFlasher::frameSent, this, [this, index](const QByteArray &frame) {
        const PortState &state = stampElapsed(index);
        tell([&](Reporter *reporter) { reporter->frameTraced(state, true, frame); });
    });
    connect(flasher, &PortFlasher::bytesReceived, this, [this, index](const QByteArray &bytes) {
        const PortState &state = stampElapsed(index);
        tell([&](Reporter *reporter) { reporter->frameTraced(state, false, bytes); });
    });
}

void FlashRun::start()
{
    tell([this](Reporter *reporter) { reporter->runStarted(image_, states_); });
    if (flashers_.isEmpty()) {
        emit finished(exitStatus());
        return;
    }
    heartbeat_.start();
    for (PortFlasher *flasher : qAsConst(flashers_))
        flasher->start();
}

void FlashRun::stop()
{
    for (PortFlasher *flasher : qAsConst(flashers_))
        flasher->stop();
}

QVector<FlashResult> FlashRun::results() const
{
    QVector<FlashResult> results;
    for (const PortFlasher *flasher : flashers_)
        results.append(flasher->result());
    return results;
}

void FlashRun::onProgress(int index, const UploadProgress &progress)
{
    PortState &state = states_[index];
    const bool newPhase = progress.phase != state.phase;
    const bool moreAcknowledged = progress.acknowledged != state.acknowledged;
    static_cast<UploadProgress &>(state) = progress;
    if (newPhase)
        tell([&](Reporter *reporter) { reporter->phaseChanged(state); });
    if (moreAcknowledged)
        tell([&](Reporter *reporter) { reporter->progressed(state); });
}

void FlashRun::onFinished(int index, const FlashResult &result)
{
    PortState &state = stampElapsed(index);
    state.finished = true;
    state.result = result;
    state.elapsedMs = result.durationMs;
    tell([&](Reporter *reporter) { reporter->portFinished(state); });
    if (++finishedPorts_ < flashers_.size())
        return;
    heartbeat_.stop();
    const int status = exitStatus();
    tell([&](Reporter *reporter) { reporter->runFinished(states_, status); });
    emit finished(status);
}

void FlashRun::onHeartbeat()
{
    for (int index = 0; index < states_.size(); ++index)
        stampElapsed(index);
    tell([this](Reporter *reporter) { reporter->heartbeat(states_); });
}

PortState &FlashRun::stampElapsed(int index)
{
    PortState &state = states_[index];
    if (!state.finished) // a finished port keeps its duration
        state.elapsedMs = flashers_.at(index)->elapsedMs();
    return state;
}

} // namespace flash
