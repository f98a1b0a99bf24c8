#pragma once

// How kvt-records shows records and counts: a table for a person at a
// terminal, tab-separated lines for a pipe, JSON Lines and CSV for programs.

#include "records/summary.h"

#include "records/boardrecord.h"
#include "records/releases.h"

#include <QTextStream>
#include <QVector>

namespace recordstool {

// One line per record: started, station, slot, USB serial, board (its
// scanned code when it named no identity), status, duration, id; padded into columns when `aligned`
// (a terminal), tab-separated otherwise.
void printRecordTable(QTextStream &out, const QVector<records::BoardRecord> &records, bool aligned);

// A header line, then one line per record (RFC 4180 quoting).
void printCsvHeader(QTextStream &out);
void printCsvRow(QTextStream &out, const records::BoardRecord &record);

// With boards per hour when the groups are stations, and the boards of
// unreleased images when they are images of a database that keeps releases;
// then the most frequent failure causes.
void printSummaryTable(QTextStream &out, const records::Summary &summary, bool aligned);
// One object per group: group, boards, ok, failed, stopped, yield (null when
// no board ended ok or failed), median_ms (null when none ended ok), and
// boards_per_hour when the groups are stations, unreleased when they are
// images of a database that keeps releases.
void printSummaryJson(QTextStream &out, const records::Summary &summary);

// One line per release: released, by, file, bytes, sha256 (its first 16
// digits), whether it is withdrawn, the note.
void printReleaseTable(QTextStream &out, const QVector<records::ImageRelease> &releases,
                       bool aligned);
// One object per release (ImageRelease::toJson).
void printReleasesJson(QTextStream &out, const QVector<records::ImageRelease> &releases);

// "97.5 %", or "-" without a board that ended ok or failed.
QString yieldText(double yield);

} // namespace recordstool
