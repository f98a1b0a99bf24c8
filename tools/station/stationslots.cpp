// Boards coming and going, and starting: what the source tells, whether an
// entry is a board, and one upload per board.

#include "station.h"

#include "flash/serialports.h"
#include "slotlabels.h"

#include <QTimer>
#include <QUuid>

namespace station {

using flash::FlashResult;
using flash::PortFlasher;
using Waiting = Slot::Waiting;

void Station::onPlugged(const QString &name, const QString &entry, const QString &device)
{
    const bool newSlot = !slots_.contains(name);
    Slot &slot = slots_[name];
    slot.name = name;
    if (newSlot)
        relabel();
    slot.state = Slot::State::Settling;
    slot.device = device;
    slot.usb = config_.identify(device);
    slot.progress = {};
    slot.progress.total = image_.size();
    slot.waiting = Waiting::No;
    slot.skipped.clear();
    takeWaitingCode(slot);
    noteChange(name);
    emit plugged(slot);
    writer_.retry(); // a held record is tried again at every event
    QString words;
    const Waiting waiting = waitReason(slot, entry, &words);
    // A port given by name that is none is that port's failure.
    if (isFixed() && (waiting == Waiting::NotSerial || waiting == Waiting::InUse))
        endWithoutUpload(slot, words);
    else if (waiting != Waiting::No)
        setWaiting(slot, waiting, words);
    else if (!stopping_)
        queueStart(name);
    if (waiting == Waiting::NeedsScan)
        awaitingCode_.append(name);
}

// A new slot may tell apart names that looked alike: every short label may
// change. Ports given by name are called by that name.
void Station::relabel()
{
    const QHash<QString, QString> labels = slotLabels(slots_.keys(), config_.labels);
    for (Slot &slot : slots_) {
        const QString label = isFixed() ? slot.name : labels.value(slot.name);
        if (slot.label != label) {
            slot.label = label;
            noteChange(slot.name);
        }
    }
}

Slot::Waiting Station::waitReason(const Slot &slot, const QString &entry, QString *words) const
{
    // The entry, not the device: a link to nothing is said to be one.
    *words = flash::serialPortProblem(entry);
    if (!words->isEmpty())
        return Waiting::NotSerial;
    for (const Slot &other : slots_) {
        if (other.name != slot.name && other.state != Slot::State::Empty &&
            other.device == slot.device) {
            *words = QStringLiteral("same device as slot %1").arg(other.name);
            return Waiting::Twin;
        }
    }
    if (!matches(slot.usb)) {
        *words = QStringLiteral("not a matching adapter (%1)")
                     .arg(slot.usb.isKnown() ? slot.usb.vidPid() : QStringLiteral("unknown"));
        return Waiting::WrongAdapter;
    }
    if (config_.requireScan && slot.scanned.isEmpty()) {
        *words = QStringLiteral("scan the board's label");
        return Waiting::NeedsScan;
    }
    if (paused_) {
        *words = QStringLiteral("paused");
        return Waiting::Paused;
    }
    return Waiting::No;
}

void Station::setWaiting(Slot &slot, Waiting waiting, const QString &words)
{
    slot.waiting = waiting;
    slot.skipped = words;
    noteChange(slot.name);
    emit boardWaiting(slot);
}

void Station::onUnplugged(const QString &name)
{
    auto it = slots_.find(name);
    if (it == slots_.end())
        return;
    // A board pulled mid-flash ends as unplugged, without a word to a line
    // that is no longer there; its end comes back from the event loop.
    if (flights_.contains(name))
        flights_[name].flasher->unplug();
    it->state = Slot::State::Empty;
    it->waiting = Waiting::No;
    it->skipped.clear();
    noteChange(name);
    emit unplugged(*it);
    writer_.retry();
}

void Station::queueStart(const QString &name)
{
    if (startQueue_.contains(name))
        return;
    if (startQueue_.isEmpty())
        QTimer::singleShot(0, this, &Station::startNext);
    startQueue_.append(name);
}

void Station::startNext()
{
    if (startQueue_.isEmpty())
        return;
    Slot &slot = slots_[startQueue_.takeFirst()];
    if (!startQueue_.isEmpty())
        QTimer::singleShot(0, this, &Station::startNext);
    // Pulled, paused or stopped since it was queued, or the board before it
    // in this slot not recorded yet: not now.
    if (slot.state != Slot::State::Settling || slot.waiting != Waiting::No || stopping_ ||
        flights_.contains(slot.name))
        return;
    if (paused_)
        setWaiting(slot, Waiting::Paused, QStringLiteral("paused"));
    else if (writer_.isHeld())
        setWaiting(slot, Waiting::Held, QStringLiteral("held: ") + writer_.error());
    else if (!withdrawn_.isEmpty())
        setWaiting(slot, Waiting::Withdrawn, QStringLiteral("held: ") + withdrawn_);
    else if (const QString holder = flash::portHolder(slot.device); !holder.isEmpty() && isFixed())
        endWithoutUpload(slot, holder);
    else if (!holder.isEmpty())
        setWaiting(slot, Waiting::InUse, holder); // the name now leads to another's device
    else
        startBoard(slot);
}

void Station::resumeWaiting(Waiting waiting, const QString &only)
{
    for (Slot &slot : slots_) {
        if (slot.state == Slot::State::Settling && slot.waiting == waiting &&
            (only.isEmpty() || slot.name == only)) {
            slot.waiting = Waiting::No;
            slot.skipped.clear();
            noteChange(slot.name);
            if (!stopping_)
                queueStart(slot.name);
        }
    }
}

void Station::startBoard(Slot &slot)
{
    slot.state = Slot::State::Flashing;
    slot.started = QDateTime::currentDateTimeUtc();
    Flight flight{new PortFlasher(slot.device, image_, config_.upload, this, config_.boot),
                  slot.device,
                  slot.usb,
                  slot.started,
                  QUuid::createUuid().toString(QUuid::WithoutBraces),
                  slot.scanned};
    flights_.insert(slot.name, flight);
    connectFlasher(flight.flasher, slot.name);
    noteChange(slot.name);
    emit boardStarted(slot);
    flight.flasher->start();
}

void Station::connectFlasher(PortFlasher *flasher, const QString &name)
{
    connect(flasher, &PortFlasher::progressed, this,
            [this, name](const flash::UploadProgress &progress) {
                Slot &slot = slots_[name];
                slot.progress = progress;
                noteChange(name);
                emit boardProgressed(slot);
            });
    connect(
        flasher, &PortFlasher::finished, this,
        [this, name, flasher](const FlashResult &result) { onFinished(name, flasher, result); });
    connect(flasher, &PortFlasher::logLine, this, [this, name, flasher](const QString &line) {
        slots_[name].progress.elapsedMs = flasher->elapsedMs();
        emit boardTraced(slots_[name], line);
    });
    connect(flasher, &PortFlasher::frameSent, this, [this, name, flasher](const QByteArray &bytes) {
        slots_[name].progress.elapsedMs = flasher->elapsedMs();
        emit boardBytes(slots_[name], true, bytes);
    });
    connect(flasher, &PortFlasher::bytesReceived, this,
            [this, name, flasher](const QByteArray &bytes) {
                slots_[name].progress.elapsedMs = flasher->elapsedMs();
                emit boardBytes(slots_[name], false, bytes);
            });
}

} // namespace station
