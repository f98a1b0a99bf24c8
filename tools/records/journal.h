#pragma once

// The station's journal as the records library reads it: JSON Lines, one
// board per line, appended and never rewritten. A line torn by a crash or
// damaged on the disk is passed over and counted, never fatal.

#include "records/boardrecord.h"

#include <QString>
#include <QVector>

namespace records {

struct JournalContents
{
    QVector<BoardRecord> records; // the valid ones, in the journal's order
    int damaged = 0;              // lines that were not a whole JSON object
    int invalid = 0;              // objects that are no record (no station or status)
};

// False, with the system's reason, when the file cannot be read.
bool readJournal(const QString &path, JournalContents *contents, QString *error);

// A journal is mostly records: a crash tears its last line and a bad disk a
// few more, but a file with no record, or with more lines that are not
// records than records (at least three), is something else (a README, a
// log, another program's JSON Lines handed over by mistake).
bool looksLikeJournal(const JournalContents &contents);

// The "seq" of the journal's last whole record, reading only its tail; -1 when
// the file is missing, empty or its last records carry no seq.
qint64 lastSeq(const QString &path);

// The one place for the station's default files:
// $XDG_STATE_HOME/kvt (~/.local/state/kvt when unset).
QString defaultStateDir();
QString defaultJournalPath(); // <state>/records.jsonl
QString defaultDatabaseUrl(); // sqlite:<state>/records.sqlite

} // namespace records
