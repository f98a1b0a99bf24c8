#pragma once

// The forwarder's half that lives on its thread: it owns the named database
// connection, follows the journal and keeps the cursor.

#include "records/databaseurl.h"
#include "records/forwarder.h"
#include "records/journalfollower.h"
#include "records/releasewatch.h"
#include "records/stationpresence.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace records {

class RecordStore;

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
    // The forwarder asks the worker to finish and waits here until it has:
    // a blocking queued call would pass its argument by a pointer into the
    // caller's stack and release the caller through Qt's own semaphore,
    // both unseen by the thread sanitizer.
    quint64 askFinish()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return ++finishesAsked_;
    }
    void finished()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finishesDone_ = finishesAsked_;
        finishedChanged_.notify_all();
    }
    void waitFinished(quint64 ticket)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        finishedChanged_.wait(lock, [this, ticket] { return finishesDone_ >= ticket; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable finishedChanged_;
    ForwarderStatus status_;
    quint64 finishesAsked_ = 0;
    quint64 finishesDone_ = 0;
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
        int pollMs = 2000;
        QString watchedSha256; // empty: no release watched
        int releaseCheckMs = 30000;
        Mailbox<PriorOkQuestion> *questions = nullptr; // outlive the worker
        Mailbox<PriorOk> *answers = nullptr;
    };
    // `mailbox` outlives the worker.
    ForwarderWorker(const Settings &settings, StatusMailbox *mailbox);

public slots:
    void begin();
    void journalGrew();
    // Sends for up to `drainMs` while the database takes records, keeps the
    // cursor, closes and forgets the connection; nothing is sent after it.
    void finish(int drainMs);
    // Answers the questions in the mailbox; cannot tell while the database
    // is out of reach.
    void answerQuestions();

signals:
    // A new status is in the mailbox.
    void statusPosted();
    // New answers are in theirs.
    void answerPosted();

private:
    void readJournal();
    void scheduleAttempt();
    void attempt();
    bool connectToDatabase(QString *error);
    bool checkCursor(RecordStore &store, QString *error);
    bool sendBatch(QString *error);
    void confirm(const JournalLine &line, const QString &id);
    void saveCursorSoon();
    void saveCursor();
    void retryLater(const QString &reason);
    void closeConnection();
    void publish();
    void checkRelease();
    PriorOk answer(const PriorOkQuestion &question);

    Settings settings_;
    StatusMailbox *mailbox_;
    QString connection_;
    JournalFollower follower_;
    JournalCursor cursor_;
    QVector<CursorMark> marks_; // how far each file is in the database
    StationPresence presence_;
    QElapsedTimer clock_;
    std::deque<JournalLine> queue_; // read, not yet confirmed; in the journal's order
    bool open_ = false;
    bool cursorChecked_ = false;
    bool finished_ = false;
    bool attemptScheduled_ = false;
    bool twin_ = false;
    int batchSize_;
    int refused_ = 0;
    QString reason_;
    int delayMs_;
    QTimer retry_; // children, so that they move to the thread with the worker
    QTimer poll_;
    QTimer cursorSave_;
    ReleaseWatch releaseWatch_;
    qint64 savedAtMs_ = -1;
};

} // namespace records
