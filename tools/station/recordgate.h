#pragma once

// The gate between boards and the record: a board's record is queued here and
// written in order; while a record cannot be written (a full disk, an I/O
// error, a file that cannot be made again) the gate is held, the station
// starts no new board, and the queued records are tried again every few
// seconds and at every event, so none is lost while the station runs.

#include "recordfile.h"

#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <QVector>

namespace station {

class RecordGate : public QObject
{
    Q_OBJECT

public:
    explicit RecordGate(QObject *parent = nullptr);

    // An empty path keeps no record: every record then counts as written.
    bool open(const QString &path, QString *why);
    bool isKeeping() const { return !path_.isEmpty(); }
    QString path() const { return path_; }

    // Queues the record and writes what is queued.
    void submit(const QJsonObject &record);
    // Writes what is queued, in order, until one fails.
    void flush();
    bool isHeld() const { return !error_.isEmpty(); }
    // Why the record cannot be written; empty when it can.
    QString error() const { return error_; }
    // What is queued: the records not written yet.
    const QVector<QJsonObject> &unwritten() const { return queue_; }
    void setRetryInterval(int ms) { retry_.setInterval(ms); }

signals:
    void written(const QJsonObject &record);
    // The record began or stopped failing, or fails for another reason.
    void heldChanged(const QString &error);

private:
    void setError(const QString &error);

    QString path_;
    RecordFile file_;
    QVector<QJsonObject> queue_;
    QString error_;
    QTimer retry_;
};

} // namespace station
