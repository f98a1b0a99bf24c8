#include "htmlreport.h"

#include "recordviews.h"

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
svg text { font-family: "DejaVu Sans", sans-serif; font-size: 11px; fill: #5a6472; }
)";

// Below this yield a group is shown in red.
constexpr double PoorYield = 0.95;

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString groupRow(const records::SummaryGroup &g, bool total = false)
{
    const QString tag = total ? QStringLiteral("th") : QStringLiteral("td");
    const double yield = g.yield();
    const QString yieldCell =
        yield >= 0 && yield < PoorYield ? QStringLiteral("<td class=bad>") : QStringLiteral("<td>");
    return QStringLiteral("<tr%1><%2>%3</%2><td>%4</td><td>%5</td><td>%6</td><td>%7</td>%8%9</td>"
                          "<td>%10</td></tr>\n")
        .arg(total ? QStringLiteral(" class=total") : QString(), tag, escaped(g.group))
        .arg(g.boards)
        .arg(g.ok)
        .arg(g.failed)
        .arg(g.stopped)
        .arg(yieldCell, yieldText(yield), durationText(g.medianMs));
}

QString groupTable(const records::Summary &summary, const QString &firstColumn)
{
    QString html = QStringLiteral("<table><tr><th>%1</th><th>boards</th><th>ok</th><th>failed</th>"
                                  "<th>stopped</th><th>yield</th><th>median time</th></tr>\n")
                       .arg(firstColumn);
    for (const records::SummaryGroup &group : summary.groups)
        html += groupRow(group);
    return html + groupRow(summary.total, true) + "</table>\n";
}

QString failureTable(const records::Summary &summary)
{
    if (summary.failures.isEmpty())
        return QStringLiteral("<p>No board failed.</p>\n");
    QString html = QStringLiteral("<table><tr><th>message</th><th>boards</th></tr>\n");
    for (const auto &failure : summary.failures)
        html += QStringLiteral("<tr><td>%1</td><td>%2</td></tr>\n")
                    .arg(escaped(failure.first))
                    .arg(failure.second);
    return html + "</table>\n";
}

QString totals(const records::SummaryGroup &total)
{
    const auto box = [](const QString &name, const QString &value) {
        return QStringLiteral("<div><b>%1</b>%2</div>").arg(value, name);
    };
    return "<div class=totals>" + box("boards", QString::number(total.boards)) +
           box("ok", QString::number(total.ok)) + box("failed", QString::number(total.failed)) +
           box("stopped", QString::number(total.stopped)) + box("yield", yieldText(total.yield())) +
           box("median time (ok)", durationText(total.medianMs)) + "</div>\n";
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
    html += totals(contents.byDay.total);
    html += "<h2>Yield per day (UTC)</h2>\n" + yieldChartSvg(contents.byDay, 1000, 240);
    html += "<h2>Per station</h2>\n" + groupTable(contents.byStation, "station");
    html += "<h2>Per image</h2>\n" + groupTable(contents.byImage, "image");
    html += "<h2>Most frequent failures</h2>\n" + failureTable(contents.byDay);
    return html + "</body></html>\n";
}

} // namespace recordstool
