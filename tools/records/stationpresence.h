#pragma once

// Whether another station runs under the same name into the same database.
// Two stations sharing a name cannot be told apart in the records: a quality
// engineer looking for "line3" finds both. The claim is a lock the database
// (or, for SQLite, a file beside it) holds for as long as the station is
// connected, so a station that crashed frees its name at once.

#include "records/databaseurl.h"

#include <QSqlDatabase>
#include <QString>

namespace records {

class StationPresence
{
public:
    StationPresence() = default;
    ~StationPresence();
    StationPresence(const StationPresence &) = delete;
    StationPresence &operator=(const StationPresence &) = delete;

    // Claims `station` through the open connection `db` to `url`. False when
    // another station holds the name; true when the claim is ours, or when
    // it cannot be made at all (a read-only folder): nothing is known then.
    // PostgreSQL: a session advisory lock, gone with the connection.
    bool claim(const QSqlDatabase &db, const DatabaseUrl &url, const QString &station);
    // Gives the SQLite claim back; PostgreSQL's goes with its connection.
    void release();

private:
    int lockFd_ = -1;
};

} // namespace records
