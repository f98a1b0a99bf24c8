#pragma once

// The station's record: one JSON object per board per line (JSON Lines),
// appended with a single write and flushed to the disk before the next board
// ends. Lines are never rewritten, so a crash or a power cut can lose at most
// the line being written; a reader skips a torn last line, and the next
// append ends it first so that it cannot swallow a whole record.
//
// The file is kept at its path, not at its inode: when log rotation renames
// or removes it while the station runs, the next append makes it anew.

#include "records/boardrecord.h"

#include <QString>
#include <QVector>

#include <sys/types.h>

namespace station {

class RecordFile
{
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Opens (creating it and its folders) the file for appending and ends a
    // torn last line; false with the system's reason, the file then closed.
    bool open(const QString &path, QString *why);
    bool isOpen() const { return fd_ >= 0; }
    QString path() const { return path_; }
    // A line each, each written whole, then one sync. Returns how many are
    // on the disk, in order; fewer than given with the system's reason. A
    // failed append may leave a torn line; the next one ends it first.
    int append(const QVector<records::BoardRecord> &batch, QString *why);
    // $XDG_STATE_HOME/kvt/records.jsonl, or ~/.local/state/kvt/records.jsonl.
    static QString defaultPath();

private:
    bool openAtPath(QString *why);
    bool stillAtPath() const;
    bool endTornLine(QString *why);
    bool writeWhole(const QByteArray &bytes, QString *why);
    void close();

    QString path_;
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    // The last line may be torn: after opening, and after a failed write.
    bool checkTail_ = true;
};

} // namespace station
