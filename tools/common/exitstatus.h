#pragma once

// How a program's run ends, as its exit status says: the same numbers for
// kvt-flash, its station and kvt-station.

#include "flash/portflasher.h"
#include "records/boardrecord.h"

#include <QTextStream>
#include <QVector>

namespace programs {

// The process exit statuses of the programs.
enum ExitStatus : int
{
    ExitSuccess = 0,      // every port was updated
    ExitBadFile = 2,      // the image cannot be read or is not valid
    ExitPortFailed = 3,   // a port could not be opened, broke, or went away
    ExitTimedOut = 4,     // a device did not answer in time
    ExitMixed = 5,        // the ports ended differently
    ExitCancelled = 6,    // a device cancelled the transfer (CAN CAN)
    ExitRefused = 7,      // a device refused a block (NAK) with no resend left
    ExitUnrecorded = 8,   // a station's records could not be written
    ExitNoBoot = 9,       // the image is in, but the new firmware was not seen to start
    ExitMismatch = 10,    // a board's label names another board than the board itself
    ExitUnreleased = 11,  // --released-only, and the database does not list the image as released
    ExitUsage = 64,       // the command line is wrong (EX_USAGE)
    ExitInterrupted = 130 // stopped by a signal, as shells count it (128 + SIGINT)
};

int exitStatusFor(flash::FlashResult::Outcome outcome);
// All boards alike give that outcome's status; any difference gives ExitMixed.
int exitStatusFor(const QVector<flash::FlashResult::Outcome> &outcomes);

// Records a station could not write are not lost: each goes to `err` as the
// JSON line the journal would have held. True when there were any (the exit
// status is then ExitUnrecorded).
bool printUnwritten(const QVector<records::BoardRecord> &unwritten, QTextStream &err);

} // namespace programs
