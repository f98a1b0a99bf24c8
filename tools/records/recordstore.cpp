#include "records/recordstore.h"

#include "records/journal.h"
#include "records/recordschema.h"
#include "records/slotnames.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace records {

namespace {

// The indexed columns, in the order of the insert's values; an older table
// lacks the last two.
const QStringList Columns{"id",          "station", "seq",    "slot",    "label",   "usb_serial",
                          "file",        "sha256",  "status", "message", "started", "ended",
                          "duration_ms", "record",  "board",  "scanned"};
constexpr int IdentityColumnCount = 2;

// Rows per INSERT statement: several save round trips to a server, but Qt's
// SQLite driver looks each bound value up by name, a cost that grows with the
// square of the values in a statement; one row, prepared once, is quickest
// there (20,000 records: 0.9 s with one row, 1.2 s with 10 or 40).
constexpr int RowsPerStatementPostgres = 40;
constexpr int RowsPerStatementSqlite = 1;

bool fail(QString *error, const QString &what, const QSqlError &sqlError)
{
    *error = what + ": " + sqlError.text().simplified();
    return false;
}

QVariant textOrNull(const QString &text)
{
    return text.isEmpty() ? QVariant(QVariant::String) : QVariant(text);
}

QVariant numberOrNull(qint64 number)
{
    return number < 0 ? QVariant(QVariant::LongLong) : QVariant(number);
}

void bindRecord(QSqlQuery &query, const BoardRecord &record, bool identity)
{
    query.addBindValue(record.identity());
    query.addBindValue(record.station);
    query.addBindValue(numberOrNull(record.seq));
    query.addBindValue(textOrNull(record.slot));
    query.addBindValue(textOrNull(record.label));
    query.addBindValue(textOrNull(record.usb.serial));
    query.addBindValue(textOrNull(record.file));
    query.addBindValue(textOrNull(record.sha256));
    query.addBindValue(record.status);
    query.addBindValue(textOrNull(record.message));
    query.addBindValue(utcText(record.started));
    query.addBindValue(utcText(record.ended));
    query.addBindValue(numberOrNull(record.durationMs));
    query.addBindValue(QString::fromUtf8(record.toLine()));
    if (identity) {
        query.addBindValue(textOrNull(record.board));
        query.addBindValue(textOrNull(record.scanned));
    }
}

// "x,x,...,x", `count` times.
QString repeated(const QString &item, int count)
{
    QStringList items;
    for (int i = 0; i < count; ++i)
        items.append(item);
    return items.join(',');
}

QString insertSql(int rows, bool identity)
{
    const QStringList columns =
        identity ? Columns : QStringList(Columns.mid(0, Columns.size() - IdentityColumnCount));
    const QString row = '(' + repeated(QStringLiteral("?"), columns.size()) + ')';
    return QStringLiteral("INSERT INTO board_records (%1) VALUES %2 ON CONFLICT (id) DO NOTHING")
        .arg(columns.join(','), repeated(row, rows));
}

} // namespace

BoardRecord storedRecord(const QVariant &value)
{
    return BoardRecord::fromJson(QJsonDocument::fromJson(value.toString().toUtf8()).object());
}

namespace {

// "ab_c%" matched literally as a prefix.
QString likePrefix(const QString &text)
{
    QString escaped = text;
    escaped.replace('\\', QStringLiteral("\\\\"))
        .replace('%', QStringLiteral("\\%"))
        .replace('_', QStringLiteral("\\_"));
    return escaped + '%';
}

// "ab_c" matched literally, whole.
QString likeExactly(const QString &text)
{
    return likePrefix(text).chopped(1);
}

// Eight hex digits are as many as a person copies off a screen, and too many
// to match another image by chance among a factory's few hundred.
bool isShaPrefix(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{8,64}$"));
    return hex.match(text).hasMatch();
}

// A row of find's query (record, id, usb_serial, slot, label, station,
// sha256, board, scanned) that `text` names: an id by its start, a USB
// serial, label, station, board or scanned code whole, a slot by a whole
// part of its entry name (the screens show "1.1.7" for
// …-usb-0:1.1.7:1.0-port0), an image by its sha256 or its start.
bool matchesText(const QSqlQuery &row, const QString &text)
{
    const auto column = [&](int i) { return row.value(i).toString(); };
    const QString sha = column(6);
    return column(1).startsWith(text, Qt::CaseInsensitive) || column(2) == text ||
           column(4) == text || column(5) == text || column(7) == text || column(8) == text ||
           slotHasPart(column(3), text) || sha.compare(text, Qt::CaseInsensitive) == 0 ||
           (isShaPrefix(text) && sha.startsWith(text, Qt::CaseInsensitive));
}

} // namespace

bool RecordStore::isPostgres() const
{
    return db_.driverName() == QLatin1String("QPSQL");
}

bool RecordStore::createSchema(QString *error)
{
    return createRecordsSchema(db_, error);
}

bool RecordStore::ensureSchema(QString *error)
{
    QSqlQuery probe(db_);
    if (probe.exec(QStringLiteral("SELECT 1 FROM board_records WHERE 1 = 0")))
        return true;
    return createSchema(error);
}

