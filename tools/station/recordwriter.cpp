#include "recordwriter.h"

#include <chrono>

namespace station {

RecordWriter::RecordWriter(QObject *parent) : QObject(parent) {}

// Its owner is going away: no news any more, only the thread's end. What was
// handed over gets its one last attempt.
RecordWriter::~RecordWriter()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool RecordWriter::open(const QString &path, QString *why)
{
    path_ = path;
    if (path_.isEmpty())
        return true;
    if (!file_.open(path_, why))
        return false;
    thread_ = std::thread(&RecordWriter::run, this);
    return true;
}

void RecordWriter::setRetryInterval(int ms)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    retryMs_ = ms;
}

void RecordWriter::submit(const records::BoardRecord &record)
{
    if (!isKeeping()) {
        // Nothing to wait for, but told as the disk's news would be: later.
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            written_.append(record);
        }
        QMetaObject::invokeMethod(this, "takeNews", Qt::QueuedConnection);
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        queue_.append(record);
    }
    wake_.notify_all();
}

void RecordWriter::retry()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        retryNow_ = true;
    }
    wake_.notify_all();
}

QVector<records::BoardRecord> RecordWriter::unwritten() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return queue_;
}

void RecordWriter::finish(int ms)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        retryMs_ = qMin(retryMs_, ms);
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    takeNews();
}

// Waits for records, writes all that are there at once, and tells. While
// held it tries again after the retry interval, or when asked; asked to
// stop, it makes one last attempt at every record handed over.
void RecordWriter::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const auto due = [this] {
            return stopping_ || (!queue_.isEmpty() && (failure_.isEmpty() || retryNow_));
        };
        if (failure_.isEmpty())
            wake_.wait(lock, due);
        else
            wake_.wait_for(lock, std::chrono::milliseconds(retryMs_), due);
        if (!queue_.isEmpty())
            writeBatch(lock);
        // Records handed over while the last batch went to the disk get
        // their attempt too, unless the disk has just refused one.
        if (stopping_ && (queue_.isEmpty() || !failure_.isEmpty()))
            return;
    }
}

void RecordWriter::writeBatch(std::unique_lock<std::mutex> &lock)
{
    const QVector<records::BoardRecord> batch = queue_;
    retryNow_ = false;
    lock.unlock();
    QString why;
    const int whole = file_.append(batch, &why);
    lock.lock();
    written_ += batch.mid(0, whole);
    queue_.remove(0, whole);
    failure_ = whole < batch.size() ? QStringLiteral("the record cannot be written: %1").arg(why)
                                    : QString();
    // Posted by name and without arguments: Qt builds the event, and what it
    // carries crosses under the mutex, where the thread sanitizer sees the
    // hand-over (a functor built on this thread would not be seen so).
    QMetaObject::invokeMethod(this, "takeNews", Qt::QueuedConnection);
}

void RecordWriter::takeNews()
{
    QVector<records::BoardRecord> done;
    QString failure;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        done.swap(written_);
        failure = failure_;
    }
    for (const records::BoardRecord &record : qAsConst(done))
        emit written(record);
    if (failure != error_) {
        error_ = failure;
        emit heldChanged(error_);
    }
}

} // namespace station
