#pragma once

// kvt-records report --html: one self-contained page (styles inline, the chart
// an inline SVG, no scripts, nothing fetched) that a browser shows offline and
// that can be mailed as it is.

#include "records/summary.h"

#include "records/boardrecord.h"
#include <QString>
#include <QVector>

namespace recordstool {

// The failed boards the page lists; the others are counted.
constexpr int FailedBoardsShown = 25;

struct ReportContents
{
    QString database; // as shown to a person
    QString range;    // "since 2026-12-01" or "all records"
    QString made;     // when the report was made
    records::Summary byDay;
    records::Summary byStation; // with each station's active hours
    records::Summary bySlot;
    records::Summary byImage;
    QVector<records::BoardRecord> failedBoards; // the newest failures (byDay.total.failed in all)
};

QString htmlReport(const ReportContents &contents);

// The yield per day as an SVG bar chart, `width` × `height` pixels.
QString yieldChartSvg(const records::Summary &byDay, int width, int height);

} // namespace recordstool
