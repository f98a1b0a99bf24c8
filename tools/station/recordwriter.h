#pragma once

// The gate between boards and the record, and the one place that waits on
// the disk. A board's record is handed over and written on a thread of the
// writer's own, so neither a window nor a terminal waits for a sync: the
// records that end together are written together with one sync (a group
// commit). While a record cannot be written (a full disk, an I/O error, a
// file that cannot be made again) the gate is held, the station starts no
// new board, and the records are tried again every few seconds and whenever
// the station asks, so none is lost while the station runs.
//
// Its news (written records, a hold that begins or ends) reaches the owner's
// thread as signals, in the order it happened.

#include "recordfile.h"

#include <QObject>
#include <QString>
#include <QVector>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace station {

class RecordWriter : public QObject
{
    Q_OBJECT

public:
    explicit RecordWriter(QObject *parent = nullptr);
    ~RecordWriter() override; // ends the thread; what is unwritten stays so

    // Opens the record (synchronously, before the writer's thread starts);
    // an empty path keeps no record: every record then counts as written.
    bool open(const QString &path, QString *why);
    bool isKeeping() const { return !path_.isEmpty(); }
    QString path() const { return path_; }
    void setRetryInterval(int ms);

    // Returns at once; written() tells when the record is on the disk.
    void submit(const records::BoardRecord &record);
    // Tries a held record again now.
    void retry();
    bool isHeld() const { return !error_.isEmpty(); }
    // Why records cannot be written; empty when they can.
    QString error() const { return error_; }
    // Handed over, not yet on the disk: oldest first.
    QVector<records::BoardRecord> unwritten() const;
    // For a process that ends: gives the thread up to `ms` to write what
    // was handed over, then ends it; the news comes before this returns.
    void finish(int ms);

signals:
    void written(const records::BoardRecord &record);
    // Records began or stopped failing, or fail for another reason.
    void heldChanged(const QString &error);

private slots:
    void takeNews(); // on the owner's thread, posted by the writer's

private:
    void run();
    void writeBatch(std::unique_lock<std::mutex> &lock);

    QString path_;
    RecordFile file_; // the thread's alone once it runs
    QString error_;   // as last told on the owner's thread

    // Shared with the thread, under mutex_.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    QVector<records::BoardRecord> queue_;   // handed over, not yet written
    QVector<records::BoardRecord> written_; // written, not yet told
    QString failure_;                       // the last attempt's reason; empty when it wrote all
    bool retryNow_ = false;
    bool stopping_ = false;
    int retryMs_ = 3000;
    std::thread thread_;
};

} // namespace station
