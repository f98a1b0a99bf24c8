#pragma once

// The command line of kvt-station: an image given on it starts the station at
// once; without one the options only fill the window's choices, and the
// operator picks the rest.

#include "common/optionsets.h"

#include <QString>
#include <QStringList>

namespace station {

struct StationOptions
{
    enum class Action
    {
        Run,
        ShowHelp,
        ShowVersion,
        UsageError,
    };

    Action action = Action::Run;
    QString firmware; // empty: chosen in the window
    QString folder;   // empty: the last one chosen, or /dev/serial/by-path
    bool fullScreen = false;
    // The record: empty, the last one chosen, or the default record.
    programs::StationSettings station;
    programs::UploadSettings upload;
    QString error; // why the command line is wrong
};

// `arguments` as QCoreApplication::arguments() gives them, program first.
// Needs no application object: --help and --version need no display. Qt's
// own options (-platform, -style) are known only once QApplication has taken
// them off the line, so the line is checked again then.
StationOptions parseStationOptions(const QStringList &arguments);
// What the station engine runs with, but for the window's own choices.
StationConfig stationConfig(const StationOptions &options);
// The whole --help text, with the keys and the exit statuses; needs a
// QCoreApplication (for the program's name).
QString stationHelpText();

} // namespace station
