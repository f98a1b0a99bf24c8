#include "records/journalcursor.h"

#include "records/journal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <sys/stat.h>

namespace records {

namespace {

// A record line is well under this; the line before an offset is found in it.
constexpr qint64 LongestLine = 64 * 1024;

JournalFile fileOf(const struct stat &info)
{
    return {quint64(info.st_dev), quint64(info.st_ino)};
}

QJsonObject markToJson(const CursorMark &mark)
{
    // Device and inode as text: JSON numbers lose precision above 2^53.
    return {{"device", QString::number(mark.file.device)},
            {"inode", QString::number(mark.file.inode)},
            {"offset", mark.offset},
            {"last_id", mark.lastId}};
}

CursorMark markFromJson(const QJsonObject &object)
{
    CursorMark mark;
    mark.file.device = object.value(QLatin1String("device")).toString().toULongLong();
    mark.file.inode = object.value(QLatin1String("inode")).toString().toULongLong();
    mark.offset = qint64(object.value(QLatin1String("offset")).toDouble());
    mark.lastId = object.value(QLatin1String("last_id")).toString();
    return mark;
}

QJsonObject readCursorFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

JournalFile JournalFile::ofPath(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    return fileOf(info);
}

JournalFile JournalFile::ofDescriptor(int fd)
{
    struct stat info = {};
    return ::fstat(fd, &info) == 0 ? fileOf(info) : JournalFile{};
}

JournalCursor::JournalCursor(const QString &journalPath, const QString &database)
    : path_(journalPath + QStringLiteral(".forwarded")), database_(database)
{}

QVector<CursorMark> JournalCursor::load() const
{
    QVector<CursorMark> marks;
    const QJsonArray saved = readCursorFile(path_).value(database_).toArray();
    for (const QJsonValue &value : saved) {
        const CursorMark mark = markFromJson(value.toObject());
        if (mark.file.isValid() && mark.offset > 0)
            marks.append(mark);
    }
    return marks;
}

bool JournalCursor::save(const QVector<CursorMark> &marks) const
{
    QJsonObject all = readCursorFile(path_);
    QJsonArray mine;
    for (const CursorMark &mark : marks)
        if (mark.offset > 0)
            mine.append(markToJson(mark));
    all.insert(database_, mine);
    // No sync: a cursor lost in a crash only means sending again.
    QSaveFile file(path_);
    file.setDirectWriteFallback(false);
    return file.open(QIODevice::WriteOnly) &&
           file.write(QJsonDocument(all).toJson(QJsonDocument::Compact)) >= 0 && file.commit();
}

bool lineEndsWithRecord(const QString &path, qint64 offset, const QString &id)
{
    QFile file(path);
    if (offset <= 0 || !file.open(QIODevice::ReadOnly) || file.size() < offset)
        return false;
    const qint64 from = qMax<qint64>(0, offset - LongestLine);
    if (!file.seek(from))
        return false;
    const QByteArray tail = file.read(offset - from);
    if (tail.size() != offset - from || !tail.endsWith('\n'))
        return false;
    const int start = tail.lastIndexOf('\n', tail.size() - 2) + 1;
    if (start == 0 && from > 0)
        return false; // a line longer than any record
    BoardRecord record;
    return BoardRecord::fromLine(tail.mid(start), &record) && record.identity() == id;
}

QStringList journalSiblings(const QString &journalPath)
{
    const QFileInfo journal(journalPath);
    const QDir folder = journal.absoluteDir();
    QStringList siblings;
    const QStringList names =
        folder.entryList({journal.fileName() + QLatin1Char('*')}, QDir::Files, QDir::Name);
    for (const QString &name : names)
        if (name != journal.fileName())
            siblings.append(folder.filePath(name));
    return siblings;
}

} // namespace records
