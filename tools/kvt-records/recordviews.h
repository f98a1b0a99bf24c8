#pragma once

// How kvt-records shows records and counts: a table for a person at a
// terminal, tab-separated lines for a pipe, JSON Lines and CSV for programs.

#include "records/summary.h"

#include "records/boardrecord.h"
#include <QTextStream>
#include <QVector>

namespace recordstool {

// One line per record: started, station, slot, USB serial, status, duration,
// id; padded into columns when `aligned` (a terminal), tab-separated otherwise.
void printRecordTable(QTextStream &out, const QVector<records::BoardRecord> &records, bool aligned);

// A header line, then one line per record (RFC 4180 quoting).
void printCsvHeader(QTextStream &out);
void printCsvRow(QTextStream &out, const records::BoardRecord &record);

// With boards per hour when the groups are stations; then the most frequent
// failure causes.
void printSummaryTable(QTextStream &out, const records::Summary &summary, bool aligned);
// One object per group: group, boards, ok, failed, stopped, yield (null when
// no board ended ok or failed), median_ms (null when none ended ok), and
// boards_per_hour when the groups are stations.
void printSummaryJson(QTextStream &out, const records::Summary &summary);

// "97.5 %", or "-" without a board that ended ok or failed.
QString yieldText(double yield);

} // namespace recordstool
