#include "records/forwarder.h"

#include "records/forwarderworker.h"

namespace records {

namespace {

QString ageText(qint64 ageMs)
{
    const qint64 minutes = ageMs / 60000;
    return minutes < 1     ? QStringLiteral("under a minute")
           : minutes < 120 ? QStringLiteral("%1 min").arg(minutes)
                           : QStringLiteral("%1 h").arg(minutes / 60);
}

QString backlogText(const ForwarderStatus &status)
{
    if (status.pending > 0) {
        const QString count = status.pending == 1
                                  ? QStringLiteral("1 record")
                                  : QStringLiteral("%1 records").arg(status.pending);
        QString text = QStringLiteral("%1 not yet in the database (oldest %2)")
                           .arg(count, ageText(status.oldestAgeMs));
        return status.reason.isEmpty() ? text : text + QStringLiteral(": ") + status.reason;
    }
    if (!status.reason.isEmpty())
        return QStringLiteral("the database cannot be used: %1; records wait in the journal")
            .arg(status.reason);
    return {};
}

} // namespace

QString databaseMessage(const ForwarderStatus &status)
{
    QStringList parts;
    const QString backlog = backlogText(status);
    if (!backlog.isEmpty())
        parts.append(backlog);
    if (status.twin)
        parts.append(QStringLiteral("another station named %1 forwards into the same database: "
                                    "give each station its own --station name")
                         .arg(status.station));
    if (status.refused > 0)
        parts.append(QStringLiteral("%1 record(s) refused by the database, kept in the journal")
                         .arg(status.refused));
    return parts.join(QStringLiteral("; "));
}

Forwarder::Forwarder(const QString &journalPath, const QString &databaseUrl, const QString &station,
                     QObject *parent)
    : QObject(parent), journalPath_(journalPath), databaseUrl_(databaseUrl), station_(station),
      mailbox_(std::make_unique<StatusMailbox>()),
      questions_(std::make_unique<Mailbox<PriorOkQuestion>>()),
      answers_(std::make_unique<Mailbox<PriorOk>>())
{
    qRegisterMetaType<records::ForwarderStatus>();
    qRegisterMetaType<records::PriorOk>();
    thread_.setObjectName(QStringLiteral("records forwarder"));
}

Forwarder::~Forwarder()
{
    stop();
}

void Forwarder::setRetryDelays(int firstMs, int longestMs)
{
    firstDelayMs_ = firstMs;
    longestDelayMs_ = qMax(firstMs, longestMs);
}

bool Forwarder::start(QString *error)
{
    ForwarderWorker::Settings settings;
    if (!parseDatabaseUrl(databaseUrl_, &settings.url, error))
        return false;
    settings.journalPath = journalPath_;
    settings.station = station_;
    settings.firstDelayMs = firstDelayMs_;
    settings.longestDelayMs = longestDelayMs_;
    settings.pollMs = pollMs_;
    settings.watchedSha256 = watchedSha256_;
    settings.releaseCheckMs = releaseCheckMs_;
    settings.questions = questions_.get();
    settings.answers = answers_.get();
    std::lock_guard<std::mutex> lock(mutex_);
    if (worker_)
        return true;
    worker_ = new ForwarderWorker(settings, mailbox_.get());
    worker_->moveToThread(&thread_);
    connect(
        worker_, &ForwarderWorker::statusPosted, this,
        [this] { emit statusChanged(mailbox_->latest()); }, Qt::QueuedConnection);
    connect(worker_, &ForwarderWorker::answerPosted, this, &Forwarder::tellAnswers,
            Qt::QueuedConnection);
    // The worker ends on its own thread, after its last event.
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.start();
    // Calls cross to the worker's thread by name, so that Qt builds their
    // events: a functor built here and read there is handed over behind Qt's
    // own locks, which the thread sanitizer cannot see, and would be reported.
    QMetaObject::invokeMethod(worker_, "begin", Qt::QueuedConnection);
    return true;
}

void Forwarder::stop(int drainMs)
{
    ForwarderWorker *worker = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(worker, worker_);
    }
    if (!worker)
        return;
    // The worker closes its connection on its own thread, between two
    // batches at most; a retry timer is simply dropped.
    const quint64 ticket = mailbox_->askFinish();
    QMetaObject::invokeMethod(worker, "finish", Qt::QueuedConnection, Q_ARG(int, drainMs));
    mailbox_->waitFinished(ticket);
    thread_.quit();
    thread_.wait();
}

ForwarderStatus Forwarder::status() const
{
    return mailbox_->latest();
}

void Forwarder::journalGrew()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (worker_)
        QMetaObject::invokeMethod(worker_, "journalGrew", Qt::QueuedConnection);
}

void Forwarder::askPriorOk(const PriorOkQuestion &question)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (worker_) {
        questions_->post(question);
        QMetaObject::invokeMethod(worker_, "answerQuestions", Qt::QueuedConnection);
        return;
    }
    PriorOk answer;
    answer.question = question;
    answer.why = QStringLiteral("records are not forwarded");
    answers_->post(answer);
    QMetaObject::invokeMethod(this, &Forwarder::tellAnswers, Qt::QueuedConnection);
}

void Forwarder::tellAnswers()
{
    for (const PriorOk &answer : answers_->takeAll())
        emit priorOkAnswered(answer);
}

} // namespace records
