#include "recordviews.h"

#include "records/journal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace recordstool {

namespace {

using Row = QStringList;

QString field(const QJsonObject &record, const char *key)
{
    const QJsonValue value = record.value(QLatin1String(key));
    return value.isDouble() ? QString::number(qint64(value.toDouble())) : value.toString();
}

QString usbSerial(const QJsonObject &record)
{
    return record.value(QLatin1String("usb")).toObject().value(QLatin1String("serial")).toString();
}

// Pads every column but the last to its widest cell, or joins with tabs.
void printRows(QTextStream &out, const QVector<Row> &rows, bool aligned)
{
    QVector<int> widths(rows.isEmpty() ? 0 : rows.first().size(), 0);
    for (const Row &row : rows)
        for (int i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], int(row[i].size()));
    for (const Row &row : rows) {
        QStringList cells;
        for (int i = 0; i < row.size(); ++i)
            cells.append(aligned && i + 1 < row.size() ? row[i].leftJustified(widths[i]) : row[i]);
        out << cells.join(aligned ? QStringLiteral("  ") : QStringLiteral("\t")) << '\n';
    }
}

QString csvCell(const QString &text)
{
    if (!text.contains(QRegularExpression(QStringLiteral("[\",\\r\\n]"))))
        return text;
    QString quoted = text;
    return '"' + quoted.replace('"', QStringLiteral("\"\"")) + '"';
}

const QStringList CsvColumns{"id",         "station", "seq",        "slot",   "label",
                             "usb_serial", "file",    "sha256",     "status", "message",
                             "started",    "ended",   "duration_ms"};

// Causes a terminal shows; the report shows more.
constexpr int FailureCausesShown = 5;

QString paceText(double boardsPerHour)
{
    return boardsPerHour < 0 ? QStringLiteral("-") : QString::number(boardsPerHour, 'f', 1);
}

QJsonValue numberOrNull(double value)
{
    return value < 0 ? QJsonValue() : QJsonValue(value);
}

} // namespace

QByteArray journalLine(const QJsonObject &record)
{
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}

void printRecordTable(QTextStream &out, const QVector<QJsonObject> &records, bool aligned)
{
    QVector<Row> rows{{"started", "station", "slot", "usb serial", "status", "duration", "id"}};
    for (const QJsonObject &record : records) {
        const QJsonValue duration = record.value(QLatin1String("duration_ms"));
        rows.append({field(record, "started"), field(record, "station"), field(record, "slot"),
                     usbSerial(record), field(record, "status"),
                     durationText(duration.isDouble() ? duration.toDouble() : -1),
                     records::recordId(record)});
    }
    printRows(out, rows, aligned);
}

void printCsvHeader(QTextStream &out)
{
    out << CsvColumns.join(',') << "\r\n";
}

void printCsvRow(QTextStream &out, const QJsonObject &record)
{
    QStringList cells;
    for (const QString &column : CsvColumns) {
        const QString value = column == "usb_serial" ? usbSerial(record)
                              : column == "id"       ? records::recordId(record)
                                                     : field(record, column.toLatin1().constData());
        cells.append(csvCell(value));
    }
    out << cells.join(',') << "\r\n";
}

void printSummaryTable(QTextStream &out, const records::Summary &summary, bool aligned)
{
    const bool pace = std::any_of(summary.groups.cbegin(), summary.groups.cend(),
                                  [](const auto &g) { return g.activeHours > 0; });
    QVector<Row> rows{{"group", "boards", "ok", "failed", "stopped", "yield", "median"}};
    if (pace)
        rows.first().append("boards/h");
    auto add = [&](const records::SummaryGroup &g) {
        rows.append({g.group, QString::number(g.boards), QString::number(g.ok),
                     QString::number(g.failed), QString::number(g.stopped), yieldText(g.yield()),
                     durationText(g.medianMs)});
        if (pace)
            rows.last().append(paceText(g.boardsPerHour()));
    };
    for (const records::SummaryGroup &group : summary.groups)
        add(group);
    add(summary.total);
    printRows(out, rows, aligned);
    if (summary.failures.isEmpty())
        return;
    out << "\nmost frequent failures:\n";
    for (int i = 0; i < summary.failures.size() && i < FailureCausesShown; ++i)
        out << QStringLiteral("%1  %2\n")
                   .arg(summary.failures[i].second, 6)
                   .arg(summary.failures[i].first);
}

void printSummaryJson(QTextStream &out, const records::Summary &summary)
{
    for (const records::SummaryGroup &g : summary.groups) {
        QJsonObject line{{"group", g.group},
                         {"boards", g.boards},
                         {"ok", g.ok},
                         {"failed", g.failed},
                         {"stopped", g.stopped},
                         {"yield", numberOrNull(g.yield())},
                         {"median_ms", numberOrNull(g.medianMs)}};
        if (g.activeHours > 0)
            line.insert("boards_per_hour", g.boardsPerHour());
        out << journalLine(line) << '\n';
    }
}

QString yieldText(double yield)
{
    return yield < 0 ? QStringLiteral("-") : QString::number(100.0 * yield, 'f', 1) + " %";
}

QString durationText(double milliseconds)
{
    return milliseconds < 0 ? QStringLiteral("-")
                            : QString::number(milliseconds / 1000.0, 'f', 1) + " s";
}

} // namespace recordstool
