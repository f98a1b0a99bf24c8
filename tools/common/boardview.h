#pragma once

// What a person reads about a board: one place turns a slot of the station
// into its word, tone, detail, next step, speed and duration texts. The
// window's tile and its click box, the terminal's line and the log's line
// only lay these out, so a board reads the same everywhere.

#include "station/station.h"

#include <QString>

namespace programs {

// The colour a state is shown in, where there is colour.
enum class Tone
{
    Empty,     // the board is gone
    Waiting,   // seen, about to start
    Attention, // not flashing for a reason a person can act on: paused,
               // held, skipped, stopped, not recorded
    Flashing,
    Ok,
    Failed,
};

// What a view needs to know beyond the slot itself.
struct StationContext
{
    int okBoards = 0;           // boards that took the image: evidence it is good
    qint64 receiverLimitMs = 0; // how long a bootloader may take to ask for the file
    qint64 bootWithinMs = 0;    // how long the new firmware may take to say it runs
    QString recordError;        // why records cannot be written; empty when they can

    bool operator==(const StationContext &other) const
    {
        return okBoards == other.okBoards && receiverLimitMs == other.receiverLimitMs &&
               bootWithinMs == other.bootWithinMs && recordError == other.recordError;
    }
    bool operator!=(const StationContext &other) const { return !(*this == other); }
};

struct BoardView
{
    QString word; // "flashing", "ok", "failed", "stopped", "paused", ...
    Tone tone = Tone::Empty;
    QString detail;   // what happened, or how far it is
    QString nextStep; // what the operator does now; empty when nothing
    int percent = -1; // of the image the device acknowledged; -1 when not flashing
    QString speed;    // "12.3 KiB/s" while the image goes out
    QString duration; // how long it has taken, or took
    QString proof;    // what showed that the new firmware runs: "started in 1.2 s: …"
    QString who;      // the label scanned, the board's own identity, the adapter
};

StationContext contextOf(const station::Station &station);
BoardView present(const station::Slot &slot, const StationContext &context);

// "ok 12 · failed 1 · stopped 2 · yield 92.3 % · 140 boards/h"
QString countsText(const station::StationCounts &counts);

} // namespace programs
