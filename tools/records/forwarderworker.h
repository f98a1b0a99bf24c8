#pragma once

// The forwarder's half that lives on its thread: it owns the named database
// connection and the queue of records waiting to go in.

#include "records/databaseurl.h"
#include "records/forwarder.h"

#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QVector>

#include <mutex>

namespace records {

// Carries the worker's latest status to the forwarder's thread. A plain
// queued argument would cross threads inside Qt's event queue, where the
// thread sanitizer cannot see the hand-over; a standard mutex (QMutex locks
// inside Qt too) makes it visible.
class StatusMailbox
{
public:
    void post(const ForwarderStatus &status)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
    }
    ForwarderStatus latest() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }

private:
    mutable std::mutex mutex_;
    ForwarderStatus status_;
};

class ForwarderWorker : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        QString journalPath;
        DatabaseUrl url;
        QString station;
        int firstDelayMs = 500;
        int longestDelayMs = 5000;
    };
    // `mailbox` outlives the worker.
    ForwarderWorker(const Settings &settings, StatusMailbox *mailbox);

public slots:
    void begin();
    void enqueue(const QJsonObject &record);
    // Closes and forgets the connection; nothing is sent after it.
    void finish();

signals:
    // A new status is in the mailbox.
    void statusPosted();

private:
    struct Pending
    {
        QJsonObject record;
        qint64 seq;
        qint64 since; // ms since the epoch
    };

    void scheduleAttempt();
    void attempt();
    bool connectAndCatchUp(QString *error);
    void takeJournalBacklog(qint64 highestInDatabase);
    bool sendBatch(QString *error);
    void retryLater(const QString &reason);
    void closeConnection();
    void addPending(const QJsonObject &record);
    void publish();

    Settings settings_;
    StatusMailbox *mailbox_;
    QString connection_;
    bool open_ = false;
    bool caughtUp_ = false; // the journal's backlog has been taken
    bool finished_ = false;
    bool attemptScheduled_ = false;
    qint64 sentThrough_ = -1; // every seq up to it is in the database
    QString reason_;
    int delayMs_;
    QTimer retry_;           // a child, so that it moves to the thread with the worker
    QVector<Pending> queue_; // in seq order
    QSet<QString> queuedIds_;
};

} // namespace records
