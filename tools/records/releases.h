#pragma once

// Which images a line may flash. The database's owner releases an image
// (kvt-records release): its SHA-256, the file it came as, when and by whom.
// A release found wrong is withdrawn, not deleted: the records of the boards
// flashed with it still point at it, and the report tells which boards were
// flashed while their image was not released.
//
// The table image_releases sits beside board_records. Stations only read it:
// at start (releaseState) and, while they run, through their forwarder.

#include "records/databaseurl.h"
#include "records/summary.h"

#include <QHash>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

namespace records {

struct ImageRelease
{
    QString sha256; // hex, lower case
    QString file;   // the name it was released under
    qint64 bytes = -1;
    QString released; // UTC, "yyyy-MM-ddTHH:mm:ss.zzzZ", as the records' times
    QString releasedBy;
    QString note;
    QString withdrawn; // empty while the release stands
    QString withdrawnBy;

    bool isWithdrawn() const { return !withdrawn.isEmpty(); }
    // Every field by its column's name; the withdrawal's only when there was one.
    QJsonObject toJson() const;
};

struct ReleaseState
{
    enum Kind
    {
        CannotTell, // the database out of reach, or it keeps no releases: `why` says which
        Released,
        Withdrawn,
        NotReleased
    };
    Kind kind = CannotTell;
    QString since; // Released: when it was; Withdrawn: when it was withdrawn
    QString by;    // Withdrawn: who withdrew it
    QString why;   // CannotTell: why

    bool operator==(const ReleaseState &other) const
    {
        return kind == other.kind && since == other.since && by == other.by && why == other.why;
    }
};

// "released 2026-12-07 09:30", "withdrawn 2026-12-08 10:00 by ann", "not
// released", "cannot tell whether it is released: WHY".
QString releaseStateText(const ReleaseState &state);

// The releases table unless it exists; needs the right to create tables.
bool createReleasesTable(const QSqlDatabase &db, QString *error);
bool hasReleasesTable(const QSqlDatabase &db);

// Adds `release` unless its image is there already: then `*added` is false and
// `*existing` holds the release that stands (or was withdrawn).
bool addRelease(const QSqlDatabase &db, const ImageRelease &release, bool *added,
                ImageRelease *existing, QString *error);
// Every release, newest first.
bool listReleases(const QSqlDatabase &db, QVector<ImageRelease> *releases, QString *error);
// The releases whose sha256 starts with `prefix` (hex, any case).
bool releasesStartingWith(const QSqlDatabase &db, const QString &prefix,
                          QVector<ImageRelease> *releases, QString *error);
// Marks the release of `sha256` withdrawn at `when` by `who`, unless it is already.
bool withdrawRelease(const QSqlDatabase &db, const QString &sha256, const QString &when,
                     const QString &who, QString *error);

// The state of `sha256` through an open connection. CannotTell when the
// database keeps no releases or the read failed (the connection may be gone).
ReleaseState readReleaseState(const QSqlDatabase &db, const QString &sha256);

// The same on a connection of its own, opened and closed on the calling
// thread within the connect timeout: what a station asks before it starts.
// False, with `why`, when it cannot tell.
bool releaseState(const DatabaseUrl &url, const QString &sha256, ReleaseState *state, QString *why);

// The image groups of a summary by image: each one's boards that started
// while their image was not released (before its release, after its
// withdrawal, or never released). Left at -1 when the database keeps no
// releases.
bool countUnreleased(const QSqlDatabase &db, const SummaryRange &range, Summary *summary,
                     QString *error);

} // namespace records

Q_DECLARE_METATYPE(records::ReleaseState)
