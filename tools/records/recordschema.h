#pragma once

// The records table's shape, and how an older one is brought up to it.
//
// Tables made before boards were named lack the columns board and scanned.
// Only the table's owner may add them (kvt-records init, or import when the
// database lets it); a station's role may only read and insert, so every
// statement that names them asks first whether the table has them, once per
// connection, and reads the record's JSON instead when it does not.

#include <QSqlDatabase>
#include <QString>

namespace records {

// The table (with its columns and indexes, an older one's added) and the
// releases table beside it, unless they exist; the owner's work.
bool createRecordsSchema(const QSqlDatabase &db, QString *error);
// Adds the columns board and scanned to an older table, fills them from the
// records it holds and indexes them; true when the table has them.
bool upgradeRecordsTable(const QSqlDatabase &db, QString *error);

// Whether the table has the columns board and scanned; asked of the database
// once per connection.
bool hasIdentityColumns(const QSqlDatabase &db);
// An SQL expression for the record's `field` ("board" or "scanned"): its
// column, or the same text read from the JSON of a table without it.
QString identityField(const QSqlDatabase &db, const QString &field);

// The SQL that makes a PostgreSQL role `role` for stations: it may log in to
// `database`, read and insert records, read the releases, and do nothing else.
QString stationRoleSql(const QString &role, const QString &database);

} // namespace records
