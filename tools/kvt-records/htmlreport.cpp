#include "htmlreport.h"

#include "common/words.h"
#include "recordviews.h"

#include <algorithm>

namespace recordstool {

namespace {

const char *const Style = R"(
body { font-family: "DejaVu Sans", "Liberation Sans", sans-serif; margin: 24px 32px;
       color: #1d2530; background: #fff; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 16px; margin: 28px 0 8px; }
p.meta { color: #5a6472; margin: 0 0 16px; font-size: 13px; }
.totals { display: flex; gap: 28px; margin: 12px 0; }
.totals div { font-size: 13px; color: #5a6472; }
.totals b { display: block; font-size: 22px; color: #1d2530; }
table { border-collapse: collapse; font-size: 13px; min-width: 640px; }
th, td { padding: 4px 12px; border-bottom: 1px solid #e1e5ea; text-align: right; }
th { background: #f3f5f8; }
td:first-child, th:first-child { text-align: left; }
td.bad { color: #b3261e; font-weight: bold; }
tr.total td, tr.total th { font-weight: bold; background: #f3f5f8; }
p.legend { font-size: 13px; color: #5a6472; margin: 4px 0 0; }
p.legend b { color: #b3261e; }
td.more { color: #5a6472; font-style: italic; }
td.text, th.text { text-align: left; }
svg text { font-family: "DejaVu Sans", sans-serif; font-size: 11px; fill: #5a6472; }
)";

// Below this yield a group is shown in red.
constexpr double PoorYield = 0.95;
// Rows of the long lists; the rest are counted in a "+N more" row.
constexpr int SlotsShown = 12;
constexpr int CausesShown = 10;

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString yieldCell(double yield)
{
    const bool poor = yield >= 0 && yield < PoorYield;
    return (poor ? QStringLiteral("<td class=bad>") : QStringLiteral("<td>")) + yieldText(yield) +
           "</td>";
}

QString paceCell(const records::SummaryGroup &g)
{
    const double pace = g.boardsPerHour();
    return "<td>" + (pace < 0 ? QStringLiteral("-") : QString::number(pace, 'f', 1)) + "</td>";
}

// `pace`: the group is a station, with its boards per hour.
QString groupRow(const records::SummaryGroup &g, bool pace, bool total = false)
{
    const QString tag = total ? QStringLiteral("th") : QStringLiteral("td");
    return QStringLiteral("<tr%1><%2>%3</%2><td>%4</td><td>%5</td><td>%6</td><td>%7</td>%8<td>"
                          "%9</td>%10</tr>\n")
        .arg(total ? QStringLiteral(" class=total") : QString(), tag, escaped(g.group))
        .arg(g.boards)
        .arg(g.ok)
        .arg(g.failed)
        .arg(g.stopped)
        .arg(yieldCell(g.yield()), programs::durationText(qint64(g.medianMs)),
             pace ? (total ? QStringLiteral("<td></td>") : paceCell(g)) : QString());
}

QString tableHead(const QString &firstColumn, bool pace)
{
    return QStringLiteral("<table><tr><th>%1</th><th>boards</th><th>ok</th><th>failed</th>"
                          "<th>stopped</th><th>yield</th><th>median time</th>%2</tr>\n")
        .arg(firstColumn, pace ? QStringLiteral("<th>boards per hour</th>") : QString());
}

// "+N more ...", spanning the table.
QString moreRow(qint64 more, const QString &what, int columns)
{
    if (more <= 0)
        return QString();
    return QStringLiteral("<tr><td class=more colspan=%1>+%2 more %3</td></tr>\n")
        .arg(columns)
        .arg(more)
        .arg(what);
}

QString groupTable(const records::Summary &summary, const QString &firstColumn, bool pace = false)
{
    QString html = tableHead(firstColumn, pace);
    for (const records::SummaryGroup &group : summary.groups)
        html += groupRow(group, pace);
    return html + groupRow(summary.total, pace, true) + "</table>\n";
}

QString releaseLegend()
{
    return QStringLiteral("<p class=legend><b>Not released</b>: boards flashed while their image "
                          "was not released: before its release, after its withdrawal, or never "
                          "released (kvt-records release).</p>\n");
}

QString unreleasedCell(qint64 boards)
{
    return boards > 0 ? QStringLiteral("<td class=bad>%1 &#9888;</td>").arg(boards)
                      : QStringLiteral("<td>0</td>");
}

// With the boards flashed while their image was not released, when the
// database keeps releases.
QString imageTable(const records::Summary &byImage)
{
    const QString first = QStringLiteral("image: the file names it went by, its SHA-256");
    if (byImage.total.unreleased < 0)
        return groupTable(byImage, first);
    QString html =
        tableHead(first, false)
            .replace(QStringLiteral("</tr>\n"), QStringLiteral("<th>not released</th></tr>\n"));
    const auto row = [](const records::SummaryGroup &group, bool total) {
        return groupRow(group, false, total)
            .replace(QStringLiteral("</tr>\n"), unreleasedCell(group.unreleased) + "</tr>\n");
    };
    for (const records::SummaryGroup &group : byImage.groups)
        html += row(group, false);
    html += row(byImage.total, true);
    return html + "</table>\n" + releaseLegend();
}

// Worst first: a worn pogo pin or cable is one slot whose yield falls while
// its station's holds.
QString slotTable(const records::Summary &bySlot)
{
    QVector<records::SummaryGroup> worst = bySlot.groups;
    std::stable_sort(worst.begin(), worst.end(), [](const auto &a, const auto &b) {
        const double ya = a.yield() < 0 ? 2 : a.yield(), yb = b.yield() < 0 ? 2 : b.yield();
        return ya < yb || (ya == yb && a.failed > b.failed);
    });
    QString html = tableHead(QStringLiteral("station and slot (worst first)"), false);
    for (int i = 0; i < worst.size() && i < SlotsShown; ++i)
        html += groupRow(worst[i], false);
    return html + moreRow(worst.size() - SlotsShown, QStringLiteral("slots"), 7) + "</table>\n";
}

QString failureTable(const records::Summary &summary)
{
    if (summary.failures.isEmpty())
        return QStringLiteral("<p>No board failed.</p>\n");
    QString html =
        QStringLiteral("<table><tr><th>cause (N: any number)</th><th>boards</th></tr>\n");
    for (int i = 0; i < summary.failures.size() && i < CausesShown; ++i)
        html += QStringLiteral("<tr><td>%1</td><td>%2</td></tr>\n")
                    .arg(escaped(summary.failures[i].first))
                    .arg(summary.failures[i].second);
    return html + moreRow(summary.failures.size() - CausesShown, QStringLiteral("causes"), 2) +
           "</table>\n";
}

// The slot as the station's screens call it.
QString slotName(const records::BoardRecord &record, const records::SlotNames &shortNames)
{
    if (!record.label.isEmpty())
        return record.label;
    return shortNames.value(record.station).value(record.slot, record.slot);
}

QString failedBoardRow(const records::BoardRecord &record, const records::SlotNames &shortNames)
{
    const QString started = QString(record.started).left(16).replace('T', ' ');
    const QString message = record.message.isEmpty() ? record.status : record.message;
    return QStringLiteral("<tr><td>%1</td><td class=text>%2</td><td class=text>%3</td>"
                          "<td class=text>%4</td><td class=text>%5</td></tr>\n")
        .arg(escaped(started), escaped(record.station), escaped(slotName(record, shortNames)),
             escaped(record.usb.serial), escaped(message));
}

QString failedBoardsTable(const ReportContents &contents)
{
    if (contents.failedBoards.isEmpty())
        return QStringLiteral("<p>No board failed.</p>\n");
    QString html = QStringLiteral("<table><tr><th>started (UTC)</th><th class=text>station</th>"
                                  "<th class=text>slot</th><th class=text>USB serial</th>"
                                  "<th class=text>message</th></tr>\n");
    for (const records::BoardRecord &record : contents.failedBoards)
        html += failedBoardRow(record, contents.bySlot.shortSlotNames);
    const qint64 more = contents.byDay.total.failed - contents.failedBoards.size();
    return html + moreRow(more, QStringLiteral("failed boards"), 5) + "</table>\n";
}

QString totals(const records::SummaryGroup &total)
{
    const auto box = [](const QString &name, const QString &value) {
        return QStringLiteral("<div><b>%1</b>%2</div>").arg(value, name);
    };
    return "<div class=totals>" + box("boards", QString::number(total.boards)) +
           box("ok", QString::number(total.ok)) + box("failed", QString::number(total.failed)) +
           box("stopped", QString::number(total.stopped)) + box("yield", yieldText(total.yield())) +
           box("median time (ok)", programs::durationText(qint64(total.medianMs))) + "</div>\n";
}

QString legend()
{
    return QStringLiteral("<p class=legend><b>Red</b>: yield below %1 %. Yield = ok / (ok + "
                          "failed); boards the station stopped count for neither. Median time: "
                          "of the boards that ended ok.</p>\n")
        .arg(int(PoorYield * 100));
}

// Horizontal guides at these yields, in percent.
const int Guides[] = {0, 50, 90, 100};

QString chartGuides(int left, int top, int plotWidth, int plotHeight)
{
    QString svg;
    for (int percent : Guides) {
        const int y = top + plotHeight - plotHeight * percent / 100;
        svg += QStringLiteral("<line x1='%1' y1='%2' x2='%3' y2='%2' stroke='#d5dae0'/>"
                              "<text x='%4' y='%5' text-anchor='end'>%6 %</text>\n")
                   .arg(left)
                   .arg(y)
                   .arg(left + plotWidth)
                   .arg(left - 6)
                   .arg(y + 4)
                   .arg(percent);
    }
    return svg;
}

QString chartBar(const records::SummaryGroup &day, double x, double width, int top, int height,
                 bool label)
{
    const double yield = day.yield();
    const double barHeight = yield < 0 ? 0 : height * yield;
    const QString colour = yield >= PoorYield ? "#2e7d4f" : "#c0392b";
    QString svg = QStringLiteral("<rect x='%1' y='%2' width='%3' height='%4' fill='%5'>"
                                 "<title>%6: %7 of %8 boards</title></rect>\n")
                      .arg(x, 0, 'f', 1)
                      .arg(top + height - barHeight, 0, 'f', 1)
                      .arg(width, 0, 'f', 1)
                      .arg(barHeight, 0, 'f', 1)
                      .arg(colour, escaped(day.group), yieldText(yield))
                      .arg(day.boards);
    if (label)
        svg += QStringLiteral("<text x='%1' y='%2' text-anchor='middle'>%3</text>\n")
                   .arg(x + width / 2, 0, 'f', 1)
                   .arg(top + height + 16)
                   .arg(escaped(day.group.mid(5))); // "12-07"
    return svg;
}

} // namespace

QString yieldChartSvg(const records::Summary &byDay, int width, int height)
{
    const int left = 48, top = 10, bottom = 26, right = 10;
    const int plotWidth = width - left - right, plotHeight = height - top - bottom;
    QString svg = QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' width='%1' height='%2' "
                                 "role='img' aria-label='yield per day'>\n")
                      .arg(width)
                      .arg(height);
    svg += chartGuides(left, top, plotWidth, plotHeight);
    const int days = byDay.groups.size();
    const double slot = days > 0 ? double(plotWidth) / days : plotWidth;
    // A label every few bars keeps them from overlapping.
    const int labelEvery = qMax(1, int(48 / slot) + 1);
    for (int i = 0; i < days; ++i)
        svg += chartBar(byDay.groups[i], left + i * slot + slot * 0.15, slot * 0.7, top, plotHeight,
                        i % labelEvery == 0);
    return svg + "</svg>\n";
}

QString htmlReport(const ReportContents &contents)
{
    QString html = QStringLiteral("<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
                                  "<title>Flashing report</title><style>%1</style></head><body>\n")
                       .arg(QLatin1String(Style));
    html += QStringLiteral("<h1>Flashing report</h1><p class=meta>%1 &middot; %2 &middot; made "
                           "%3</p>\n")
                .arg(escaped(contents.range), escaped(contents.database), escaped(contents.made));
    html += totals(contents.byDay.total) + legend();
    html += "<h2>Yield per day (UTC)</h2>\n" + yieldChartSvg(contents.byDay, 1000, 240);
    html += "<h2>Per station</h2>\n" + groupTable(contents.byStation, "station", true);
    html += "<h2>Per slot</h2>\n" + slotTable(contents.bySlot);
    html += "<h2>Failure causes, most frequent first</h2>\n" + failureTable(contents.byDay);
    html += "<h2>Failed boards, newest first</h2>\n" + failedBoardsTable(contents);
    html += "<h2>Per image</h2>\n" + imageTable(contents.byImage);
    return html + "</body></html>\n";
}

} // namespace recordstool
