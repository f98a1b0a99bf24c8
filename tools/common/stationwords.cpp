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

namespace {

bool isSeparator(QChar c)
{
    return c == QLatin1Char('-') || c == QLatin1Char(':') || c == QLatin1Char('_') ||
           c == QLatin1Char('/');
}

} // namespace

QHash<QString, QString> shortNames(const QStringList &names)
{
    QHash<QString, QString> labels;
    int prefix = names.size() < 2 ? 0 : int(names.first().size());
    int suffix = prefix;
    for (const QString &name : names) {
        const QString &first = names.first();
        int p = 0;
        while (p < prefix && p < name.size() && name[p] == first[p])
            ++p;
        int s = 0;
        while (s < suffix && s < name.size() && s < first.size() &&
               name[name.size() - 1 - s] == first[first.size() - 1 - s])
            ++s;
        prefix = p;
        suffix = s;
    }
    for (const QString &name : names) {
        int from = prefix;
        while (from > 0 && !isSeparator(name[from - 1]))
            --from; // never cut inside a part
        int to = name.size() - suffix;
        while (to < name.size() && !isSeparator(name[to]))
            ++to;
        const QString middle = to > from ? name.mid(from, to - from) : QString();
        labels.insert(name, middle.isEmpty() ? name : middle);
    }
    return labels;
}

} // namespace programs
