#pragma once

// kvt-records: the factory's records from the command line. The whole command
// runs from here so that tests drive it in-process; main() only wires the
// streams.

#include <QStringList>
#include <QTextStream>

namespace recordstool {

// The process exit statuses (documented in kvt-records.1).
enum ExitStatus : int
{
    ExitSuccess = 0,
    ExitNothingFound = 1, // find matched no record
    ExitBadJournal = 2,   // a journal to import cannot be read
    ExitDatabase = 3,     // the database cannot be reached, or refused the work
    ExitBadOutput = 4,    // the report file cannot be written
    ExitUsage = 64        // the command line is wrong: command, option, URL or time
};

// `arguments` as main() has them, the program's name first. `terminal`: the
// standard output is a terminal, so tables are aligned for a person.
int runRecordsCommand(const QStringList &arguments, QTextStream &out, QTextStream &err,
                      bool terminal);

} // namespace recordstool
