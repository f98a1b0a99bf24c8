#include "records/forwarder.h"

#include "records/forwarderworker.h"

namespace records {

QString backlogMessage(const ForwarderStatus &status)
{
    if (status.pending == 0)
        return QString();
    const qint64 minutes = status.oldestAgeMs / 60000;
    const QString age = minutes < 1     ? QStringLiteral("under a minute")
                        : minutes < 120 ? QStringLiteral("%1 min").arg(minutes)
                                        : QStringLiteral("%1 h").arg(minutes / 60);
    const QString count = status.pending == 1 ? QStringLiteral("1 record")
                                              : QStringLiteral("%1 records").arg(status.pending);
    QString text = QStringLiteral("%1 not yet in the database (oldest %2)").arg(count, age);
    if (!status.reason.isEmpty())
        text += QStringLiteral(": ") + status.reason;
    return text;
}

Forwarder::Forwarder(const QString &journalPath, const QString &databaseUrl, const QString &station,
                     QObject *parent)
    : QObject(parent), journalPath_(journalPath), databaseUrl_(databaseUrl), station_(station),
      mailbox_(std::make_unique<StatusMailbox>())
{
    qRegisterMetaType<records::ForwarderStatus>();
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
    std::lock_guard<std::mutex> lock(mutex_);
    if (worker_)
        return true;
    worker_ = new ForwarderWorker(settings, mailbox_.get());
    worker_->moveToThread(&thread_);
    connect(
        worker_, &ForwarderWorker::statusPosted, this,
        [this] { emit statusChanged(mailbox_->latest()); }, Qt::QueuedConnection);
    // The worker ends on its own thread, after its last event.
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.start();
    QMetaObject::invokeMethod(worker_, &ForwarderWorker::begin, Qt::QueuedConnection);
    return true;
}

void Forwarder::stop()
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
    QMetaObject::invokeMethod(worker, &ForwarderWorker::finish, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void Forwarder::forward(const QJsonObject &record)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // Qt copies the record into the event it queues to the worker's thread.
    if (worker_)
        QMetaObject::invokeMethod(worker_, "enqueue", Qt::QueuedConnection,
                                  Q_ARG(QJsonObject, record));
}

} // namespace records
