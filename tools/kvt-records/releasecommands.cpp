#include "releasecommands.h"

#include "recordviews.h"

#include "common/words.h"
#include "firmwareimage.h"
#include "records/recordstore.h"
#include "records/releases.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>

#include <pwd.h>
#include <unistd.h>

namespace recordstool {

namespace {

// Who runs the command: the login name as the shell has it, else the
// system's for the process (a service, cron).
QString loginName()
{
    const QString user = qEnvironmentVariable("USER");
    if (!user.isEmpty())
        return user;
    const passwd *entry = getpwuid(geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(geteuid());
}

QString now()
{
    return records::utcText(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
}

QString minuteOf(const QString &utc)
{
    return QString(utc).left(16).replace('T', ' ') + " UTC";
}

QString describe(const records::ImageRelease &release)
{
    QString text =
        QStringLiteral("%1 (sha256 %2), released %3 by %4")
            .arg(release.file, release.sha256, minuteOf(release.released), release.releasedBy);
    if (release.isWithdrawn())
        text += QStringLiteral(", withdrawn %1 by %2")
                    .arg(minuteOf(release.withdrawn), release.withdrawnBy);
    return text;
}

int release(Context &c, const QSqlDatabase &db, const QStringList &words)
{
    if (words.size() != 1)
        return usage(c.err, QStringLiteral("release: name one image file"));
    const QString path = words.first();
    const firmware::FirmwareImage image = firmware::loadFirmwareImage(path);
    if (!image.isValid()) {
        c.err << "kvt-records: " << programs::imageProblemText(path, image)
              << ": nothing released\n";
        return ExitBadJournal;
    }
    QString error;
    if (!records::hasReleasesTable(db) && !records::createReleasesTable(db, &error))
        return databaseError(c, error);
    records::ImageRelease release{
        QString::fromLatin1(
            QCryptographicHash::hash(image.data, QCryptographicHash::Sha256).toHex()),
        QFileInfo(path).fileName(),
        image.fileSize,
        now(),
        loginName(),
        c.parser.value("note"),
        {},
        {}};
    bool added = false;
    records::ImageRelease standing;
    if (!records::addRelease(db, release, &added, &standing, &error))
        return databaseError(c, error);
    if (added)
        c.out << QStringLiteral("Released %1 (sha256 %2) at %3 by %4.\n")
                     .arg(release.file, release.sha256, minuteOf(release.released),
                          release.releasedBy);
    else
        c.out << "Already released, nothing changed: " << describe(standing) << ".\n";
    return ExitSuccess;
}

int withdraw(Context &c, const QSqlDatabase &db, const QStringList &words)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{8,64}$"));
    if (words.size() != 1 || !hex.match(words.first()).hasMatch())
        return usage(c.err, QStringLiteral("withdraw: give 8 or more hex digits of the image's "
                                           "sha256 (kvt-records releases lists them)"));
    const QString prefix = words.first();
    QVector<records::ImageRelease> found;
    QString error;
    if (records::hasReleasesTable(db) && !records::releasesStartingWith(db, prefix, &found, &error))
        return databaseError(c, error);
    if (found.size() != 1) {
        c.err << "kvt-records: "
              << (found.isEmpty() ? QStringLiteral("no release's sha256 starts with %1").arg(prefix)
                                  : QStringLiteral("%1 releases' sha256 start with %2: give more "
                                                   "digits")
                                        .arg(found.size())
                                        .arg(prefix))
              << '\n';
        return ExitNothingFound;
    }
    const records::ImageRelease &release = found.first();
    if (release.isWithdrawn()) {
        c.out << "Already withdrawn, nothing changed: " << describe(release) << ".\n";
        return ExitSuccess;
    }
    const QString when = now(), who = loginName();
    if (!records::withdrawRelease(db, release.sha256, when, who, &error))
        return databaseError(c, error);
    c.out << QStringLiteral("Withdrew %1 (sha256 %2), released %3 by %4.\n")
                 .arg(release.file, release.sha256, minuteOf(release.released), release.releasedBy);
    return ExitSuccess;
}

int list(Context &c, const QSqlDatabase &db)
{
    QVector<records::ImageRelease> releases;
    QString error;
    if (records::hasReleasesTable(db) && !records::listReleases(db, &releases, &error))
        return databaseError(c, error);
    if (c.parser.isSet("json"))
        printReleasesJson(c.out, releases);
    else if (!releases.isEmpty())
        printReleaseTable(c.out, releases, c.terminal);
    if (releases.isEmpty())
        c.err << "kvt-records: no image has been released\n";
    return ExitSuccess;
}

} // namespace

bool isReleaseCommand(const QString &command)
{
    return command == "release" || command == "withdraw" || command == "releases";
}

int runReleaseCommand(Context &c, Connection &connection, const QString &command,
                      const QStringList &words)
{
    if (command == "release")
        return release(c, connection.db(), words);
    if (command == "withdraw")
        return withdraw(c, connection.db(), words);
    return list(c, connection.db());
}

} // namespace recordstool
