#pragma once

// A PostgreSQL server of the tests' own: initdb in a temporary folder, a Unix
// socket in that folder and no TCP port, trust authentication, stopped and
// removed when the object goes. As root (CI) the server runs as the user
// postgres, since initdb refuses root. A test process that dies leaves its
// server to tests/pg-cleanup.sh, which CTest runs after the database tests.

#include "databaserows.h"

#include <QDir>
#include <QProcess>
#include <QSqlError>
#include <QTemporaryDir>

#include <pwd.h>
#include <unistd.h>

class ThrowawayPostgres
{
public:
    ThrowawayPostgres()
        : folder_(qEnvironmentVariable("KVT_PGTEST_PREFIX", QDir::tempPath() + "/kvt-pgtest") +
                  "-XXXXXX")
    {}
    ~ThrowawayPostgres()
    {
        if (running_)
            pgCtl({"stop", "-m", "immediate"});
    }
    ThrowawayPostgres(const ThrowawayPostgres &) = delete;
    ThrowawayPostgres &operator=(const ThrowawayPostgres &) = delete;

    // initdb and the first start; false with the reason.
    bool setUp(QString *error)
    {
        bin_ = binFolder();
        if (bin_.isEmpty())
            return fail(error, "PostgreSQL is not installed: run scripts/setup.sh");
        if (!folder_.isValid() || !handOver(folder_.path()))
            return fail(error, "cannot prepare " + folder_.path());
        if (!run(bin_ + "/initdb", {"-D", dataDir(), "-A", "trust", "-U", "postgres", "--no-sync",
                                    "-E", "UTF8", "--locale=C"}))
            return fail(error, "initdb failed: " + lastOutput_);
        return start(error);
    }

    bool start(QString *error = nullptr)
    {
        const QString options =
            "-k " + socketDir() + " -c listen_addresses='' -c fsync=off -c full_page_writes=off";
        running_ =
            pgCtl({"start", "-w", "-t", "60", "-l", folder_.path() + "/server.log", "-o", options});
        return running_ || fail(error, "pg_ctl start failed: " + lastOutput_);
    }
    bool stop()
    {
        running_ = !pgCtl({"stop", "-w", "-m", "fast"});
        return !running_;
    }

    QString socketDir() const { return folder_.path(); }
    QString url(const QString &database, const QString &user = "postgres") const
    {
        return "postgresql:///" + database + "?host=" + socketDir() + "&user=" + user;
    }

    // Runs one statement in `database` as `user`, on a connection of its own.
    bool exec(const QString &sql, const QString &database = "postgres", QString *error = nullptr,
              const QString &user = "postgres")
    {
        bool ok = false;
        withDatabase(url(database, user), [&](const QSqlDatabase &db) {
            QSqlQuery query(db);
            ok = query.exec(sql);
            if (!ok && error)
                *error = query.lastError().text();
        });
        return ok;
    }

private:
    // The newest version installed.
    static QString binFolder()
    {
        const QDir root("/usr/lib/postgresql");
        for (const QString &version :
             root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed))
            if (QFile::exists(root.filePath(version + "/bin/initdb")))
                return root.filePath(version + "/bin");
        return QString();
    }
    static bool fail(QString *error, const QString &message)
    {
        if (error)
            *error = message;
        return false;
    }
    // As root, the folder becomes the postgres user's.
    static bool handOver(const QString &path)
    {
        if (::geteuid() != 0)
            return true;
        const passwd *user = ::getpwnam("postgres");
        return user &&
               ::chown(QFile::encodeName(path).constData(), user->pw_uid, user->pw_gid) == 0;
    }
    QString dataDir() const { return folder_.path() + "/data"; }
    bool pgCtl(QStringList arguments)
    {
        return run(bin_ + "/pg_ctl", QStringList{"-D", dataDir()} + arguments);
    }
    bool run(const QString &program, const QStringList &arguments)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (::geteuid() == 0)
            process.start("runuser", QStringList{"-u", "postgres", "--", program} + arguments);
        else
            process.start(program, arguments);
        const bool ok = process.waitForFinished(120000) &&
                        process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        lastOutput_ = QString::fromLocal8Bit(process.readAll());
        return ok;
    }

    QTemporaryDir folder_;
    QString bin_;
    bool running_ = false;
    QString lastOutput_;
};
