// The station's life: starting its source, record and forwarding, stopping,
// and what views read. Boards coming and starting are in stationslots.cpp,
// their ends and records in stationends.cpp.

#include "station.h"

#include "flash/serialports.h"
#include "records/databaseurl.h"
#include "records/journal.h"
#include "slotsource.h"
#include "slotwatcher.h"

#include <QCryptographicHash>
#include <QMetaMethod>
#include <QSysInfo>
#include <QTimer>

namespace station {

using flash::PortFlasher;

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
      writer_(this)
{
    qRegisterMetaType<station::Slot>("station::Slot");
    qRegisterMetaType<records::BoardRecord>("records::BoardRecord");
    if (config_.stationName.isEmpty())
        config_.stationName = QSysInfo::machineHostName();
    if (!config_.identify)
        config_.identify = [](const QString &device) { return flash::usbIdentity(device); };
    writer_.setRetryInterval(config_.recordRetryMs);
    connect(&writer_, &RecordWriter::written, this, &Station::onWritten);
    connect(&writer_, &RecordWriter::heldChanged, this, &Station::onHeldChanged);
}

Station::~Station() = default;

bool Station::start(QString *why)
{
    QString reason;
    if (!writer_.open(config_.recordPath, &reason)) {
        *why = QStringLiteral("cannot open the record %1: %2").arg(config_.recordPath, reason);
        return false;
    }
    lastSeq_ = qMax<qint64>(0, records::lastSeq(config_.recordPath));
    if (config_.releasedOnly && !checkRelease(why)) {
        refusedUnreleased_ = true;
        return false;
    }
    if (!config_.databaseUrl.isEmpty() && !startForwarding(why))
        return false;
    sinceStart_.start();
    return startSource(why);
}

bool Station::startSource(QString *why)
{
    if (config_.ports.isEmpty()) {
        const auto identify = config_.identify;
        source_ = new SlotWatcher(
            config_.folder, config_.settleMs,
            [identify](const QString &device) { return plugTag(identify(device)); }, this);
    } else {
        source_ = new PortList(config_.ports, this);
    }
    connect(source_, &SlotSource::plugged, this, &Station::onPlugged);
    connect(source_, &SlotSource::unplugged, this, &Station::onUnplugged);
    connect(source_, &SlotSource::folderWaiting, this, [this](bool waiting) {
        noteChange();
        emit folderWaiting(waiting);
    });
    return source_->start(why);
}

// The database gets what the journal has: the forwarder's own thread reads
// it once a record is on the disk, and flashing never waits for it.
bool Station::startForwarding(QString *why)
{
    forwarder_ =
        new records::Forwarder(config_.recordPath, config_.databaseUrl, config_.stationName, this);
    connect(forwarder_, &records::Forwarder::statusChanged, this, &Station::onForwarderStatus);
    connect(forwarder_, &records::Forwarder::priorOkAnswered, this, &Station::onPriorOk);
    if (config_.releasedOnly)
        forwarder_->watchRelease(sha256_, config_.releaseCheckMs);
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
    return source_ && source_->isWaitingForFolder();
}

bool Station::isFixed() const
{
    return !config_.ports.isEmpty();
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
    // onFinished() stops the station after the last.
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
    endPriorChecks(QStringLiteral("the station stopped before the database answered"));
    writer_.finish(0);
}

void Station::stopForwarding()
{
    if (forwarder_)
        forwarder_->stop();
}

// The records just handed over are written, and while the database takes
// them they get a moment to go in before the station says how many did not.
void Station::finishStopping()
{
    constexpr int DrainMs = 2000;
    endPriorChecks(QStringLiteral("the station stopped before the database answered"));
    writer_.finish(config_.recordRetryMs);
    if (forwarder_)
        forwarder_->stop(DrainMs);
    emit stopped();
}

void Station::setPaused(bool paused)
{
    paused_ = paused;
    if (!paused_)
        resumeWaiting(Slot::Waiting::Paused);
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
    // Without a view (kvt-flash in a log or JSON), no news to post: hundreds
    // of progress events a second would each cost one.
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
    counts.notRecorded = untold_.size() + toldUnrecorded_.size();
    counts.elapsedMs = sinceStart_.isValid() ? sinceStart_.elapsed() : 0;
    return counts;
}

bool Station::matches(const flash::UsbIdentity &usb) const
{
    // An adapter of unknown identity matches only when nothing is asked.
    return config_.matches.isEmpty() || config_.matches.contains(usb.vidPid().toLower());
}

} // namespace station
