#include "records/databaseurl.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>

namespace records {

namespace {

const QString SqliteScheme = QStringLiteral("sqlite:");

bool fail(QString *error, const QString &message)
{
    *error = message;
    return false;
}

bool parseSqlite(const QString &text, DatabaseUrl *url, QString *error)
{
    QString path = text.mid(SqliteScheme.size());
    // "sqlite:///var/lib/x.sqlite" is the same file as "sqlite:/var/lib/x.sqlite".
    if (path.startsWith(QStringLiteral("//")))
        path = path.mid(2);
    if (path.isEmpty())
        return fail(error,
                    QStringLiteral("no file in '%1': write sqlite:PATH").arg(withoutSecrets(text)));
    url->kind = DatabaseUrl::Kind::Sqlite;
    url->path = path;
    return true;
}

// One key=value of the URI's query: the fields Qt's driver has its own setters
// for, or a libpq option passed on as it is.
bool takeQueryItem(const QString &key, const QString &value, DatabaseUrl *url, QString *error)
{
    if (key == QLatin1String("password"))
        return fail(error, QStringLiteral("a password does not belong in the database URL; put it "
                                          "in ~/.pgpass (or the file PGPASSFILE names)"));
    if (value.contains(';'))
        return fail(error, QStringLiteral("the URL option %1 may not contain ';'").arg(key));
    if (key == QLatin1String("host"))
        url->host = value;
    else if (key == QLatin1String("user"))
        url->user = value;
    else if (key == QLatin1String("dbname"))
        url->database = value;
    else if (key == QLatin1String("port")) {
        bool ok = false;
        url->port = value.toInt(&ok);
        if (!ok || url->port <= 0 || url->port > 65535)
            return fail(error, QStringLiteral("bad port '%1' in the database URL").arg(value));
    } else
        url->options.append(key + '=' + value);
    return true;
}

// libpq takes a socket folder percent-encoded as the host
// ("postgresql://%2Frun%2Fpostgresql/db"), which QUrl refuses as a host name:
// it is taken out, and a stand-in host left for QUrl.
QString takeSocketHost(const QString &text, QString *socketFolder)
{
    static const QRegularExpression encoded(
        QStringLiteral("^([a-z]+://(?:[^@/?]*@)?)(%2[Ff][^:/?]*)(.*)$"));
    const QRegularExpressionMatch match = encoded.match(text);
    if (!match.hasMatch())
        return text;
    *socketFolder = QUrl::fromPercentEncoding(match.captured(2).toUtf8());
    return match.captured(1) + QStringLiteral("socket.invalid") + match.captured(3);
}

bool parsePostgres(const QString &text, DatabaseUrl *url, QString *error)
{
    QString socketFolder;
    const QUrl parsed(takeSocketHost(text, &socketFolder), QUrl::StrictMode);
    if (!parsed.isValid())
        return fail(error, QStringLiteral("bad database URL '%1'").arg(withoutSecrets(text)));
    if (!parsed.password().isEmpty())
        return fail(error, QStringLiteral("a password does not belong in the database URL; put it "
                                          "in ~/.pgpass (or the file PGPASSFILE names)"));
    url->kind = DatabaseUrl::Kind::Postgres;
    url->host = socketFolder.isEmpty() ? parsed.host(QUrl::FullyDecoded) : socketFolder;
    url->port = parsed.port(-1);
    url->user = parsed.userName(QUrl::FullyDecoded);
    url->database = parsed.path(QUrl::FullyDecoded).mid(1);
    if (url->database.contains('/'))
        return fail(error, QStringLiteral("bad database name '%1' in the URL").arg(url->database));
    const auto items = QUrlQuery(parsed).queryItems(QUrl::FullyDecoded);
    for (const auto &item : items) {
        if (!takeQueryItem(item.first, item.second, url, error))
            return false;
    }
    return true;
}

// libpq's conninfo quoting: single quotes, with ' and \ escaped.
QString conninfoOption(const QString &option)
{
    const int equals = option.indexOf('=');
    QString value = option.mid(equals + 1);
    value.replace('\\', QStringLiteral("\\\\")).replace('\'', QStringLiteral("\\'"));
    return option.left(equals) + "='" + value + '\'';
}

bool openSqlite(const DatabaseUrl &url, QSqlDatabase &db, QString *error)
{
    const QString folder = QFileInfo(url.path).absolutePath();
    if (!QDir().mkpath(folder))
        return fail(error, QStringLiteral("cannot create the folder %1").arg(folder));
    db.setDatabaseName(url.path);
    // Another process (kvt-records, a second station) may hold the write lock
    // for a moment: wait for it rather than fail.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open())
        return fail(
            error,
            QStringLiteral("cannot open %1: %2").arg(url.path, db.lastError().text().simplified()));
    // Readers and the writer do not block each other in WAL mode.
    QSqlQuery pragma(db);
    pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    return true;
}

bool openPostgres(const DatabaseUrl &url, QSqlDatabase &db, QString *error)
{
    db.setHostName(url.host);
    db.setPort(url.port);
    db.setUserName(url.user);
    db.setDatabaseName(url.database);
    QStringList options;
    for (const QString &option : url.options)
        options.append(conninfoOption(option));
    // libpq waits forever for an unreachable host by default; a station must
    // not, or stopping it would wait too.
    if (url.options.filter(QRegularExpression(QStringLiteral("^connect_timeout="))).isEmpty())
        options.append(QStringLiteral("connect_timeout='5'"));
    db.setConnectOptions(options.join(';'));
    if (!db.open())
        return fail(error, QStringLiteral("cannot connect to %1: %2")
                               .arg(describeDatabase(url), db.lastError().text().simplified()));
    // "already exists, skipping" and the like are no news to a person.
    QSqlQuery(db).exec(QStringLiteral("SET client_min_messages TO warning"));
    return true;
}

} // namespace

bool parseDatabaseUrl(const QString &text, DatabaseUrl *url, QString *error)
{
    *url = DatabaseUrl{};
    if (text.startsWith(SqliteScheme))
        return parseSqlite(text, url, error);
    if (text.startsWith(QLatin1String("postgresql://")) ||
        text.startsWith(QLatin1String("postgres://")))
        return parsePostgres(text, url, error);
    return fail(error, QStringLiteral("bad database URL '%1': expected sqlite:PATH or "
                                      "postgresql://[user@]host[:port]/database")
                           .arg(withoutSecrets(text)));
}

bool openDatabase(const DatabaseUrl &url, const QString &connection, QString *error)
{
    const QString driver =
        url.kind == DatabaseUrl::Kind::Sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
    if (!QSqlDatabase::isDriverAvailable(driver))
        return fail(error,
                    QStringLiteral("Qt's %1 driver is not installed (Debian: %2)")
                        .arg(driver, url.kind == DatabaseUrl::Kind::Sqlite ? "libqt5sql5-sqlite"
                                                                           : "libqt5sql5-psql"));
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, connection);
    return url.kind == DatabaseUrl::Kind::Sqlite ? openSqlite(url, db, error)
                                                 : openPostgres(url, db, error);
}

QString withoutSecrets(const QString &url)
{
    static const QRegularExpression userPassword(QStringLiteral("(://[^/?#@:]*):[^/?#@]*@"));
    static const QRegularExpression passwordOption(
        QStringLiteral("((?:^|[?&;\\s])(?:ssl)?password=)[^&;\\s]*"),
        QRegularExpression::CaseInsensitiveOption);
    QString shown = url;
    shown.replace(userPassword, QStringLiteral("\\1:***@"));
    shown.replace(passwordOption, QStringLiteral("\\1***"));
    return shown;
}

QString describeDatabase(const DatabaseUrl &url)
{
    if (url.kind == DatabaseUrl::Kind::Sqlite)
        return SqliteScheme + url.path;
    QString where = url.host.isEmpty() ? QStringLiteral("the default server") : url.host;
    if (url.port > 0)
        where += ':' + QString::number(url.port);
    const QString name = url.database.isEmpty() ? QStringLiteral("(default)") : url.database;
    return QStringLiteral("PostgreSQL database %1 on %2").arg(name, where);
}

} // namespace records
