#pragma once

// What makes a JSON object a board's record, and a file a journal. Import
// takes journals carried by hand from stations; a README, a log or another
// program's JSON Lines handed to it by mistake would otherwise put made-up
// boards into the factory's yield.

#include <QJsonObject>
#include <QString>

namespace records {

// A record names its station and how its board ended: the table cannot hold
// one without them, and no count can place it. False with the reason ("no
// station", "no status").
bool validRecord(const QJsonObject &record, QString *why);

// A journal is mostly records: a crash tears its last line and a bad disk a
// few more, but a file with no record, or with more lines that are not
// records than records (at least three), is something else.
bool looksLikeJournal(int records, int notRecords);

} // namespace records