bool RecordStore::insertChunk(QSqlQuery &query, const QVector<BoardRecord> &chunk, bool identity,
                              int *inserted, QString *error)
{
    for (const BoardRecord &record : chunk)
        bindRecord(query, record, identity);
    if (!query.exec())
        return fail(error, QStringLiteral("cannot insert records"), query.lastError());
    *inserted += qMax(0, query.numRowsAffected());
    return true;
}

// A failed statement is rolled back while the statements still exist:
// PostgreSQL frees none inside a failed transaction.
bool RecordStore::insertAll(const QVector<BoardRecord> &records, int *inserted, QString *error)
{
    const int RowsPerStatement = isPostgres() ? RowsPerStatementPostgres : RowsPerStatementSqlite;
    const bool identity = hasIdentityColumns(db_);
    // One statement prepared for full chunks and reused; the rest once.
    QSqlQuery full(db_);
    bool ok = records.size() < RowsPerStatement ||
              full.prepare(insertSql(RowsPerStatement, identity)) ||
              fail(error, QStringLiteral("cannot prepare the insert"), full.lastError());
    int first = 0;
    for (; ok && first + RowsPerStatement <= records.size(); first += RowsPerStatement)
        ok = insertChunk(full, records.mid(first, RowsPerStatement), identity, inserted, error);
    QSqlQuery rest(db_);
    if (ok && first < records.size())
        ok = (rest.prepare(insertSql(records.size() - first, identity)) ||
              fail(error, QStringLiteral("cannot prepare the insert"), rest.lastError())) &&
             insertChunk(rest, records.mid(first), identity, inserted, error);
    if (!ok)
        db_.rollback();
    return ok;
}

bool RecordStore::insert(const QVector<BoardRecord> &records, QString *error, int *inserted)
{
    int added = 0;
    // Asked before the transaction: a failed probe would end it in PostgreSQL.
    hasIdentityColumns(db_);
    if (!db_.transaction())
        return fail(error, QStringLiteral("cannot begin a transaction"), db_.lastError());
    if (!insertAll(records, &added, error))
        return false;
    if (!db_.commit())
        return fail(error, QStringLiteral("cannot commit"), db_.lastError());
    if (inserted)
        *inserted = added;
    return true;
}

bool RecordStore::holds(const QString &id, bool *held, QString *error)
{
    QSqlQuery query(db_);
    query.prepare(QStringLiteral("SELECT 1 FROM board_records WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec())
        return fail(error, QStringLiteral("cannot look for a record"), query.lastError());
    *held = query.next();
    return true;
}

bool RecordStore::answers()
{
    QSqlQuery query(db_);
    return query.exec(QStringLiteral("SELECT 1")) && query.next();
}

bool RecordStore::find(const QString &text, QVector<BoardRecord> *found, QString *error)
{
    QSqlQuery query(db_);
    query.setForwardOnly(true);
    // The LIKEs narrow; matchesText() decides, the same way in both
    // databases (SQLite's LIKE ignores case, PostgreSQL's does not).
    // An older table has no board or scanned column: its JSON is read instead.
    query.prepare(
        QStringLiteral("SELECT record, id, usb_serial, slot, label, station, sha256, %1, "
                       "%2 FROM board_records WHERE id LIKE ? ESCAPE '\\' OR "
                       "usb_serial = ? OR label = ? OR station = ? OR %1 = ? OR %2 = ? OR "
                       "lower(sha256) LIKE ? ESCAPE '\\' OR slot LIKE ? ESCAPE '\\' "
                       "ORDER BY started DESC, seq DESC")
            .arg(identityField(db_, "board"), identityField(db_, "scanned")));
    query.addBindValue(likePrefix(text.toLower()));
    for (int i = 0; i < 5; ++i)
        query.addBindValue(text);
    query.addBindValue(isShaPrefix(text) ? likePrefix(text.toLower())
                                         : likeExactly(text.toLower()));
    query.addBindValue('%' + likePrefix(text));
    if (!query.exec())
        return fail(error, QStringLiteral("cannot search the records"), query.lastError());
    found->clear();
    while (query.next()) {
        if (matchesText(query, text))
            found->append(storedRecord(query.value(0)));
    }
    return true;
}

bool RecordStore::forEach(const QString &since, const QString &until,
                          const std::function<void(const BoardRecord &)> &visit, QString *error)
{
    QSqlQuery query(db_);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT record FROM board_records WHERE started >= ? AND "
                                 "started < ? ORDER BY started, station, seq"));
    // A null QString binds as NULL, which no comparison matches; every
    // started text sorts from "" to before "~".
    query.addBindValue(since.isEmpty() ? QLatin1String("") : since);
    query.addBindValue(until.isEmpty() ? QStringLiteral("~") : until);
    if (!query.exec())
        return fail(error, QStringLiteral("cannot read the records"), query.lastError());
    while (query.next())
        visit(storedRecord(query.value(0)));
    return true;
}

bool RecordStore::count(qint64 *rows, QString *error)
{
    QSqlQuery query(db_);
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM board_records")) || !query.next())
        return fail(error, QStringLiteral("cannot count the records"), query.lastError());
    *rows = query.value(0).toLongLong();
    return true;
}

QString utcText(const QString &isoTime)
{
    if (isoTime.isEmpty())
        return QLatin1String("");
    const QDateTime time = QDateTime::fromString(isoTime, Qt::ISODateWithMs);
    if (!time.isValid())
        return isoTime;
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz'Z'"));
}

} // namespace records
