#include "records/releases.h"

#include "records/boardrecord.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace records {

namespace {

const QString Table = QStringLiteral("image_releases");
const QString Fields =
    QStringLiteral("sha256, file, bytes, released, released_by, note, withdrawn, withdrawn_by");

bool fail(QString *error, const QString &what, const QSqlError &sqlError)
{
    *error = what + ": " + sqlError.text().simplified();
    return false;
}

ImageRelease releaseOfRow(const QSqlQuery &row)
{
    ImageRelease release;
    release.sha256 = row.value(0).toString();
    release.file = row.value(1).toString();
    release.bytes = row.value(2).isNull() ? -1 : row.value(2).toLongLong();
    release.released = row.value(3).toString();
    release.releasedBy = row.value(4).toString();
    release.note = row.value(5).toString();
    release.withdrawn = row.value(6).toString();
    release.withdrawnBy = row.value(7).toString();
    return release;
}

// The rows of a prepared SELECT of Fields, bound to `values`.
bool selectReleases(const QSqlDatabase &db, const QString &where, const QVariantList &values,
                    QVector<ImageRelease> *releases, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM image_releases %2 ORDER BY released DESC, sha256")
                      .arg(Fields, where));
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        return fail(error, QStringLiteral("cannot read the releases"), query.lastError());
    releases->clear();
    while (query.next())
        releases->append(releaseOfRow(query));
    return true;
}

QString nextConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("kvt-release-state-%1").arg(counter.fetchAndAddRelaxed(1));
}

// Opening a SQLite file that is not there would make an empty one.
ReleaseState stateThrough(const DatabaseUrl &url, const QString &connection, const QString &sha256)
{
    ReleaseState state;
    QString error;
    if (url.kind == DatabaseUrl::Kind::Sqlite && !QFileInfo::exists(url.path))
        state.why = QStringLiteral("no database at %1").arg(url.path);
    else if (!openDatabase(url, connection, &error))
        state.why = error;
    else
        state = readReleaseState(QSqlDatabase::database(connection, false), sha256);
    return state;
}

} // namespace

QJsonObject ImageRelease::toJson() const
{
    QJsonObject object{{"sha256", sha256},
                       {"file", file},
                       {"bytes", bytes},
                       {"released", released},
                       {"released_by", releasedBy}};
    if (!note.isEmpty())
        object.insert(QStringLiteral("note"), note);
    if (isWithdrawn()) {
        object.insert(QStringLiteral("withdrawn"), withdrawn);
        object.insert(QStringLiteral("withdrawn_by"), withdrawnBy);
    }
    return object;
}

QString releaseStateText(const ReleaseState &state)
{
    switch (state.kind) {
    case ReleaseState::Released:
        return QStringLiteral("released %1").arg(minuteOf(state.since));
    case ReleaseState::Withdrawn:
        return QStringLiteral("withdrawn %1 by %2").arg(minuteOf(state.since), state.by);
    case ReleaseState::NotReleased:
        return QStringLiteral("not released");
    case ReleaseState::CannotTell:
        break;
    }
    return QStringLiteral("cannot tell whether it is released: %1").arg(state.why);
}

bool createReleasesTable(const QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS image_releases ("
                                   "sha256 TEXT PRIMARY KEY, file TEXT NOT NULL, bytes BIGINT, "
                                   "released TEXT NOT NULL, released_by TEXT NOT NULL, note TEXT, "
                                   "withdrawn TEXT, withdrawn_by TEXT)")))
        return fail(error, QStringLiteral("cannot create the releases table"), query.lastError());
    return true;
}

bool hasReleasesTable(const QSqlDatabase &db)
{
    return db.tables().contains(Table);
}

bool addRelease(const QSqlDatabase &db, const ImageRelease &release, bool *added,
                ImageRelease *existing, QString *error)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO image_releases (sha256, file, bytes, released, "
                                 "released_by, note) VALUES (?, ?, ?, ?, ?, ?) "
                                 "ON CONFLICT (sha256) DO NOTHING"));
    for (const QVariant &value :
         {QVariant(release.sha256.toLower()), QVariant(release.file), QVariant(release.bytes),
          QVariant(release.released), QVariant(release.releasedBy),
          release.note.isEmpty() ? QVariant(QVariant::String) : QVariant(release.note)})
        query.addBindValue(value);
    if (!query.exec())
        return fail(error, QStringLiteral("cannot release the image"), query.lastError());
    *added = query.numRowsAffected() > 0;
    if (*added)
        return true;
    QVector<ImageRelease> standing;
    if (!selectReleases(db, QStringLiteral("WHERE sha256 = ?"), {release.sha256.toLower()},
                        &standing, error))
        return false;
    *existing = standing.value(0);
    return true;
}

