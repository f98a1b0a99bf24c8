#pragma once

// What every kvt-records command is given: its parsed command line, its
// streams, the database URL and one named connection.

#include "recordscommand.h"

#include "records/databaseurl.h"

#include <QCommandLineParser>
#include <QSqlDatabase>
#include <QTextStream>

namespace recordstool {

struct Context
{
    QCommandLineParser &parser;
    QTextStream &out;
    QTextStream &err;
    bool terminal;
    records::DatabaseUrl url;
};

// The named connection for one command, removed when the command ends.
class Connection
{
public:
    ~Connection()
    {
        if (QSqlDatabase::contains(name()))
            QSqlDatabase::removeDatabase(name());
    }
    bool open(const records::DatabaseUrl &url, QString *error)
    {
        return records::openDatabase(url, name(), error);
    }
    QSqlDatabase db() const { return QSqlDatabase::database(name(), false); }

private:
    static QString name() { return QStringLiteral("kvt-records"); }
};

inline int usage(QTextStream &err, const QString &message)
{
    err << "kvt-records: " << message << "\nTry 'kvt-records --help'.\n";
    return ExitUsage;
}

inline int databaseError(Context &c, const QString &message)
{
    c.err << "kvt-records: " << message << '\n';
    return ExitDatabase;
}

} // namespace recordstool
