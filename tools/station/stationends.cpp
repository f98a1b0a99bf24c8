// How a board ends: its record, made here and handed to the writer, and what
// the station tells once the record is on the disk, or cannot be.

#include "station.h"

#include "flash/outcomes.h"
#include "flash/uploadtext.h"

#include <QUuid>

namespace station {

using flash::FlashResult;
using flash::PortFlasher;
using Waiting = Slot::Waiting;

void Station::onFinished(const QString &name, PortFlasher *flasher, const FlashResult &ended)
{
    const Flight flight = flights_.take(name);
    flasher->deleteLater();
    Slot &slot = slots_[name];
    FlashResult result = ended;
    const bool sameBoard = slot.state == Slot::State::Flashing;
    // A label scanned while the board flashed is this board's.
    const QString scanned = sameBoard ? slot.scanned : flight.scanned;
    checkLabel(result, scanned);
    if (sameBoard) {
        slot.state = Slot::State::Done;
        slot.progress = flasher->progress();
    }
    finishBoard(slot, recordFor(name, flight, scanned, result), result);
    if (stopping_ && flights_.isEmpty() && !abandoning_)
        finishStopping();
    else if (!sameBoard && slot.state == Slot::State::Settling && slot.waiting == Waiting::No)
        queueStart(name); // plugged again before this end was told
}

// A port given by name that is no serial port, or that another program
// holds, ends as one that could not be opened: it has a record and a result.
void Station::endWithoutUpload(Slot &slot, const QString &why)
{
    FlashResult result;
    result.port = slot.device;
    result.outcome = FlashResult::Outcome::OpenFailed;
    result.message = why;
    result.imageSize = image_.size();
    slot.started = QDateTime::currentDateTimeUtc();
    slot.state = Slot::State::Done;
    const Flight flight{nullptr,
                        slot.device,
                        slot.usb,
                        slot.started,
                        QUuid::createUuid().toString(QUuid::WithoutBraces),
                        slot.scanned};
    finishBoard(slot, recordFor(slot.name, flight, slot.scanned, result), result);
}

void Station::finishBoard(Slot &slot, records::BoardRecord record, const FlashResult &result)
{
    slot.last = record;
    slot.lastResult = result;
    slot.lastRecorded = false;
    outcomes_.append(result.outcome);
    untold_.insert(record.id, {slot.name, result});
    noteChange(slot.name);
    if (!askFlashedBefore(slot.name, record, result))
        submitRecord(record);
}

void Station::submitRecord(records::BoardRecord record)
{
    record.seq = ++lastSeq_; // in the journal's order
    writer_.submit(record);
    if (writer_.isHeld())
        tellUnrecorded(); // not once it is written: that may be long
}

// The board as it was when this record was made: a slot may have moved on
// to its next board by the time an old record is written.
Slot Station::slotAsRecorded(const records::BoardRecord &record, const FlashResult &result,
                             bool recorded) const
{
    Slot slot = slots_.value(record.slot);
    if (slot.last.id != record.id) {
        slot.last = record;
        slot.lastResult = result;
    }
    slot.lastRecorded = recorded;
    return slot;
}

void Station::onWritten(const records::BoardRecord &record)
{
    if (forwarder_)
        forwarder_->journalGrew();
    if (record.isOk())
        ++counts_.ok;
    else if (record.isStopped())
        ++counts_.stopped;
    else
        ++counts_.failed;
    const auto slot = slots_.find(record.slot);
    if (slot != slots_.end() && slot->last.id == record.id) {
        slot->lastRecorded = true;
        noteChange(slot->name);
    }
    if (untold_.contains(record.id)) {
        const Untold untold = untold_.take(record.id);
        emit boardFinished(slotAsRecorded(record, untold.result, true));
    } else if (toldUnrecorded_.contains(record.id)) {
        const Untold told = toldUnrecorded_.take(record.id);
        emit boardRecorded(slotAsRecorded(record, told.result, true), record);
    }
    checkFinished();
}

void Station::onHeldChanged(const QString &why)
{
    noteChange();
    emit recordHeld(why);
    if (why.isEmpty()) {
        resumeWaiting(Waiting::Held);
        return;
    }
    tellUnrecorded();
    for (Slot &slot : slots_)
        if (slot.waiting == Waiting::Held)
            setWaiting(slot, Waiting::Held, QStringLiteral("held: ") + why);
}

// Records that cannot be written are not kept from the views: the boards are
// told ended, not recorded, and told again once their records are written.
void Station::tellUnrecorded()
{
    const QStringList ids = untold_.keys();
    for (const QString &id : ids) {
        const Untold untold = untold_.take(id);
        toldUnrecorded_.insert(id, untold);
        const Slot slot = slots_.value(untold.slot);
        if (slot.last.id == id)
            emit boardFinished(slotAsRecorded(slot.last, untold.result, false));
    }
    checkFinished();
}

void Station::checkFinished()
{
    if (!isFixed() || finishedTold_ || !flights_.isEmpty() || !untold_.isEmpty())
        return;
    for (const Slot &slot : qAsConst(slots_))
        if (slot.state != Slot::State::Done)
            return;
    finishedTold_ = true;
    emit finished();
}

records::BoardRecord Station::recordFor(const QString &slot, const Flight &flight,
                                        const QString &scanned, const FlashResult &result) const
{
    records::BoardRecord record;
    record.id = flight.id;
    record.station = config_.stationName;
    record.version = config_.version;
    record.slot = slot;
    // Only the fixture's own names: a short label depends on the slots seen.
    record.label = config_.labels.value(slot);
    record.port = flight.device;
    record.usb = {flight.usb.vid, flight.usb.pid, flight.usb.serial};
    record.file = config_.file;
    record.bytes = image_.size();
    record.sha256 = sha256_;
    record.started = flight.started.toString(Qt::ISODateWithMs);
    record.ended = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    record.durationMs = result.durationMs;
    record.status = QLatin1String(flash::outcomeName(result.outcome));
    record.phase = uploadtext::phaseName(result.phase);
    record.message = result.message;
    record.sent = result.bytesSent;
    record.acknowledged = result.acknowledged;
    record.resends = result.resends;
    record.latencyMs = result.latencyMs;
    record.board = result.board;
    record.scanned = scanned;
    record.boot = {result.bootLine, result.bootMs};
    return record;
}

} // namespace station
