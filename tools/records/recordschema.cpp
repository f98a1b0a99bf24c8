#include "records/recordschema.h"

#include "records/releases.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace records {

namespace {

// Where a connection keeps what it learnt of the table: on its driver, which
// lives exactly as long as the connection.
const char *const IdentityColumnsProperty = "kvtIdentityColumns";
const char *const IdentityColumns[] = {"board", "scanned"};

bool fail(QString *error, const QString &what, const QSqlError &sqlError)
{
    *error = what + ": " + sqlError.text().simplified();
    return false;
}

bool isPostgres(const QSqlDatabase &db)
{
    return db.driverName() == QLatin1String("QPSQL");
}

QString tableSql(bool postgres)
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS board_records ("
                          "id TEXT PRIMARY KEY, station TEXT NOT NULL, seq BIGINT, slot TEXT, "
                          "label TEXT, usb_serial TEXT, file TEXT, sha256 TEXT, "
                          "status TEXT NOT NULL, message TEXT, started TEXT, ended TEXT, "
                          "duration_ms BIGINT, record %1 NOT NULL, board TEXT, scanned TEXT)")
        .arg(postgres ? "JSONB" : "TEXT");
}

// Index names, columns and the rows they hold (all when empty). Those with
// status serve kvt-records summary: it reads them instead of the table, whose
// rows hold the whole JSON record (600 MB for a million). SQLite groups days
// along the expression index (the expression is the one summary.cpp groups
// by); PostgreSQL scans the one on started, status and duration_ms, which also
// serves time ranges. Most boards print no identity and have no label
// scanned: their records stay out of those two indexes, and cost no insert.
struct Index
{
    const char *name;
    const char *columns;
    const char *rows;
};
const Index Indexes[] = {
    {"station_seq", "station, seq", ""},
    {"started_status_duration", "started, status, duration_ms", ""},
    {"usb_serial", "usb_serial", ""},
    {"slot", "slot", ""},
    {"label", "label", ""},
    {"sha256", "sha256", ""},
    {"day_status_duration", "(substr(started, 1, 10)), status, duration_ms", ""},
    {"status_message", "status, message", ""},
    {"board", "board", "board IS NOT NULL"},
    {"scanned", "scanned", "scanned IS NOT NULL"},
};

bool createIndexes(const QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    for (const Index &index : Indexes) {
        const QString rows = *index.rows ? QStringLiteral(" WHERE ") + index.rows : QString();
        const QString sql =
            QStringLiteral("CREATE INDEX IF NOT EXISTS board_records_%1 ON board_records (%2)%3")
                .arg(index.name, index.columns, rows);
        if (!query.exec(sql))
            return fail(error, QStringLiteral("cannot create an index"), query.lastError());
    }
    return true;
}

QString jsonField(const QSqlDatabase &db, const QString &field)
{
    return isPostgres(db) ? QStringLiteral("(record->>'%1')").arg(field)
                          : QStringLiteral("json_extract(record, '$.%1')").arg(field);
}

bool hasColumn(const QSqlDatabase &db, const QString &column)
{
    QSqlQuery probe(db);
    return probe.exec(QStringLiteral("SELECT %1 FROM board_records WHERE 1 = 0").arg(column));
}

// A column that another upgrader added meanwhile is no failure.
bool addIdentityColumns(const QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    for (const char *column : IdentityColumns) {
        if (hasColumn(db, column))
            continue;
        const QString sql = QStringLiteral("ALTER TABLE board_records ADD COLUMN %1%2 TEXT")
                                .arg(isPostgres(db) ? "IF NOT EXISTS " : "", column);
        if (!query.exec(sql) && !hasColumn(db, column))
            return fail(error, QStringLiteral("cannot add the column %1").arg(column),
                        query.lastError());
    }
    return true;
}

// Rows that stations added without the columns (before the upgrade, or
// while they still thought the table lacked them) get them from their JSON.
bool fillIdentityColumns(const QSqlDatabase &db, QString *error)
{
    const QString board = jsonField(db, "board"), scanned = jsonField(db, "scanned");
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("UPDATE board_records SET board = %1, scanned = %2 WHERE "
                                   "board IS NULL AND scanned IS NULL AND (%1 IS NOT NULL OR "
                                   "%2 IS NOT NULL)")
                        .arg(board, scanned)))
        return fail(error, QStringLiteral("cannot fill the columns board and scanned"),
                    query.lastError());
    return true;
}

} // namespace

bool hasIdentityColumns(const QSqlDatabase &db)
{
    QSqlDriver *driver = db.driver();
    const QVariant known = driver->property(IdentityColumnsProperty);
    if (known.isValid())
        return known.toBool();
    const bool present = hasColumn(db, "board") && hasColumn(db, "scanned");
    driver->setProperty(IdentityColumnsProperty, present);
    return present;
}

QString identityField(const QSqlDatabase &db, const QString &field)
{
    return hasIdentityColumns(db) ? field : jsonField(db, field);
}

bool upgradeRecordsTable(const QSqlDatabase &db, QString *error)
{
    if (hasIdentityColumns(db))
        return true;
    if (!addIdentityColumns(db, error))
        return false;
    db.driver()->setProperty(IdentityColumnsProperty, true);
    return fillIdentityColumns(db, error) && createIndexes(db, error);
}

bool createRecordsSchema(const QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    if (!query.exec(tableSql(isPostgres(db))))
        return fail(error, QStringLiteral("cannot create the records table"), query.lastError());
    // A table made just now has the columns; an answer from before it may not.
    db.driver()->setProperty(IdentityColumnsProperty, QVariant());
    const bool upgraded = hasIdentityColumns(db);
    return (upgraded ? fillIdentityColumns(db, error) : upgradeRecordsTable(db, error)) &&
           createIndexes(db, error) && createReleasesTable(db, error);
}

QString stationRoleSql(const QString &role, const QString &database)
{
    return QStringLiteral("-- A role for the stations: it logs in, reads and adds records, reads\n"
                          "-- the releases, and can change or delete nothing. Run this as the\n"
                          "-- tables' owner in the records database (psql -d %2), give the role\n"
                          "-- a password with \\password %1 and put that in each station's\n"
                          "-- ~/.pgpass.\n"
                          "CREATE ROLE %1 LOGIN;\n"
                          "GRANT CONNECT ON DATABASE \"%2\" TO %1;\n"
                          "GRANT USAGE ON SCHEMA public TO %1;\n"
                          "GRANT SELECT, INSERT ON board_records TO %1;\n"
                          "GRANT SELECT ON image_releases TO %1;\n")
        .arg(role, database.isEmpty() ? QStringLiteral("postgres") : database);
}

} // namespace records
