#include "records/forwarderworker.h"

#include "records/journal.h"
#include "records/recordstore.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QSqlDatabase>

#include <algorithm>

namespace records {

namespace {

// Records per transaction; between batches the thread's events (new records,
// a stop) are served.
constexpr int BatchSize = 500;

QString nextConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("kvt-records-forwarder-%1").arg(counter.fetchAndAddRelaxed(1));
}

qint64 endedOf(const QJsonObject &record)
{
    const QDateTime ended =
        QDateTime::fromString(record.value(QLatin1String("ended")).toString(), Qt::ISODateWithMs);
    return ended.isValid() ? ended.toMSecsSinceEpoch() : QDateTime::currentMSecsSinceEpoch();
}

} // namespace

ForwarderWorker::ForwarderWorker(const Settings &settings, StatusMailbox *mailbox)
    : settings_(settings), mailbox_(mailbox), connection_(nextConnectionName()),
      delayMs_(settings.firstDelayMs), retry_(this)
{
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &ForwarderWorker::attempt);
}

void ForwarderWorker::begin()
{
    attempt();
}

void ForwarderWorker::enqueue(const QJsonObject &record)
{
    if (finished_)
        return;
    addPending(record);
    // A burst of records goes in one transaction: the attempt runs after the
    // calls already queued behind this one.
    if (!retry_.isActive())
        scheduleAttempt();
    else
        publish();
}

void ForwarderWorker::finish()
{
    finished_ = true;
    retry_.stop();
    closeConnection();
}

void ForwarderWorker::scheduleAttempt()
{
    if (attemptScheduled_)
        return;
    attemptScheduled_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            attemptScheduled_ = false;
            attempt();
        },
        Qt::QueuedConnection);
}

void ForwarderWorker::attempt()
{
    if (finished_)
        return;
    QString error;
    if (!connectAndCatchUp(&error) || !sendBatch(&error)) {
        retryLater(error);
        return;
    }
    delayMs_ = settings_.firstDelayMs;
    reason_.clear();
    if (!queue_.isEmpty())
        scheduleAttempt();
    publish();
}

bool ForwarderWorker::connectAndCatchUp(QString *error)
{
    if (!open_) {
        if (!openDatabase(settings_.url, connection_, error))
            return false;
        open_ = true;
    }
    if (caughtUp_)
        return true;
    RecordStore store(QSqlDatabase::database(connection_, false));
    qint64 highest = -1;
    if (!store.ensureSchema(error) || !store.highestSeq(settings_.station, &highest, error))
        return false;
    takeJournalBacklog(highest);
    sentThrough_ = highest;
    caughtUp_ = true;
    return true;
}

void ForwarderWorker::takeJournalBacklog(qint64 highestInDatabase)
{
    // Records handed over before the database answered may already be in it.
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                [&](const Pending &p) {
                                    if (p.seq > highestInDatabase)
                                        return false;
                                    queuedIds_.remove(recordId(p.record));
                                    return true;
                                }),
                 queue_.end());
    JournalContents journal;
    QString unreadable;
    // A journal not yet written is no backlog.
    if (!readJournal(settings_.journalPath, &journal, &unreadable))
        return;
    for (const QJsonObject &record : qAsConst(journal.records)) {
        const QJsonValue seq = record.value(QLatin1String("seq"));
        if (record.value(QLatin1String("station")).toString() == settings_.station &&
            seq.isDouble() && qint64(seq.toDouble()) > highestInDatabase)
            addPending(record);
    }
}

bool ForwarderWorker::sendBatch(QString *error)
{
    if (queue_.isEmpty())
        return true;
    const int size = qMin(BatchSize, queue_.size());
    QVector<QJsonObject> batch;
    batch.reserve(size);
    for (int i = 0; i < size; ++i)
        batch.append(queue_.at(i).record);
    RecordStore store(QSqlDatabase::database(connection_, false));
    // Only what the database confirmed leaves the queue; when the answer to a
    // commit is lost, the batch goes again and the database drops the copies.
    if (!store.insert(batch, error))
        return false;
    for (const QJsonObject &record : qAsConst(batch))
        queuedIds_.remove(recordId(record));
    sentThrough_ = qMax(sentThrough_, queue_.at(size - 1).seq);
    queue_.remove(0, size);
    return true;
}

void ForwarderWorker::retryLater(const QString &reason)
{
    // The connection may be broken (a restarted server): open a new one.
    closeConnection();
    reason_ = reason;
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

void ForwarderWorker::addPending(const QJsonObject &record)
{
    const QString id = recordId(record);
    const QJsonValue seqValue = record.value(QLatin1String("seq"));
    const Pending pending{record, seqValue.isDouble() ? qint64(seqValue.toDouble()) : -1,
                          endedOf(record)};
    // Handed over after the journal's backlog already carried it.
    const bool alreadySent = caughtUp_ && pending.seq >= 0 && pending.seq <= sentThrough_;
    if (alreadySent || queuedIds_.contains(id))
        return;
    queuedIds_.insert(id);
    const auto place =
        std::upper_bound(queue_.begin(), queue_.end(), pending.seq,
                         [](qint64 seq, const Pending &other) { return seq < other.seq; });
    queue_.insert(place, pending);
}

void ForwarderWorker::publish()
{
    ForwarderStatus status;
    status.pending = queue_.size();
    status.reason = reason_;
    status.caughtUp = caughtUp_ && queue_.isEmpty();
    if (!queue_.isEmpty()) {
        const auto oldest =
            std::min_element(queue_.cbegin(), queue_.cend(),
                             [](const Pending &a, const Pending &b) { return a.since < b.since; });
        status.oldestSince = oldest->since;
        status.oldestAgeMs = QDateTime::currentMSecsSinceEpoch() - oldest->since;
    }
    mailbox_->post(status);
    emit statusPosted();
}

} // namespace records
