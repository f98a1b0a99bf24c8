#include "kvt-flash/stationscreen.h"

#include "flash/outcomes.h"
#include "flash/uploadtext.h"
#include "station/slotlabels.h"

#include <algorithm>

namespace station {

namespace {

QString fit(const QString &text, int width)
{
    return text.size() <= width ? text : text.left(qMax(0, width - 1)) + QChar(0x2026);
}

QString stateWord(const Slot &slot)
{
    switch (slot.state) {
    case Slot::State::Settling:
        if (slot.waiting == Slot::Waiting::Held)
            return QStringLiteral("held");
        return slot.waiting == Slot::Waiting::No ? QStringLiteral("waiting")
                                                 : QStringLiteral("skipped");
    case Slot::State::Flashing:
        return QStringLiteral("flashing");
    case Slot::State::Done:
        // Until its record is on the disk, a board is nobody's to trace.
        if (!slot.lastRecorded)
            return QStringLiteral("unrecorded");
        return slot.lastOk ? QStringLiteral("ok") : QStringLiteral("FAILED");
    case Slot::State::Empty:
        break;
    }
    return QStringLiteral("empty");
}

// What needs the operator first: failed boards, then the ones in flight,
// waiting, not yet recorded, done, and empty slots last.
int urgency(const Slot &slot)
{
    switch (slot.state) {
    case Slot::State::Done:
        return !slot.lastOk ? 0 : !slot.lastRecorded ? 3 : 4;
    case Slot::State::Flashing:
        return 1;
    case Slot::State::Settling:
        return 2;
    case Slot::State::Empty:
        break;
    }
    return 5;
}

QString detailOf(const Slot &slot)
{
    if (slot.state == Slot::State::Flashing) {
        const flash::UploadProgress &progress = slot.progress;
        QString text = QStringLiteral("%1% %2")
                           .arg(progress.percent(), 3)
                           .arg(uploadtext::phaseName(progress.phase));
        if (progress.bytesPerSecond() > 0)
            text += QStringLiteral(" %1 KiB/s").arg(progress.bytesPerSecond() / 1024, 0, 'f', 1);
        return text;
    }
    if (!slot.skipped.isEmpty())
        return slot.skipped;
    if (slot.last.isEmpty())
        return {};
    // A failed board's line starts with what to do about it.
    const QString next = slot.lastOk ? QString() : flash::nextStep(slot.lastResult.outcome);
    return QStringLiteral("%1%2 (%3 s)")
        .arg(next.isEmpty() ? QString() : next + QStringLiteral(": "), slot.lastResult.message)
        .arg(slot.lastResult.durationMs / 1000.0, 0, 'f', 1);
}

QString slotLine(const Slot &slot, int labelWidth, int columns)
{
    QString line = slot.label.leftJustified(labelWidth) + QLatin1Char(' ') +
                   stateWord(slot).leftJustified(11) + detailOf(slot);
    if (slot.state != Slot::State::Empty)
        line += QStringLiteral("  ") + (slot.usb.serial.isEmpty() ? slot.device : slot.usb.serial);
    return fit(line, columns - 1);
}

} // namespace

QStringList stationScreen(const Station &station, const QStringList &header, ScreenSize size)
{
    QStringList lines;
    for (const QString &line : header)
        lines.append(fit(line, size.columns - 1));
    QVector<const Slot *> order;
    for (const Slot &slot : station.slotStates())
        order.append(&slot);
    std::sort(order.begin(), order.end(), [](const Slot *a, const Slot *b) {
        return urgency(*a) != urgency(*b) ? urgency(*a) < urgency(*b)
                                          : slotNameBefore(a->name, b->name);
    });
    int labelWidth = 4;
    for (const Slot &slot : station.slotStates())
        labelWidth = qMax(labelWidth, int(slot.label.size()));
    const int room = size.rows > 0 ? size.rows - int(lines.size()) : int(order.size());
    const int shown = order.size() <= room ? int(order.size()) : qMax(0, room - 1);
    for (int i = 0; i < shown; ++i)
        lines.append(slotLine(*order[i], labelWidth, size.columns));
    if (shown < order.size())
        lines.append(QStringLiteral("+%1 more").arg(order.size() - shown));
    return lines;
}

} // namespace station
