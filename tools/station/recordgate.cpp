#include "recordgate.h"

namespace station {

namespace {

constexpr int RetryMs = 3000;

} // namespace

RecordGate::RecordGate(QObject *parent) : QObject(parent), retry_(this)
{
    retry_.setInterval(RetryMs);
    connect(&retry_, &QTimer::timeout, this, &RecordGate::flush);
}

bool RecordGate::open(const QString &path, QString *why)
{
    path_ = path;
    return path_.isEmpty() || file_.open(path_, why);
}

void RecordGate::submit(const QJsonObject &record)
{
    queue_.append(record);
    flush();
}

void RecordGate::flush()
{
    while (!queue_.isEmpty()) {
        QString why;
        if (isKeeping() && !file_.append(queue_.first(), &why)) {
            setError(QStringLiteral("the record cannot be written: %1").arg(why));
            return;
        }
        const QJsonObject record = queue_.takeFirst();
        emit written(record);
    }
    setError({});
}

void RecordGate::setError(const QString &error)
{
    error.isEmpty() ? retry_.stop() : retry_.start();
    if (error == error_)
        return;
    error_ = error;
    emit heldChanged(error_);
}

} // namespace station
