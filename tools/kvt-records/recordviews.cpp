#include "recordviews.h"

#include "common/words.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <functional>

namespace recordstool {

namespace {

using Row = QStringList;

QString number(qint64 value)
{
    return value < 0 ? QString() : QString::number(value);
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

// The CSV's columns and where each comes from.
const QVector<QPair<QString, std::function<QString(const records::BoardRecord &)>>> CsvColumns{
    {"id", [](const records::BoardRecord &r) { return r.identity(); }},
    {"station", [](const records::BoardRecord &r) { return r.station; }},
    {"seq", [](const records::BoardRecord &r) { return number(r.seq); }},
    {"slot", [](const records::BoardRecord &r) { return r.slot; }},
    {"label", [](const records::BoardRecord &r) { return r.label; }},
    {"usb_serial", [](const records::BoardRecord &r) { return r.usb.serial; }},
    {"file", [](const records::BoardRecord &r) { return r.file; }},
    {"sha256", [](const records::BoardRecord &r) { return r.sha256; }},
    {"status", [](const records::BoardRecord &r) { return r.status; }},
    {"message", [](const records::BoardRecord &r) { return r.message; }},
    {"started", [](const records::BoardRecord &r) { return r.started; }},
    {"ended", [](const records::BoardRecord &r) { return r.ended; }},
    {"duration_ms", [](const records::BoardRecord &r) { return number(r.durationMs); }},
};

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

void printRecordTable(QTextStream &out, const QVector<records::BoardRecord> &records, bool aligned)
{
    QVector<Row> rows{
        {"started", "station", "slot", "usb serial", "board", "status", "duration", "id"}};
    for (const records::BoardRecord &record : records)
        rows.append({record.started, record.station, record.slot, record.usb.serial,
                     record.board.isEmpty() ? record.scanned : record.board, record.status,
                     programs::durationText(record.durationMs), record.identity()});
    printRows(out, rows, aligned);
}

void printCsvHeader(QTextStream &out)
{
    QStringList names;
    for (const auto &column : CsvColumns)
        names.append(column.first);
    out << names.join(',') << "\r\n";
}

void printCsvRow(QTextStream &out, const records::BoardRecord &record)
{
    QStringList cells;
    for (const auto &column : CsvColumns)
        cells.append(csvCell(column.second(record)));
    out << cells.join(',') << "\r\n";
}

void printSummaryTable(QTextStream &out, const records::Summary &summary, bool aligned)
{
    const bool pace = std::any_of(summary.groups.cbegin(), summary.groups.cend(),
                                  [](const auto &g) { return g.activeHours > 0; });
    const bool releases = summary.total.unreleased >= 0;
    QVector<Row> rows{{"group", "boards", "ok", "failed", "stopped", "yield", "median"}};
    if (pace)
        rows.first().append("boards/h");
    if (releases)
        rows.first().append("unreleased");
    auto add = [&](const records::SummaryGroup &g) {
        rows.append({g.group, QString::number(g.boards), QString::number(g.ok),
                     QString::number(g.failed), QString::number(g.stopped), yieldText(g.yield()),
                     programs::durationText(qint64(g.medianMs))});
        if (pace)
            rows.last().append(paceText(g.boardsPerHour()));
        if (releases)
            rows.last().append(QString::number(g.unreleased) + (g.unreleased > 0 ? " !" : ""));
    };
    for (const records::SummaryGroup &group : summary.groups)
        add(group);
    add(summary.total);
    printRows(out, rows, aligned);
    if (releases)
        out << "\nunreleased: boards flashed while their image was not released (before its "
               "release, after its withdrawal, or never released); ! marks them\n";
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
        if (g.unreleased >= 0)
            line.insert("unreleased", g.unreleased);
        out << QJsonDocument(line).toJson(QJsonDocument::Compact) << '\n';
    }
}

void printReleaseTable(QTextStream &out, const QVector<records::ImageRelease> &releases,
                       bool aligned)
{
    QVector<Row> rows{{"released", "by", "file", "bytes", "sha256", "state", "note"}};
    for (const records::ImageRelease &r : releases)
        rows.append({r.released, r.releasedBy, r.file, number(r.bytes), r.sha256.left(16),
                     r.isWithdrawn() ? "WITHDRAWN " + r.withdrawn + " by " + r.withdrawnBy
                                     : QStringLiteral("released"),
                     r.note});
    printRows(out, rows, aligned);
}

void printReleasesJson(QTextStream &out, const QVector<records::ImageRelease> &releases)
{
    for (const records::ImageRelease &release : releases)
        out << QJsonDocument(release.toJson()).toJson(QJsonDocument::Compact) << '\n';
}

QString yieldText(double yield)
{
    return yield < 0 ? QStringLiteral("-") : QString::number(100.0 * yield, 'f', 1) + " %";
}

} // namespace recordstool
