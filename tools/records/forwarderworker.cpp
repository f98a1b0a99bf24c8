#include "records/forwarderworker.h"

#include "records/journal.h"
#include "records/recordstore.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QJsonDocument>
#include <QSqlDatabase>

#include <algorithm>

namespace records {

namespace {

// Records per transaction; between batches the thread's events (new lines,
// a stop) are served.
constexpr int BatchSize = 500;
// The cursor is written at most this often: behind is safe, only slower.
constexpr int CursorSaveMs = 1000;

QString nextConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("kvt-records-forwarder-%1").arg(counter.fetchAndAddRelaxed(1));
}

// A line the database can hold; anything else (a torn line, a stray object)
// is passed over.
bool parseRecord(const QByteArray &line, BoardRecord *record)
{
    return BoardRecord::fromLine(line, record) && record->isValid();
}

qint64 endedOf(const QByteArray &line)
{
    BoardRecord record;
    BoardRecord::fromLine(line, &record);
    const QDateTime ended = QDateTime::fromString(record.ended, Qt::ISODateWithMs);
    return ended.isValid() ? ended.toMSecsSinceEpoch() : QDateTime::currentMSecsSinceEpoch();
}

} // namespace

ForwarderWorker::ForwarderWorker(const Settings &settings, StatusMailbox *mailbox)
    : settings_(settings), mailbox_(mailbox), connection_(nextConnectionName()),
      follower_(settings.journalPath),
      cursor_(settings.journalPath, describeDatabase(settings.url)),
      delayMs_(settings.firstDelayMs), retry_(this), poll_(this), cursorSave_(this),
      releaseWatch_(settings.watchedSha256, settings.releaseCheckMs, this)
{
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &ForwarderWorker::attempt);
    // Another process may write the journal, and a nudge may have come
    // before the line was whole.
    poll_.setInterval(settings.pollMs);
    connect(&poll_, &QTimer::timeout, this, &ForwarderWorker::journalGrew);
    cursorSave_.setSingleShot(true);
    connect(&cursorSave_, &QTimer::timeout, this, &ForwarderWorker::saveCursor);
    connect(&releaseWatch_, &ReleaseWatch::due, this, &ForwarderWorker::checkRelease);
}

void ForwarderWorker::begin()
{
    clock_.start();
    marks_ = cursor_.load();
    follower_.resume(marks_);
    poll_.start();
    releaseWatch_.start();
    attempt();
}

void ForwarderWorker::journalGrew()
{
    if (finished_)
        return;
    // While the database is away the lines are counted, not sent.
    if (retry_.isActive()) {
        readJournal();
        publish();
    } else {
        scheduleAttempt();
    }
}

void ForwarderWorker::finish(int drainMs)
{
    QElapsedTimer draining;
    draining.start();
    QString ignored;
    while (drainMs > 0 && !retry_.isActive() && draining.elapsed() < drainMs) {
        readJournal();
        if (queue_.empty() || !connectToDatabase(&ignored) || !sendBatch(&ignored))
            break;
    }
    readJournal(); // the final count includes what was written last
    finished_ = true;
    retry_.stop();
    poll_.stop();
    cursorSave_.stop();
    releaseWatch_.stop();
    saveCursor();
    closeConnection();
    presence_.release();
    publish();
    mailbox_->finished();
}

void ForwarderWorker::scheduleAttempt()
{
    if (attemptScheduled_)
        return;
    attemptScheduled_ = true;
    // A burst of lines goes in one transaction: the attempt runs after the
    // calls already queued behind this one.
    QMetaObject::invokeMethod(
        this,
        [this] {
            attemptScheduled_ = false;
            attempt();
        },
        Qt::QueuedConnection);
}

void ForwarderWorker::readJournal()
{
    const QVector<JournalLine> lines = follower_.readNew(clock_.elapsed());
    queue_.insert(queue_.end(), lines.cbegin(), lines.cend());
}

void ForwarderWorker::attempt()
{
    if (finished_)
        return;
    readJournal();
    QString error;
    if (!connectToDatabase(&error) || !sendBatch(&error)) {
        retryLater(error);
        return;
    }
    delayMs_ = settings_.firstDelayMs;
    reason_.clear();
    if (!queue_.empty())
        scheduleAttempt();
    publish();
}

bool ForwarderWorker::connectToDatabase(QString *error)
{
    bool claimed = !twin_;
    if (!open_) {
        if (!openDatabase(settings_.url, connection_, error))
            return false;
        open_ = true;
        claimed = false; // a PostgreSQL claim went with the old connection
        // The release may have been withdrawn while the database was away.
        releaseWatch_.check(QSqlDatabase::database(connection_, false));
    }
    const QSqlDatabase db = QSqlDatabase::database(connection_, false);
    RecordStore store(db);
    if (!cursorChecked_) {
        if (!store.ensureSchema(error) || !checkCursor(store, error))
            return false;
        cursorChecked_ = true;
    }
    if (!claimed)
        twin_ = !presence_.claim(db, settings_.url, settings_.station);
    return true;
}

