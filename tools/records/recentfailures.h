#pragma once

// The boards that failed, newest first: what a production manager looks at
// first, to see whether one station, slot or batch of boards is behind them.

#include "records/summary.h"

#include "records/boardrecord.h"

#include <QSqlDatabase>
#include <QVector>

namespace records {

// At most `limit` records that ended neither ok nor stopped, started in
// `range`, newest first.
bool recentFailures(const QSqlDatabase &db, const SummaryRange &range, int limit,
                    QVector<BoardRecord> *failed, QString *error);

} // namespace records
