// How a board's upload ends: its record, made here and handed to the gate,
// and what the station does once the record is on the disk or cannot be.

#include "station.h"

#include "flash/outcomes.h"
#include "flash/uploadtext.h"

namespace station {

using flash::FlashResult;
using flash::PortFlasher;
using Waiting = Slot::Waiting;

void Station::onFinished(const QString &name, PortFlasher *flasher, const FlashResult &result)
{
    const Flight flight = flights_.take(name);
    flasher->deleteLater();
    Slot &slot = slots_[name];
    const bool sameBoard = slot.state == Slot::State::Flashing;
    slot.last = recordFor(name, flight, result);
    slot.last.insert(QStringLiteral("seq"), ++lastSeq_); // in the journal's order
    slot.lastResult = result;
    slot.lastOk = result.succeeded();
    slot.lastRecorded = false;
    if (sameBoard) {
        slot.state = Slot::State::Done;
        slot.progress = flasher->progress();
    }
    gate_.submit(slot.last);
    if (!slot.lastRecorded)
        unrecordedIds_.insert(flight.id);
    noteChange(name);
    emit boardFinished(slot, slot.last);
    if (stopping_ && flights_.isEmpty() && !abandoning_)
        finishStopping();
    else if (!sameBoard && slot.state == Slot::State::Settling && slot.waiting == Waiting::No)
        queueStart(name); // plugged again before this end was told
}

void Station::onWritten(const QJsonObject &record)
{
    if (forwarder_)
        forwarder_->journalGrew();
    const QString status = record.value(QStringLiteral("status")).toString();
    if (status == QLatin1String("ok"))
        ++counts_.ok;
    else if (status == QLatin1String("stopped"))
        ++counts_.stopped;
    else
        ++counts_.failed;
    auto slot = slots_.find(record.value(QStringLiteral("slot")).toString());
    if (slot != slots_.end() && slot->last == record) {
        slot->lastRecorded = true;
        noteChange(slot->name);
    }
    if (unrecordedIds_.remove(record.value(QStringLiteral("id")).toString()) &&
        slot != slots_.end())
        emit boardRecorded(*slot, record);
}

void Station::onHeldChanged(const QString &why)
{
    noteChange();
    emit recordHeld(why);
    if (why.isEmpty()) {
        resumeWaiting(Waiting::Held);
        return;
    }
    for (Slot &slot : slots_)
        if (slot.waiting == Waiting::Held)
            setWaiting(slot, Waiting::Held, QStringLiteral("held: ") + why);
}

QJsonObject Station::recordFor(const QString &slot, const Flight &flight,
                               const FlashResult &result) const
{
    const QDateTime ended = QDateTime::currentDateTimeUtc();
    QJsonObject record{{"schema", 2},
                       {"id", flight.id},
                       {"station", config_.stationName},
                       {"version", config_.version},
                       {"slot", slot},
                       {"port", flight.device},
                       {"file", config_.file},
                       {"bytes", image_.size()},
                       {"sha256", sha256_},
                       {"started", flight.started.toString(Qt::ISODateWithMs)},
                       {"ended", ended.toString(Qt::ISODateWithMs)},
                       {"duration_ms", result.durationMs},
                       {"status", QLatin1String(flash::outcomeName(result.outcome))},
                       {"phase", uploadtext::phaseName(result.phase)},
                       {"message", result.message},
                       {"sent", result.bytesSent},
                       {"resends", result.resends}};
    if (flight.usb.isKnown() || !flight.usb.serial.isEmpty())
        record.insert(QStringLiteral("usb"), QJsonObject{{"vid", flight.usb.vid},
                                                         {"pid", flight.usb.pid},
                                                         {"serial", flight.usb.serial}});
    // Only the fixture's own names: a short label depends on the slots seen.
    if (config_.labels.contains(slot))
        record.insert(QStringLiteral("label"), config_.labels.value(slot));
    if (result.latencyMs >= 0)
        record.insert(QStringLiteral("latency_ms"), result.latencyMs);
    return record;
}

} // namespace station
