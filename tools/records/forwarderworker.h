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

namespace records {

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
    explicit ForwarderWorker(const Settings &settings);

public slots:
    void begin();
    void enqueue(const QJsonObject &record);
    // Closes and forgets the connection; nothing is sent after it.
    void finish();

signals:
    void statusChanged(const records::ForwarderStatus &status);

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
