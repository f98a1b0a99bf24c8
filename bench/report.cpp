#include "report.h"

#include <algorithm>
#include <cstdio>

namespace bench {

void print(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void Report::heading(const QString &title)
{
    print(QString());
    print(QStringLiteral("== ") + title);
}

void Report::detail(const QString &text)
{
    print(QStringLiteral("   ") + text);
}

void Report::figure(const QString &name, double value, double limit, const QString &unit,
                    int decimals)
{
    const bool met = value <= limit;
    Row row{name, QString::number(value, 'f', decimals) + unit,
            QStringLiteral("<= ") + QString::number(limit, 'g', 6) + unit,
            met ? QStringLiteral("met") : QStringLiteral("MISSED")};
    print(
        QStringLiteral(" * %1: %2   goal %3   %4").arg(row.name, row.value, row.goal, row.verdict));
    rows_.append(row);
}

void Report::failure(const QString &name, const QString &why)
{
    ++failures_;
    print(QStringLiteral(" ! %1: could not be measured: %2").arg(name, why));
    rows_.append({name, QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("NOT RUN")});
}

int Report::missedCount() const
{
    return int(std::count_if(rows_.cbegin(), rows_.cend(), [](const Row &row) {
        return row.verdict == QLatin1String("MISSED");
    }));
}

void Report::summary() const
{
    int widths[3] = {6, 5, 4};
    for (const Row &row : rows_) {
        widths[0] = std::max(widths[0], int(row.name.size()));
        widths[1] = std::max(widths[1], int(row.value.size()));
        widths[2] = std::max(widths[2], int(row.goal.size()));
    }
    auto line = [&](const QString &a, const QString &b, const QString &c, const QString &d) {
        print(QStringLiteral("%1  %2  %3  %4")
                  .arg(a, -widths[0])
                  .arg(b, widths[1])
                  .arg(c, -widths[2])
                  .arg(d));
    };
    print(QString());
    print(QStringLiteral("== Summary"));
    line(QStringLiteral("figure"), QStringLiteral("value"), QStringLiteral("goal"),
         QStringLiteral("verdict"));
    for (const Row &row : rows_)
        line(row.name, row.value, row.goal, row.verdict);
    print(QStringLiteral("%1 figure(s), %2 goal(s) missed, %3 not measured")
              .arg(rows_.size())
              .arg(missedCount())
              .arg(failures_));
}

} // namespace bench
