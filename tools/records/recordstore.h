#pragma once

// The records' table, the same in SQLite and PostgreSQL and reached through
// one code path (Qt SQL): a few indexed columns to find and count boards by,
// and the whole record as JSON (jsonb in PostgreSQL, text in SQLite).
//
// Every insert is "ON CONFLICT (id) DO NOTHING": sending a record twice (a
// retry after a lost acknowledgement, a journal imported again) leaves one
// row. The database keeps records unique, not the sender's bookkeeping.

#include "records/boardrecord.h"
#include "records/recordschema.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVector>

#include <functional>

namespace records {

class RecordStore
{
public:
    // An open connection, used on the thread that opened it.
    explicit RecordStore(const QSqlDatabase &db) : db_(db) {}

    bool isPostgres() const;

    // Creates the tables and their indexes unless they exist, and brings an
    // older records table up to date (see recordschema.h).
    bool createSchema(QString *error);
    // createSchema() only when there is no table: a station's role may read
    // and insert but not create, and PostgreSQL checks that before "IF NOT
    // EXISTS".
    bool ensureSchema(QString *error);

    // All of `records` in one transaction, in order; `inserted` (optional)
    // counts those that were not there before. On failure nothing is kept.
    bool insert(const QVector<BoardRecord> &records, QString *error, int *inserted = nullptr);

    // Whether the record with this id is in.
    bool holds(const QString &id, bool *held, QString *error);
    // The database answers a trivial query: a failed statement was about
    // what it carried, not about the connection.
    bool answers();

    // Records whose id starts with `text`, whose USB serial, label, station,
    // board or scanned code is `text`, whose slot holds it as a whole part of its entry name (1.1.7
    // in pci-0000:00:14.0-usb-0:1.1.7:1.0-port0), or whose sha256 is `text` or
    // starts with it (8 hex digits at least); newest first.
    bool find(const QString &text, QVector<BoardRecord> *found, QString *error);

    // Every record started in [since, until) (ISO UTC text; empty: open),
    // oldest first, handed one at a time so a large table is never held.
    bool forEach(const QString &since, const QString &until,
                 const std::function<void(const BoardRecord &)> &visit, QString *error);

    // How many rows the table holds.
    bool count(qint64 *rows, QString *error);

private:
    bool insertAll(const QVector<BoardRecord> &records, int *inserted, QString *error);
    bool insertChunk(QSqlQuery &query, const QVector<BoardRecord> &chunk, bool identity,
                     int *inserted, QString *error);

    QSqlDatabase db_;
};

// A record as the table's JSON column holds it.
BoardRecord storedRecord(const QVariant &value);

// A started/ended time as the indexed columns hold it: UTC,
// "yyyy-MM-ddTHH:mm:ss.zzzZ", so text order is time order in both databases;
// "" (not NULL, which no range matches) when the record has none.
QString utcText(const QString &isoTime);

} // namespace records
