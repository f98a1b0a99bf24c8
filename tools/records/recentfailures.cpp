#include "records/recentfailures.h"

#include "records/recordstore.h"

#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace records {

bool recentFailures(const QSqlDatabase &db, const SummaryRange &range, int limit,
                    QVector<BoardRecord> *failed, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // Read backwards along the index on started: failures are a few in a
    // hundred, so the newest few are met long before the table's start.
    query.prepare(QStringLiteral("SELECT record FROM board_records WHERE started >= ? AND "
                                 "started < ? AND status NOT IN ('ok', 'stopped') "
                                 "ORDER BY started DESC, station, seq DESC LIMIT %1")
                      .arg(qMax(0, limit)));
    // A null QString binds as NULL, which no comparison matches; every
    // started text sorts from "" to before "~".
    query.addBindValue(range.since.isEmpty() ? QLatin1String("") : range.since);
    query.addBindValue(range.until.isEmpty() ? QStringLiteral("~") : range.until);
    if (!query.exec()) {
        *error =
            QStringLiteral("cannot read the failed boards: ") + query.lastError().text().trimmed();
        return false;
    }
    failed->clear();
    while (query.next())
        failed->append(storedRecord(query.value(0)));
    return true;
}

} // namespace records
