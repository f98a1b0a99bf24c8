#include "station.h"

#include "flash/serialports.h"
#include "records/databaseurl.h"
#include "records/journal.h"
#include "slotlabels.h"
#include "slotwatcher.h"

#include <QCryptographicHash>
#include <QMetaMethod>
#include <QSysInfo>
#include <QTimer>
#include <QUuid>

namespace station {

using flash::FlashResult;
using flash::PortFlasher;
using Waiting = Slot::Waiting;

namespace {

// What changes at every plug of a USB device (its bus and device numbers),
// though its tty name and device number are often reused.
QString plugTag(const flash::UsbIdentity &usb)
{
    return usb.bus == 0 ? QString() : QStringLiteral("%1-%2").arg(usb.bus).arg(usb.address);
}

} // namespace

double StationCounts::yieldPercent() const
{
    return ok + failed == 0 ? -1 : 100.0 * ok / (ok + failed);
}

double StationCounts::boardsPerHour() const
{
    constexpr qint64 Minute = 60 * 1000;
    constexpr double Hour = 3600.0 * 1000;
    return elapsedMs < Minute ? 0 : boards() * Hour / double(elapsedMs);
}

Station::Station(StationConfig config, QByteArray image, QObject *parent)
    : QObject(parent), config_(std::move(config)), image_(std::move(image)),
      sha256_(QString::fromLatin1(
          QCryptographicHash::hash(image_, QCryptographicHash::Sha256).toHex())),
      gate_(this)
{
    qRegisterMetaType<station::Slot>("station::Slot");
    if (config_.stationName.isEmpty())
        config_.stationName = QSysInfo::machineHostName();
    if (!config_.identify)
        config_.identify = [](const QString &device) { return flash::usbIdentity(device); };
    gate_.setRetryInterval(config_.recordRetryMs);
    connect(&gate_, &RecordGate::written, this, &Station::onWritten);
    connect(&gate_, &RecordGate::heldChanged, this, &Station::onHeldChanged);
}

Station::~Station() = default;

bool Station::start(QString *why)
{
    QString reason;
    if (!gate_.open(config_.recordPath, &reason)) {
        *why = QStringLiteral("cannot open the record %1: %2").arg(config_.recordPath, reason);
        return false;
    }
    lastSeq_ = qMax<qint64>(0, records::lastSeq(config_.recordPath));
    if (!config_.databaseUrl.isEmpty() && !startForwarding(why))
        return false;
    const auto identify = config_.identify;
    watcher_ = new SlotWatcher(
        config_.folder, config_.settleMs,
        [identify](const QString &device) { return plugTag(identify(device)); }, this);
    connect(watcher_, &SlotWatcher::plugged, this, &Station::onPlugged);
    connect(watcher_, &SlotWatcher::unplugged, this, &Station::onUnplugged);
    connect(watcher_, &SlotWatcher::folderWaiting, this, [this](bool waiting) {
        noteChange();
        emit folderWaiting(waiting);
    });
    sinceStart_.start();
    return watcher_->start(why);
}

// The database gets what the journal has: the forwarder's own thread sends
// each record once it is on the disk, and flashing never waits for it.
bool Station::startForwarding(QString *why)
{
    forwarder_ =
        new records::Forwarder(config_.recordPath, config_.databaseUrl, config_.stationName, this);
    connect(forwarder_, &records::Forwarder::statusChanged, this,
            [this](const records::ForwarderStatus &status) {
                const QString message = records::databaseMessage(status);
                if (message == databaseMessage_)
                    return;
                databaseMessage_ = message;
                noteChange();
                emit databaseChanged(databaseMessage_);
            });
    QString reason;
    if (forwarder_->start(&reason))
        return true;
    *why = QStringLiteral("cannot use the database %1: %2")
               .arg(records::withoutSecrets(config_.databaseUrl), reason);
    return false;
}

int Station::notInDatabase() const
{
    return forwarder_ ? forwarder_->status().pending : 0;
}

bool Station::isWaitingForFolder() const
{
    return watcher_ && watcher_->isWaitingForFolder();
}

void Station::stop()
{
    if (stopping_)
        return;
    stopping_ = true;
    startQueue_.clear();
    noteChange();
    emit stopping(flights_.size());
    if (flights_.isEmpty()) {
        QTimer::singleShot(0, this, &Station::finishStopping);
        return;
    }
    // Each flasher finishes in its own time (after CAN CAN is written);
    // onFinished() emits stopped() after the last.
    for (const Flight &flight : qAsConst(flights_))
        flight.flasher->stop();
}

void Station::abandon()
{
    stopping_ = true;
    abandoning_ = true;
    startQueue_.clear();
    const QStringList names = flights_.keys();
    for (const QString &name : names) {
        PortFlasher *flasher = flights_.value(name).flasher;
        flasher->disconnect(this);
        onFinished(name, flasher, flasher->abandon());
    }
}

void Station::stopForwarding()
{
    if (forwarder_)
        forwarder_->stop();
}

// The last records went into the journal a moment ago: while the database
// takes them, they get a moment to go in before the station says how many
// did not.
void Station::finishStopping()
{
    constexpr int DrainMs = 2000;
    if (forwarder_)
        forwarder_->stop(DrainMs);
    emit stopped();
}

void Station::setPaused(bool paused)
{
    paused_ = paused;
    if (!paused_)
        resumeWaiting(Waiting::Paused);
}

void Station::stampElapsed()
{
    for (auto flight = flights_.cbegin(); flight != flights_.cend(); ++flight) {
        slots_[flight.key()].progress.elapsedMs = flight->flasher->progress().elapsedMs;
        noteChange(flight.key());
    }
}

void Station::noteChange(const QString &slot)
{
    // Without a view (kvt-flash --watch in a log or JSON), no news to post:
    // hundreds of progress events a second would each cost one.
    static const QMetaMethod changedSignal = QMetaMethod::fromSignal(&Station::changed);
    if (!isSignalConnected(changedSignal))
        return;
    if (!slot.isEmpty())
        changedSlots_.insert(slot);
    if (changeQueued_)
        return;
    changeQueued_ = true;
    // Posted, not called: a view never redraws inside the station's own
    // handling of an event, and a burst of news in one pass is drawn once.
    QMetaObject::invokeMethod(this, &Station::publishChanges, Qt::QueuedConnection);
}

void Station::publishChanges()
{
    changeQueued_ = false;
    QStringList names = changedSlots_.values();
    changedSlots_.clear();
    names.sort();
    emit changed(names);
}

StationCounts Station::counts() const
{
    StationCounts counts = counts_;
    counts.notRecorded = gate_.unwritten().size();
    counts.elapsedMs = sinceStart_.isValid() ? sinceStart_.elapsed() : 0;
    return counts;
}

bool Station::matches(const flash::UsbIdentity &usb) const
{
    // An adapter of unknown identity matches only when nothing is asked.
    return config_.matches.isEmpty() || config_.matches.contains(usb.vidPid().toLower());
}

// --- Boards coming and going -------------------------------------------------

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
    noteChange(name);
    emit plugged(slot);
    gate_.flush(); // a held record is tried again at every event
    QString words;
    const Waiting waiting = waitReason(slot, entry, &words);
    if (waiting != Waiting::No)
        setWaiting(slot, waiting, words);
    else if (!stopping_)
        queueStart(name);
}

