#include "records/releasewatch.h"

#include "records/recordstore.h"

namespace records {

ReleaseWatch::ReleaseWatch(const QString &sha256, int intervalMs, QObject *parent)
    : QObject(parent), sha256_(sha256), timer_(this)
{
    state_.why = QStringLiteral("not yet asked");
    timer_.setInterval(intervalMs);
    connect(&timer_, &QTimer::timeout, this, &ReleaseWatch::due);
}

void ReleaseWatch::start()
{
    if (isOn())
        timer_.start();
}

bool ReleaseWatch::check(const QSqlDatabase &db)
{
    if (!isOn())
        return true;
    state_ = readReleaseState(db, sha256_);
    return state_.kind != ReleaseState::CannotTell || RecordStore(db).answers();
}

void ReleaseWatch::outOfReach(const QString &why)
{
    if (!isOn())
        return;
    state_ = ReleaseState{};
    state_.why = why;
}

} // namespace records
