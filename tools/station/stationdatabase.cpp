// What the station asks the factory database besides taking its records:
// whether its image is released, and whether a board that ended ok had been
// flashed ok with the same image before.

#include "station.h"

#include "records/databaseurl.h"
#include "records/releases.h"

#include <QTimer>

namespace station {

using Waiting = Slot::Waiting;

// No proof, no flash: a station held to released images starts only when the
// database says this one is.
bool Station::checkRelease(QString *why) const
{
    records::DatabaseUrl url;
    QString reason;
    if (config_.databaseUrl.isEmpty()) {
        *why = QStringLiteral("--released-only needs a database (--database)");
        return false;
    }
    if (!records::parseDatabaseUrl(config_.databaseUrl, &url, &reason)) {
        *why = QStringLiteral("cannot use the database %1: %2")
                   .arg(records::withoutSecrets(config_.databaseUrl), reason);
        return false;
    }
    records::ReleaseState state;
    records::releaseState(url, sha256_, &state, &reason);
    if (state.kind == records::ReleaseState::Released)
        return true;
    *why = QStringLiteral("the image %1 (%2) may not be flashed: %3")
               .arg(config_.file, sha256_.left(12), records::releaseStateText(state));
    return false;
}

void Station::onForwarderStatus(const records::ForwarderStatus &status)
{
    // Out of reach, the release proven at start stands; withdrawn, or no
    // longer listed, it does not.
    using Kind = records::ReleaseState::Kind;
    const bool gone = status.releaseWatched && (status.release.kind == Kind::Withdrawn ||
                                                status.release.kind == Kind::NotReleased);
    const QString withdrawn =
        gone ? QStringLiteral("the image is %1").arg(records::releaseStateText(status.release))
             : QString();
    QStringList parts{records::databaseMessage(status)};
    if (!withdrawn.isEmpty())
        parts.append(withdrawn + QStringLiteral(": new boards are held"));
    parts.removeAll(QString());
    const QString message = parts.join(QStringLiteral("; "));
    const bool cleared = !withdrawn_.isEmpty() && withdrawn.isEmpty();
    withdrawn_ = withdrawn;
    if (cleared)
        resumeWaiting(Waiting::Withdrawn);
    if (message == databaseMessage_)
        return;
    databaseMessage_ = message;
    noteChange();
    emit databaseChanged(databaseMessage_);
}

// A board that ended ok and is known by its identity or its label: its record
// waits (a moment at most) for the database to say whether it was flashed ok
// with this image before. True when the record now waits.
bool Station::askFlashedBefore(const QString &slot, const records::BoardRecord &record,
                               const flash::FlashResult &result)
{
    if (!forwarder_ || !record.isOk() || (record.board.isEmpty() && record.scanned.isEmpty()))
        return false;
    priorChecks_.insert(record.id, {slot, record, result});
    forwarder_->askPriorOk({record.id, record.board, record.scanned, sha256_});
    const QString id = record.id;
    QTimer::singleShot(config_.priorCheckMs, this, [this, id] {
        records::PriorOk late;
        late.question.ref = id;
        late.why = QStringLiteral("the database did not answer in %1 s")
                       .arg(config_.priorCheckMs / 1000.0);
        onPriorOk(late);
    });
    return true;
}

void Station::onPriorOk(const records::PriorOk &answer)
{
    if (!priorChecks_.contains(answer.question.ref))
        return; // answered already, or given up
    PriorCheck check = priorChecks_.take(answer.question.ref);
    records::FlashedBefore &before = check.record.flashedBefore;
    if (answer.kind == records::PriorOk::Found)
        before = {answer.station, answer.ended, {}};
    else if (answer.kind == records::PriorOk::CannotTell)
        before.unchecked = answer.why;
    auto slot = slots_.find(check.slot);
    if (slot != slots_.end() && slot->last.id == check.record.id) {
        slot->last.flashedBefore = before;
        noteChange(slot->name);
    }
    submitRecord(check.record);
}

// Records still waiting for an answer go to the writer as they are.
void Station::endPriorChecks(const QString &why)
{
    const QStringList ids = priorChecks_.keys();
    for (const QString &id : ids) {
        records::PriorOk unanswered;
        unanswered.question.ref = id;
        unanswered.why = why;
        onPriorOk(unanswered);
    }
}

} // namespace station
