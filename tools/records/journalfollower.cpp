#include "records/journalfollower.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace records {

namespace {

// How long a journal moved away by rotation is still read: a record the
// station wrote just before it noticed the move lands in the old file.
constexpr qint64 DrainMs = 10000;
constexpr size_t ChunkBytes = 1 << 20;

} // namespace

JournalFollower::JournalFollower(const QString &path) : path_(path) {}

JournalFollower::~JournalFollower()
{
    closeAll();
}

void JournalFollower::closeAll()
{
    for (const Source &source : qAsConst(sources_))
        ::close(source.fd);
    sources_.clear();
}

bool JournalFollower::open(const QString &path, qint64 offset, qint64 drainUntilMs)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat info = {};
    // A device (a journal on /dev/full, say) would be read for ever.
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        return false;
    }
    if (fd < 0)
        return false;
    sources_.append({fd, JournalFile::ofDescriptor(fd), offset, drainUntilMs});
    return true;
}

void JournalFollower::resume(const QVector<CursorMark> &marks)
{
    closeAll();
    const JournalFile journal = JournalFile::ofPath(path_);
    qint64 journalOffset = 0;
    for (const CursorMark &mark : marks) {
        if (mark.file == journal) {
            if (lineEndsWithRecord(path_, mark.offset, mark.lastId))
                journalOffset = mark.offset;
            continue;
        }
        // Rotated while the station was stopped: what it did not send is
        // still in the file, under another name.
        for (const QString &sibling : journalSiblings(path_)) {
            if (JournalFile::ofPath(sibling) == mark.file &&
                lineEndsWithRecord(sibling, mark.offset, mark.lastId))
                open(sibling, mark.offset, 0);
        }
    }
    open(path_, journalOffset, -1);
}

void JournalFollower::restart()
{
    closeAll();
    open(path_, 0, -1);
}

QVector<JournalLine> JournalFollower::readNew(qint64 nowMs)
{
    followPath(nowMs);
    QVector<JournalLine> lines;
    for (Source &source : sources_)
        read(source, lines);
    closeDrained(nowMs);
    return lines;
}

// The file at the path may be another one than the one being read: the
// journal was rotated or removed, and made again.
void JournalFollower::followPath(qint64 nowMs)
{
    const JournalFile now = JournalFile::ofPath(path_);
    Source *journal = nullptr;
    for (Source &source : sources_)
        if (source.drainUntilMs < 0)
            journal = &source;
    if (journal && (journal->file == now || !now.isValid())) {
        struct stat info = {};
        if (::fstat(journal->fd, &info) == 0 && info.st_size < journal->offset)
            journal->offset = 0; // truncated in place: what is there now is new
        return;
    }
    if (!now.isValid())
        return;
    if (journal)
        journal->drainUntilMs = nowMs + DrainMs;
    open(path_, 0, -1);
}

void JournalFollower::read(Source &source, QVector<JournalLine> &lines)
{
    std::vector<char> chunk(ChunkBytes);
    QByteArray pending; // read, after the last whole line
    for (;;) {
        const ssize_t count =
            ::pread(source.fd, chunk.data(), chunk.size(), off_t(source.offset + pending.size()));
        if (count <= 0)
            break;
        pending.append(chunk.data(), int(count));
        int start = 0;
        for (int newline = pending.indexOf('\n'); newline >= 0;
             newline = pending.indexOf('\n', start)) {
            source.offset += newline + 1 - start;
            if (newline > start)
                lines.append({pending.mid(start, newline - start), source.file, source.offset});
            start = newline + 1;
        }
        pending.remove(0, start);
        if (count < ssize_t(chunk.size()))
            break;
    }
}

void JournalFollower::closeDrained(qint64 nowMs)
{
    for (int i = sources_.size() - 1; i >= 0; --i) {
        const Source &source = sources_.at(i);
        if (source.drainUntilMs >= 0 && nowMs >= source.drainUntilMs) {
            ::close(source.fd);
            sources_.remove(i);
        }
    }
}

} // namespace records
