#pragma once

// The station's journal as the records library reads it: JSON Lines, one
// board per line, appended and never rewritten. A line torn by a crash or
// damaged on the disk is passed over and counted, never fatal.

#include <QJsonObject>
#include <QString>
#include <QVector>

namespace records {

struct JournalContents
{
    QVector<QJsonObject> records; // in the journal's order
    int skipped = 0;              // lines that were not a whole JSON object
};

// False, with the system's reason, when the file cannot be read.
bool readJournal(const QString &path, JournalContents *contents, QString *error);

// The record's identity in the database: its "id" when it has one (schema 2),
// otherwise a name-based UUID of its canonical JSON, so that importing the
// same schema-1 line twice gives the same id.
QString recordId(const QJsonObject &record);

// The "seq" of the journal's last whole record, reading only its tail; -1 when
// the file is missing, empty or its last records carry no seq.
qint64 lastSeq(const QString &path);

// The one place for the station's default files:
// $XDG_STATE_HOME/kvt (~/.local/state/kvt when unset).
QString defaultStateDir();
QString defaultJournalPath(); // <state>/records.jsonl
QString defaultDatabaseUrl(); // sqlite:<state>/records.sqlite

} // namespace records