bool listReleases(const QSqlDatabase &db, QVector<ImageRelease> *releases, QString *error)
{
    return selectReleases(db, QString(), {}, releases, error);
}

bool releasesStartingWith(const QSqlDatabase &db, const QString &prefix,
                          QVector<ImageRelease> *releases, QString *error)
{
    return selectReleases(db, QStringLiteral("WHERE sha256 LIKE ?"), {prefix.toLower() + '%'},
                          releases, error);
}

bool withdrawRelease(const QSqlDatabase &db, const QString &sha256, const QString &when,
                     const QString &who, QString *error)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE image_releases SET withdrawn = ?, withdrawn_by = ? "
                                 "WHERE sha256 = ? AND withdrawn IS NULL"));
    query.addBindValue(when);
    query.addBindValue(who);
    query.addBindValue(sha256.toLower());
    if (!query.exec())
        return fail(error, QStringLiteral("cannot withdraw the release"), query.lastError());
    return true;
}

ReleaseState readReleaseState(const QSqlDatabase &db, const QString &sha256)
{
    ReleaseState state;
    QVector<ImageRelease> found;
    QString error;
    if (!selectReleases(db, QStringLiteral("WHERE sha256 = ?"), {sha256.toLower()}, &found,
                        &error)) {
        // Asked only after a failure, so the usual answer costs one query; a
        // connection gone lists no tables either, which is not the same.
        QSqlQuery probe(db);
        const bool answers = probe.exec(QStringLiteral("SELECT 1"));
        state.why = !answers || hasReleasesTable(db)
                        ? error
                        : QStringLiteral("the database keeps no releases (no table "
                                         "image_releases: kvt-records init makes it)");
        return state;
    }
    if (found.isEmpty()) {
        state.kind = ReleaseState::NotReleased;
    } else if (found.first().isWithdrawn()) {
        state.kind = ReleaseState::Withdrawn;
        state.since = found.first().withdrawn;
        state.by = found.first().withdrawnBy;
    } else {
        state.kind = ReleaseState::Released;
        state.since = found.first().released;
    }
    return state;
}

bool releaseState(const DatabaseUrl &url, const QString &sha256, ReleaseState *state, QString *why)
{
    const QString connection = nextConnectionName();
    *state = stateThrough(url, connection, sha256);
    QSqlDatabase::removeDatabase(connection);
    if (why)
        *why = state->why;
    return state->kind != ReleaseState::CannotTell;
}

bool countUnreleased(const QSqlDatabase &db, const SummaryRange &range, Summary *summary,
                     QString *error)
{
    if (!hasReleasesTable(db))
        return true;
    // Times are UTC text of one format in both tables: text order is time order.
    QStringList conditions{QStringLiteral("(r.sha256 IS NULL OR b.started < r.released OR "
                                          "b.started >= coalesce(r.withdrawn, '~'))")};
    if (!range.since.isEmpty())
        conditions.append(QStringLiteral("b.started >= ?"));
    if (!range.until.isEmpty())
        conditions.append(QStringLiteral("b.started < ?"));
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT b.sha256, COUNT(*) FROM board_records b LEFT JOIN "
                                 "image_releases r ON r.sha256 = lower(b.sha256) WHERE %1 "
                                 "GROUP BY b.sha256")
                      .arg(conditions.join(QStringLiteral(" AND "))));
    for (const QString &bound : {range.since, range.until})
        if (!bound.isEmpty())
            query.addBindValue(bound);
    if (!query.exec())
        return fail(error, QStringLiteral("cannot count the boards of unreleased images"),
                    query.lastError());
    QHash<QString, qint64> unreleased;
    while (query.next())
        unreleased[query.value(0).toString()] += query.value(1).toLongLong();
    summary->total.unreleased = 0;
    for (SummaryGroup &group : summary->groups) {
        // Boards without a sha256 name no image that could have been released.
        group.unreleased = group.image.isEmpty() ? group.boards : unreleased.value(group.image);
        summary->total.unreleased += group.unreleased;
    }
    return true;
}

} // namespace records
