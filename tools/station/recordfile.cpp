#include "recordfile.h"

#include <QFile>
#include <QJsonDocument>
#include <QVector>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace station {

RecordFile::~RecordFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool RecordFile::open(const QString &path, QString *why)
{
    fd_ =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        if (why)
            *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // A line torn by a crash must not swallow the next record: end it.
    char last = '\n';
    const off_t size = ::lseek(fd_, 0, SEEK_END);
    if (size > 0 && ::pread(fd_, &last, 1, size - 1) == 1 && last != '\n')
        return ::write(fd_, "\n", 1) == 1;
    return true;
}

bool RecordFile::append(const QJsonObject &record, QString *why)
{
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // O_APPEND puts each write at the end as one piece; a short write (a
    // full disk) leaves a torn line that readers pass over.
    qint64 done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.constData() + done, size_t(line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (why)
                *why = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        done += n;
    }
    if (::fsync(fd_) != 0) {
        if (why)
            *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

QVector<QJsonObject> RecordFile::read(const QString &path)
{
    QVector<QJsonObject> records;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return records;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            records.append(document.object());
    }
    return records;
}

} // namespace station
