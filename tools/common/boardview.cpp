#include "boardview.h"

#include "flash/uploadtext.h"
#include "words.h"

namespace programs {

using flash::FlashResult;
using station::Slot;
using ymodem::UploadPhase;

namespace {

BoardView viewOf(const QString &word, Tone tone, const QString &detail = {},
                 const QString &nextStep = {})
{
    BoardView view;
    view.word = word;
    view.tone = tone;
    view.detail = detail;
    view.nextStep = nextStep;
    return view;
}

BoardView waiting(const Slot &slot)
{
    switch (slot.waiting) {
    case Slot::Waiting::No:
        return viewOf(QStringLiteral("waiting"), Tone::Waiting, QStringLiteral("about to start"));
    case Slot::Waiting::Paused:
        return viewOf(QStringLiteral("paused"), Tone::Attention,
                      QStringLiteral("the station is paused"),
                      QStringLiteral("resume the station to flash it"));
    case Slot::Waiting::Held:
        return viewOf(QStringLiteral("held"), Tone::Attention, slot.skipped,
                      QStringLiteral("it starts once the record can be written"));
    case Slot::Waiting::Withdrawn:
        return viewOf(QStringLiteral("held"), Tone::Attention, slot.skipped,
                      QStringLiteral("flash only a released image: stop the station"));
    case Slot::Waiting::NeedsScan:
        return viewOf(QStringLiteral("waiting"), Tone::Attention,
                      QStringLiteral("not flashed before its label is scanned"),
                      QStringLiteral("scan the board's label"));
    case Slot::Waiting::InUse:
        return viewOf(QStringLiteral("skipped"), Tone::Attention, slot.skipped,
                      QStringLiteral("close the program that holds the port, then plug the "
                                     "board again"));
    case Slot::Waiting::WrongAdapter:
    case Slot::Waiting::NotSerial:
    case Slot::Waiting::Twin:
        break;
    }
    return viewOf(QStringLiteral("skipped"), Tone::Attention, slot.skipped);
}

// How far the upload is, in the words of its phase.
QString progressDetail(const flash::UploadProgress &progress, const StationContext &context)
{
    switch (progress.phase) {
    case UploadPhase::NotStarted:
        return QStringLiteral("opening the port");
    case UploadPhase::Closing:
        if (progress.awaitingBoot)
            return QStringLiteral("waiting for the new firmware to start: %1 of %2")
                .arg(durationText(progress.elapsedMs - progress.phaseStartMs),
                     durationText(context.bootWithinMs));
        break;
    case UploadPhase::FirstCommand:
    case UploadPhase::FirstPause:
    case UploadPhase::SecondCommand:
    case UploadPhase::SecondPause:
        return QStringLiteral("restarting the device into its bootloader");
    case UploadPhase::WaitReceiver:
        return QStringLiteral("waiting for the bootloader: %1 of %2")
            .arg(durationText(progress.elapsedMs - progress.phaseStartMs),
                 durationText(context.receiverLimitMs));
    default:
        break;
    }
    return QStringLiteral("%1 % · %2")
        .arg(progress.percent())
        .arg(uploadtext::phaseName(progress.phase));
}

BoardView flashing(const Slot &slot, const StationContext &context)
{
    BoardView view =
        viewOf(QStringLiteral("flashing"), Tone::Flashing, progressDetail(slot.progress, context));
    view.percent = slot.progress.percent();
    view.speed = speedText(slot.progress.bytesPerSecond());
    view.duration = durationText(slot.progress.elapsedMs);
    return view;
}

// What to do about a board that failed, from what happened to it and to the
// others: a device that refuses an image the other boards took is that
// board's problem, not the image's.
QString nextStep(FlashResult::Outcome outcome, const StationContext &context)
{
    switch (outcome) {
    case FlashResult::Outcome::Succeeded:
        break;
    case FlashResult::Outcome::TimedOut:
        return QStringLiteral("check the cable and the board's power, then plug it again");
    case FlashResult::Outcome::Refused:
    case FlashResult::Outcome::Cancelled:
        return context.okBoards > 0
                   ? QStringLiteral("set the board aside, or plug it again once")
                   : QStringLiteral("the device refused the image: check the image");
    case FlashResult::Outcome::OpenFailed:
        return QStringLiteral("the port cannot be used: see why, then plug the board again");
    case FlashResult::Outcome::PortFailed:
        return QStringLiteral("check the cable, then plug the board again");
    case FlashResult::Outcome::Unplugged:
        return QStringLiteral("re-seat the board and plug it again");
    case FlashResult::Outcome::Stopped:
        return QStringLiteral("plug the board again to flash it");
    case FlashResult::Outcome::NoBoot:
        return QStringLiteral("set the board aside: the image did not start on it");
    case FlashResult::Outcome::Mismatch:
        return QStringLiteral("set the board aside: its label is not the board's");
    }
    return {};
}

QString resultDetail(const FlashResult &result)
{
    if (result.resends <= 0)
        return result.message;
    return QStringLiteral("%1 (%2 sent again)")
        .arg(result.message, result.resends == 1 ? QStringLiteral("1 frame")
                                                 : QStringLiteral("%1 frames").arg(result.resends));
}

// A board flashed ok before with this image: where and when, for the
// operator to wonder why it came back; or why that could not be asked.
QString flashedBeforeText(const records::FlashedBefore &before)
{
    if (before.found())
        return QStringLiteral("flashed ok before: %1, %2")
            .arg(before.station, records::minuteOf(before.ended));
    if (!before.unchecked.isEmpty())
        return QStringLiteral("not checked whether flashed before: ") + before.unchecked;
    return {};
}

BoardView ended(const Slot &slot, const StationContext &context)
{
    const FlashResult &result = slot.lastResult;
    BoardView view;
    view.detail = resultDetail(result);
    view.duration = durationText(result.durationMs);
    if (!result.bootLine.isEmpty())
        view.proof =
            QStringLiteral("started in %1: %2").arg(durationText(result.bootMs), result.bootLine);
    const QString before = flashedBeforeText(slot.last.flashedBefore);
    if (!before.isEmpty())
        view.detail = before;
    if (!slot.lastRecorded) {
        view.word = QStringLiteral("not recorded");
        view.tone = Tone::Attention;
        view.nextStep = QStringLiteral("it counts once its record is written");
    } else if (result.succeeded()) {
        view.word = QStringLiteral("ok");
        view.tone = Tone::Ok;
    } else {
        const bool stopped = result.outcome == FlashResult::Outcome::Stopped;
        view.word = stopped ? QStringLiteral("stopped") : QStringLiteral("failed");
        view.tone = stopped ? Tone::Attention : Tone::Failed;
        view.nextStep = nextStep(result.outcome, context);
    }
    return view;
}

BoardView unplugged(const Slot &slot)
{
    BoardView view = viewOf(QStringLiteral("unplugged"), Tone::Empty);
    if (!slot.last.status.isEmpty())
        view.detail = QStringLiteral("last board: %1 after %2")
                          .arg(slot.last.status, durationText(slot.lastResult.durationMs));
    return view;
}

// Who the board is: the label scanned from it, what it said of itself, and
// the adapter it is on.
QString whoText(const Slot &slot)
{
    QStringList parts;
    if (!slot.scanned.isEmpty())
        parts.append(QStringLiteral("label ") + slot.scanned);
    const QString board = slot.state == Slot::State::Done ? slot.lastResult.board : QString();
    if (!board.isEmpty() && board.compare(slot.scanned, Qt::CaseInsensitive) != 0)
        parts.append(QStringLiteral("board ") + board);
    parts.append(slot.usb.serial.isEmpty() ? slot.device : QStringLiteral("SN ") + slot.usb.serial);
    return parts.join(QStringLiteral(" · "));
}

} // namespace

StationContext contextOf(const station::Station &station)
{
    return {station.counts().ok, station.config().upload.timing.receiverLimit,
            station.config().boot.withinMs, station.recordError()};
}

BoardView present(const Slot &slot, const StationContext &context)
{
    BoardView view;
    switch (slot.state) {
    case Slot::State::Settling:
        view = waiting(slot);
        break;
    case Slot::State::Flashing:
        view = flashing(slot, context);
        break;
    case Slot::State::Done:
        view = ended(slot, context);
        break;
    case Slot::State::Empty:
        return unplugged(slot);
    }
    view.who = whoText(slot);
    return view;
}

QString countsText(const station::StationCounts &counts)
{
    QString text = QStringLiteral("ok %1 · failed %2").arg(counts.ok).arg(counts.failed);
    if (counts.stopped > 0)
        text += QStringLiteral(" · stopped %1").arg(counts.stopped);
    if (counts.notRecorded > 0)
        text += QStringLiteral(" · not recorded %1").arg(counts.notRecorded);
    if (counts.yieldPercent() >= 0)
        text += QStringLiteral(" · yield %1 %").arg(counts.yieldPercent(), 0, 'f', 1);
    if (counts.boardsPerHour() > 0)
        text += QStringLiteral(" · %1 boards/h").arg(counts.boardsPerHour(), 0, 'f', 0);
    return text;
}

} // namespace programs
