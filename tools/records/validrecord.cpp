#include "records/validrecord.h"

namespace records {

namespace {

bool hasText(const QJsonObject &record, const char *key)
{
    const QJsonValue value = record.value(QLatin1String(key));
    return value.isString() && !value.toString().trimmed().isEmpty();
}

} // namespace

bool validRecord(const QJsonObject &record, QString *why)
{
    if (!hasText(record, "station"))
        *why = QStringLiteral("no station");
    else if (!hasText(record, "status"))
        *why = QStringLiteral("no status");
    else
        return true;
    return false;
}

bool looksLikeJournal(int records, int notRecords)
{
    // A station that crashed twice leaves two torn lines in a short journal.
    constexpr int TornLinesTolerated = 2;
    return records > 0 && (notRecords <= TornLinesTolerated || notRecords <= records);
}

} // namespace records