// A new slot may tell apart names that looked alike: every short label may
// change.
void Station::relabel()
{
    const QHash<QString, QString> labels = slotLabels(slots_.keys(), config_.labels);
    for (Slot &slot : slots_) {
        if (slot.label != labels.value(slot.name)) {
            slot.label = labels.value(slot.name);
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
    gate_.flush();
}

// --- Starting boards ---------------------------------------------------------

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
    else if (gate_.isHeld())
        setWaiting(slot, Waiting::Held, QStringLiteral("held: ") + gate_.error());
    else if (const QString holder = flash::portHolder(slot.device); !holder.isEmpty())
        setWaiting(slot, Waiting::InUse, holder); // the name now leads to another's device
    else
        startBoard(slot);
}

void Station::resumeWaiting(Waiting waiting)
{
    for (Slot &slot : slots_) {
        if (slot.state == Slot::State::Settling && slot.waiting == waiting) {
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
    Flight flight{new PortFlasher(slot.device, image_, config_.upload, this), slot.device, slot.usb,
                  slot.started, QUuid::createUuid().toString(QUuid::WithoutBraces)};
    PortFlasher *flasher = flight.flasher;
    flights_.insert(slot.name, flight);
    const QString name = slot.name;
    connect(flasher, &PortFlasher::progressed, this,
            [this, name](const flash::UploadProgress &progress) {
                slots_[name].progress = progress;
                noteChange(name);
            });
    connect(
        flasher, &PortFlasher::finished, this,
        [this, name, flasher](const FlashResult &result) { onFinished(name, flasher, result); });
    noteChange(name);
    flasher->start();
}

} // namespace station
