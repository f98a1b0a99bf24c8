#include "recordfile.h"

#include "records/journal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace station {

namespace {

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

RecordFile::~RecordFile()
{
    close();
}

void RecordFile::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

QString RecordFile::defaultPath()
{
    return records::defaultJournalPath();
}

bool RecordFile::open(const QString &path, QString *why)
{
    close();
    path_ = QFileInfo(path).absoluteFilePath();
    const QString folder = QFileInfo(path_).absolutePath();
    if (!QDir().mkpath(folder)) {
        if (why)
            *why = QStringLiteral("cannot make the folder %1").arg(folder);
        return false;
    }
    checkTail_ = true;
    return openAtPath(why) && endTornLine(why);
}

bool RecordFile::openAtPath(QString *why)
{
    close();
    fd_ =
        ::open(QFile::encodeName(path_).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    struct stat info = {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) {
        if (why)
            *why = systemText(errno);
        close();
        return false;
    }
    device_ = info.st_dev;
    inode_ = info.st_ino;
    return true;
}

// Log rotation renames or removes the file under the open descriptor; lines
// written there would be lost to whoever reads the path.
bool RecordFile::stillAtPath() const
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path_).constData(), &info) == 0 && info.st_dev == device_ &&
           info.st_ino == inode_;
}

// A line torn by a crash or a full disk must not swallow the next record.
bool RecordFile::endTornLine(QString *why)
{
    if (!checkTail_)
        return true;
    char last = '\n';
    const off_t size = ::lseek(fd_, 0, SEEK_END);
    if (size < 0 || (size > 0 && ::pread(fd_, &last, 1, size - 1) != 1)) {
        if (why)
            *why = systemText(errno);
        close();
        return false;
    }
    if (last != '\n' && !writeWhole("\n", why)) {
        close();
        return false;
    }
    checkTail_ = false;
    return true;
}

bool RecordFile::writeWhole(const QByteArray &bytes, QString *why)
{
    // O_APPEND puts each write at the end; a short write (a full disk)
    // leaves a torn line, which the next append ends.
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (why)
                *why = n < 0 ? systemText(errno) : systemText(ENOSPC);
            checkTail_ = true;
            return false;
        }
        done += n;
    }
    return true;
}

// Records that end together are written together and made durable with one
// sync (a group commit): a fixture of boards ending at once costs one sync,
// not one each.
int RecordFile::append(const QVector<records::BoardRecord> &batch, QString *why)
{
    if (path_.isEmpty() || batch.isEmpty())
        return 0;
    if (fd_ < 0 || !stillAtPath()) {
        checkTail_ = true;
        if (!openAtPath(why))
            return 0;
    }
    if (!endTornLine(why))
        return 0;
    int whole = 0;
    QString failure;
    while (whole < batch.size() && writeWhole(batch.at(whole).toLine() + '\n', &failure))
        ++whole;
    if (::fsync(fd_) != 0) {
        failure = systemText(errno);
        checkTail_ = true;
        whole = 0;
    }
    if (why && !failure.isEmpty())
        *why = failure;
    return whole;
}

} // namespace station
