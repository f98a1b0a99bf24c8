// The labels scanned at the fixture: a barcode scanner types a code; the
// station gives it to a board, and holds the board to it when the board says
// who it is.

#include "station.h"

namespace station {

using Waiting = Slot::Waiting;

void Station::scan(const QString &typed)
{
    const QString code = typed.trimmed();
    if (code.isEmpty())
        return;
    const QString labelled = slotByLabel(code);
    if (!labelled.isEmpty() && armedSlot_.isEmpty()) {
        armedSlot_ = labelled; // the next code is that slot's board's
        noteChange();
        emit scanned(code, QString());
        return;
    }
    if (!armedSlot_.isEmpty()) {
        const QString slot = armedSlot_;
        armedSlot_.clear();
        giveCode(code, slot);
        return;
    }
    if (const QString waiting = longestWaitingForCode(); !waiting.isEmpty()) {
        giveCode(code, waiting);
        return;
    }
    waitingCode_ = code;
    noteChange();
    emit scanned(code, QString());
}

// A board plugged without a code and held for one takes the next code: the
// operator scans the board that the screen asks for.
QString Station::longestWaitingForCode()
{
    while (!awaitingCode_.isEmpty()) {
        const QString name = awaitingCode_.takeFirst();
        const auto slot = slots_.constFind(name);
        if (slot != slots_.cend() && slot->state == Slot::State::Settling &&
            slot->waiting == Waiting::NeedsScan)
            return name;
    }
    return {};
}

QString Station::slotByLabel(const QString &label) const
{
    for (const Slot &slot : slots_)
        if (slot.label == label)
            return slot.name;
    for (auto it = config_.labels.cbegin(); it != config_.labels.cend(); ++it)
        if (it.value() == label)
            return it.key();
    return {};
}

// A board plugged in the slot gets the code now; an empty slot, or one whose
// board has ended, keeps it for the next board plugged there.
void Station::giveCode(const QString &code, const QString &slotName)
{
    auto slot = slots_.find(slotName);
    const bool present = slot != slots_.end() && (slot->state == Slot::State::Settling ||
                                                  slot->state == Slot::State::Flashing);
    if (!present) {
        nextCodes_.insert(slotName, code);
        noteChange();
        emit scanned(code, slotName);
        return;
    }
    slot->scanned = code;
    noteChange(slotName);
    emit scanned(code, slotName);
    if (slot->waiting == Waiting::NeedsScan)
        resumeWaiting(Waiting::NeedsScan, slotName);
}

// At the plug: the code scanned for this slot, or the one waiting for the
// next board.
void Station::takeWaitingCode(Slot &slot)
{
    slot.scanned = nextCodes_.take(slot.name);
    if (slot.scanned.isEmpty()) {
        slot.scanned = waitingCode_;
        waitingCode_.clear();
    }
}

// A board that said who it is, whose label names another: the board is not
// the one its label belongs to, a mix-up to find at the fixture.
void Station::checkLabel(flash::FlashResult &result, const QString &scanned) const
{
    if (!result.succeeded() || result.board.isEmpty() || scanned.isEmpty() ||
        result.board.compare(scanned, Qt::CaseInsensitive) == 0)
        return;
    result.outcome = flash::FlashResult::Outcome::Mismatch;
    result.message =
        QStringLiteral("the label says %1, the board says %2").arg(scanned, result.board);
}

} // namespace station