// A cursor speaks of one database; one restored from a backup, or made anew,
// lacks what the cursor says it holds: everything goes again.
bool ForwarderWorker::checkCursor(RecordStore &store, QString *error)
{
    for (const CursorMark &mark : qAsConst(marks_)) {
        bool held = false;
        if (!store.holds(mark.lastId, &held, error))
            return false;
        if (!held) {
            marks_.clear();
            queue_.clear();
            follower_.restart();
            readJournal();
            break;
        }
    }
    return true;
}

// One batch from the front of the queue. A batch the database refuses while
// it answers otherwise holds a record it cannot take (a value its type
// refuses): halves find it, and it is set aside rather than stop every record
// behind it. It stays in the journal.
bool ForwarderWorker::sendBatch(QString *error)
{
    RecordStore store(QSqlDatabase::database(connection_, false));
    int size = qMin(BatchSize, int(queue_.size()));
    QStringList ids; // of each line of the batch; empty for a line that is no record
    for (bool sent = size == 0; !sent;) {
        QVector<BoardRecord> records;
        ids.clear();
        for (int i = 0; i < size; ++i) {
            BoardRecord record;
            const bool valid = parseRecord(queue_.at(size_t(i)).text, &record);
            ids.append(valid ? record.identity() : QString());
            if (valid)
                records.append(record);
        }
        sent = records.isEmpty() || store.insert(records, error);
        if (sent)
            break;
        if (!store.answers())
            return false;
        if (size == 1) {
            ++refused_;
            break;
        }
        size /= 2;
    }
    for (int i = 0; i < size; ++i) {
        if (!ids.at(i).isEmpty())
            confirm(queue_.front(), ids.at(i));
        queue_.pop_front();
    }
    return true;
}

void ForwarderWorker::confirm(const JournalLine &line, const QString &id)
{
    auto mark = std::find_if(marks_.begin(), marks_.end(),
                             [&](const CursorMark &m) { return m.file == line.file; });
    if (mark == marks_.end())
        marks_.append({line.file, line.end, id});
    else
        *mark = {line.file, line.end, id};
    saveCursorSoon();
}

void ForwarderWorker::saveCursorSoon()
{
    if (cursorSave_.isActive())
        return;
    const qint64 since = savedAtMs_ < 0 ? CursorSaveMs : clock_.elapsed() - savedAtMs_;
    cursorSave_.start(int(qBound<qint64>(0, CursorSaveMs - since, CursorSaveMs)));
}

// Marks of files that are gone (a rotated journal compressed or deleted)
// are of no use at the next start.
void ForwarderWorker::saveCursor()
{
    QVector<JournalFile> present{JournalFile::ofPath(settings_.journalPath)};
    for (const QString &sibling : journalSiblings(settings_.journalPath))
        present.append(JournalFile::ofPath(sibling));
    marks_.erase(
        std::remove_if(marks_.begin(), marks_.end(),
                       [&](const CursorMark &mark) { return !present.contains(mark.file); }),
        marks_.end());
    cursor_.save(marks_);
    savedAtMs_ = clock_.isValid() ? clock_.elapsed() : 0;
}

void ForwarderWorker::retryLater(const QString &reason)
{
    // The connection may be broken (a restarted server): open a new one.
    closeConnection();
    reason_ = reason;
    releaseWatch_.outOfReach(reason);
    retry_.start(delayMs_);
    delayMs_ = qMin(delayMs_ * 2, settings_.longestDelayMs);
    publish();
}

void ForwarderWorker::closeConnection()
{
    if (!QSqlDatabase::contains(connection_))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(connection_);
    open_ = false;
}

void ForwarderWorker::publish()
{
    ForwarderStatus status;
    status.pending = int(queue_.size());
    status.reason = reason_;
    status.connected = open_;
    status.caughtUp = open_ && reason_.isEmpty() && queue_.empty();
    status.twin = twin_;
    status.station = settings_.station;
    status.refused = refused_;
    status.releaseWatched = releaseWatch_.isOn();
    status.release = releaseWatch_.state();
    if (!queue_.empty()) {
        status.oldestSince = endedOf(queue_.front().text);
        status.oldestAgeMs = QDateTime::currentMSecsSinceEpoch() - status.oldestSince;
    }
    mailbox_->post(status);
    emit statusPosted();
}

// While the database is away the retry reads the state when it reconnects; a
// connection found broken here is given up, so that one is made again.
void ForwarderWorker::checkRelease()
{
    if (finished_ || !open_)
        return;
    const ReleaseState before = releaseWatch_.state();
    if (!releaseWatch_.check(QSqlDatabase::database(connection_, false)))
        return retryLater(releaseWatch_.state().why);
    if (!(releaseWatch_.state() == before))
        publish();
}

void ForwarderWorker::answerQuestions()
{
    for (const PriorOkQuestion &question : settings_.questions->takeAll())
        settings_.answers->post(answer(question));
    emit answerPosted();
}

PriorOk ForwarderWorker::answer(const PriorOkQuestion &question)
{
    PriorOk answer;
    answer.question = question;
    QString error;
    if (!open_ || finished_)
        answer.why = reason_.isEmpty() ? QStringLiteral("the database is out of reach") : reason_;
    else if (!priorOk(QSqlDatabase::database(connection_, false), question, &answer, &error)) {
        answer.why = error;
        if (!RecordStore(QSqlDatabase::database(connection_, false)).answers())
            retryLater(error);
    }
    return answer;
}

} // namespace records
