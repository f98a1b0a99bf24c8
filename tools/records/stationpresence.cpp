#include "records/stationpresence.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSqlQuery>
#include <QVariant>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace records {

namespace {

// The same 63-bit number for the same name in every station.
qint64 nameKey(const QString &station)
{
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayLiteral("kvt-station:") + station.toUtf8(), QCryptographicHash::Sha256);
    quint64 key = 0;
    for (int i = 0; i < 8; ++i)
        key = key << 8 | quint8(digest.at(i));
    return qint64(key >> 1);
}

bool claimPostgres(const QSqlDatabase &db, qint64 key)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT pg_try_advisory_lock(?)"));
    query.addBindValue(key);
    // A query that fails says nothing about the name.
    return !query.exec() || !query.next() || query.value(0).toBool();
}

// One byte of one file per database, a byte per name; an open file
// description's lock, so two claims in one process meet as well.
bool claimFileByte(int fd, qint64 key)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = off_t(key % (qint64(1) << 30));
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0 || (errno != EAGAIN && errno != EACCES);
}

} // namespace

StationPresence::~StationPresence()
{
    release();
}

bool StationPresence::claim(const QSqlDatabase &db, const DatabaseUrl &url, const QString &station)
{
    if (station.isEmpty())
        return true;
    if (url.kind == DatabaseUrl::Kind::Postgres)
        return claimPostgres(db, nameKey(station));
    if (lockFd_ < 0) {
        const QString lockPath = url.path + QStringLiteral(".stations");
        lockFd_ =
            ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lockFd_ < 0)
            return true;
    }
    return claimFileByte(lockFd_, nameKey(station));
}

void StationPresence::release()
{
    if (lockFd_ >= 0)
        ::close(lockFd_);
    lockFd_ = -1;
}

} // namespace records
