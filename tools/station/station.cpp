#include "station.h"

#include "flash/outcomes.h"
#include "flash/serialports.h"
#include "slotwatcher.h"
#include "uploadtext.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QSysInfo>
#include <QTimer>

namespace station {

using flash::FlashResult;
using flash::PortFlasher;

double StationCounts::yieldPercent() const
{
    return boards() == 0 ? -1 : 100.0 * ok / boards();
}

double StationCounts::boardsPerHour() const
{
    constexpr qint64 Minute = 60 * 1000;
    constexpr double Hour = 3600.0 * 1000;
    return elapsedMs < Minute ? 0 : boards() * Hour / double(elapsedMs);
}

Station::Station(StationConfig config, QByteArray image, QObject *parent)
    : QObject(parent), config_(std::move(config)), image_(std::move(image)),
      sha256_(
          QString::fromLatin1(QCryptographicHash::hash(image_, QCryptographicHash::Sha256).toHex()))
{
    qRegisterMetaType<station::Slot>("station::Slot");
    if (config_.stationName.isEmpty())
        config_.stationName = QSysInfo::machineHostName();
    if (!config_.identify)
        config_.identify = [](const QString &device) { return flash::usbIdentity(device); };
}

Station::~Station() = default;

bool Station::start(QString *why)
{
    QString reason;
    if (!config_.recordPath.isEmpty() && !record_.open(config_.recordPath, &reason)) {
        *why = QStringLiteral("cannot open the record %1: %2").arg(config_.recordPath, reason);
        return false;
    }
    auto *watcher = new SlotWatcher(config_.folder, config_.settleMs, this);
    connect(watcher, &SlotWatcher::plugged, this, &Station::onPlugged);
    connect(watcher, &SlotWatcher::unplugged, this, &Station::onUnplugged);
    sinceStart_.start();
    return watcher->start(why);
}

void Station::stop()
{
    stopping_ = true;
    if (flashers_.isEmpty()) {
        emit stopped();
        return;
    }
    // Each flasher finishes in its own time (after CAN CAN is written);
    // onFinished() emits stopped() after the last.
    const QList<PortFlasher *> running = flashers_.values();
    for (PortFlasher *flasher : running)
        flasher->stop();
}

void Station::setPaused(bool paused)
{
    paused_ = paused;
    if (paused_ || stopping_)
        return;
    for (Slot &slot : slots_) {
        if (slot.state == Slot::State::Settling && slot.skipped == QLatin1String("paused"))
            queueStart(slot.name);
    }
}

StationCounts Station::counts() const
{
    return {ok_, failed_, sinceStart_.isValid() ? sinceStart_.elapsed() : 0};
}

int Station::inFlight() const
{
    return flashers_.size();
}

bool Station::matches(const flash::UsbIdentity &usb) const
{
    // An adapter of unknown identity matches only when nothing is asked.
    return config_.matches.isEmpty() || config_.matches.contains(usb.vidPid().toLower());
}

void Station::onPlugged(const QString &name, const QString &, const QString &device)
{
    Slot &slot = slots_[name];
    slot.name = name;
    slot.state = Slot::State::Settling;
    slot.device = device;
    slot.usb = config_.identify(device);
    slot.skipped.clear();
    slot.phase = ymodem::UploadPhase::NotStarted;
    slot.sent = slot.acknowledged = 0;
    slot.total = image_.size();
    emit plugged(slot);
    if (!matches(slot.usb)) {
        slot.skipped = QStringLiteral("not a matching adapter (%1)")
                           .arg(slot.usb.isKnown() ? slot.usb.vidPid() : QStringLiteral("unknown"));
        emit slotChanged(slot);
        return;
    }
    if (stopping_)
        return;
    if (paused_) {
        slot.skipped = QStringLiteral("paused");
        emit slotChanged(slot);
        return;
    }
    queueStart(name);
}

void Station::queueStart(const QString &name)
{
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
    // Pulled, paused or stopped since it was queued: not now.
    if (slot.state == Slot::State::Settling && !stopping_ && !paused_)
        startBoard(slot);
}

void Station::startBoard(Slot &slot)
{
    slot.state = Slot::State::Flashing;
    slot.skipped.clear();
    slot.started = QDateTime::currentDateTimeUtc();
    slot.clock.start();
    auto *flasher = new PortFlasher(slot.device, image_, config_.upload, this);
    flashers_.insert(slot.name, flasher);
    const QString name = slot.name;
    connect(flasher, &PortFlasher::phaseChanged, this, [this, name](ymodem::UploadPhase phase) {
        Slot &slot = slots_[name];
        slot.phase = phase;
        emit slotChanged(slot);
    });
    connect(flasher, &PortFlasher::progress, this, [this, name](qint64 sent, qint64 acked) {
        Slot &slot = slots_[name];
        slot.sent = sent;
        slot.acknowledged = acked;
        emit slotChanged(slot);
    });
    connect(flasher, &PortFlasher::finished, this,
            [this, name](const FlashResult &result) { onFinished(name, result); });
    emit slotChanged(slot);
    flasher->start();
}

void Station::onUnplugged(const QString &name)
{
    auto it = slots_.find(name);
    if (it == slots_.end())
        return;
    // A board pulled mid-flash ends as unplugged, without a word to a line
    // that is no longer there.
    if (PortFlasher *flasher = flashers_.value(name))
        flasher->unplugged();
    it->state = Slot::State::Empty;
    it->skipped.clear();
    emit unplugged(*it);
}

void Station::onFinished(const QString &name, const FlashResult &result)
{
    PortFlasher *flasher = flashers_.take(name);
    flasher->deleteLater();
    Slot &slot = slots_[name];
    slot.phase = result.phase;
    slot.acknowledged = result.acknowledged;
    slot.last = recordFor(slot, result);
    slot.lastOk = result.succeeded();
    if (slot.state == Slot::State::Flashing)
        slot.state = Slot::State::Done;
    result.succeeded() ? ++ok_ : ++failed_;
    QString why;
    if (record_.isOpen() && !record_.append(slot.last, &why))
        emit recordFailed(
            QStringLiteral("cannot write the record %1: %2").arg(config_.recordPath, why));
    emit boardFinished(slot, slot.last);
    if (stopping_ && flashers_.isEmpty())
        emit stopped();
}

QJsonObject Station::recordFor(const Slot &slot, const FlashResult &result) const
{
    const QDateTime ended = QDateTime::currentDateTimeUtc();
    QJsonObject record{{"schema", 1},
                       {"station", config_.stationName},
                       {"version", config_.version},
                       {"slot", slot.name},
                       {"port", slot.device},
                       {"file", config_.file},
                       {"bytes", image_.size()},
                       {"sha256", sha256_},
                       {"started", slot.started.toString(Qt::ISODateWithMs)},
                       {"ended", ended.toString(Qt::ISODateWithMs)},
                       {"duration_ms", slot.clock.elapsed()},
                       {"status", QLatin1String(flash::outcomeName(result.outcome))},
                       {"phase", uploadtext::phaseName(result.phase)},
                       {"message", result.message},
                       {"sent", result.bytesSent},
                       {"resends", result.resends}};
    if (slot.usb.isKnown() || !slot.usb.serial.isEmpty())
        record.insert(
            QStringLiteral("usb"),
            QJsonObject{{"vid", slot.usb.vid}, {"pid", slot.usb.pid}, {"serial", slot.usb.serial}});
    if (result.latencyMs >= 0)
        record.insert(QStringLiteral("latency_ms"), result.latencyMs);
    return record;
}

} // namespace station
