#pragma once

// The rows a test reads back from a records database, on a connection of
// its own.

#include "records/databaseurl.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

// Runs `use(db)` on a connection of its own to the database at `url`.
template <typename Use> void withDatabase(const QString &url, Use use)
{
    const QString name = "records-test";
    {
        records::DatabaseUrl parsed;
        QString error;
        if (!records::parseDatabaseUrl(url, &parsed, &error) ||
            !records::openDatabase(parsed, name, &error))
            qFatal("cannot open %s: %s", qPrintable(url), qPrintable(error));
        use(QSqlDatabase::database(name, false));
    }
    QSqlDatabase::removeDatabase(name);
}

// The ids the database holds, in the order they arrived: rowid in SQLite,
// the test's own arrival column in PostgreSQL (see
// RecordsTestBase::newDatabase).
inline QStringList idsInDatabase(const QString &url)
{
    QStringList ids;
    withDatabase(url, [&](const QSqlDatabase &db) {
        QSqlQuery query(db);
        query.exec(QString("SELECT id FROM board_records ORDER BY %1")
                       .arg(db.driverName() == "QSQLITE" ? "rowid" : "arrival"));
        while (query.next())
            ids.append(query.value(0).toString());
    });
    return ids;
}
