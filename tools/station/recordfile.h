#pragma once

// The station's record: one JSON object per board per line (JSON Lines),
// appended with a single write and flushed to the disk before the next board
// ends. Lines are never rewritten, so a crash or a power cut can lose at most
// the line being written; a reader skips a torn last line.

#include <QJsonObject>
#include <QString>

namespace station {

class RecordFile
{
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Opens (creating) the file for appending; false with the system's reason.
    bool open(const QString &path, QString *why);
    bool isOpen() const { return fd_ >= 0; }
    // One line, written whole and synced; false with the system's reason.
    bool append(const QJsonObject &record, QString *why);

    // Every whole line of a record file that parses as a JSON object; a torn
    // or damaged line is passed over.
    static QVector<QJsonObject> read(const QString &path);

private:
    int fd_ = -1;
};

} // namespace station
