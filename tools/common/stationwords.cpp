#include "stationwords.h"

namespace programs {

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
