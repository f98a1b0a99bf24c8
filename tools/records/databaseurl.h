#pragma once

// Where the records go: "sqlite:PATH" for a file on the station, or a libpq
// URI for a factory's PostgreSQL:
//
//   postgresql://station@db.factory:5432/records?sslmode=verify-full
//   postgresql:///records?host=/run/postgresql        (a Unix socket folder)
//
// Qt's PostgreSQL driver takes separate fields, not a URI, so the URI is taken
// apart here. Passwords never travel in the URL (it shows up in process lists
// and shell histories): libpq finds them itself in ~/.pgpass, PGPASSFILE or a
// service file, or a client certificate stands in for one.

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace records {

struct DatabaseUrl
{
    enum class Kind
    {
        Sqlite,
        Postgres
    };
    Kind kind = Kind::Sqlite;
    QString path;        // SQLite: the database file
    QString host;        // PostgreSQL: a name, an address, or a socket folder ("/...")
    int port = -1;       // -1: libpq's default
    QString user;        // empty: libpq's default (PGUSER, the login name)
    QString database;    // empty: libpq's default
    QStringList options; // other libpq keywords, "key=value" (sslmode, connect_timeout, ...)
};

// False with a message a person can act on when `text` is not a URL we take.
bool parseDatabaseUrl(const QString &text, DatabaseUrl *url, QString *error);

// Opens a connection named `connection` in the calling thread (Qt SQL keeps a
// connection to the thread that opened it). On failure the connection stays
// registered, closed; the caller removes it with QSqlDatabase::removeDatabase.
bool openDatabase(const DatabaseUrl &url, const QString &connection, QString *error);

// The URL as it can be shown to a person (never holds a password anyway).
QString describeDatabase(const DatabaseUrl &url);

// A URL as typed, fit to show anywhere: a password in it (user:PASSWORD@, or
// a password option) replaced by "***". Every message that repeats a URL
// the user gave goes through here: a refused URL is no reason to print it.
QString withoutSecrets(const QString &url);

} // namespace records
