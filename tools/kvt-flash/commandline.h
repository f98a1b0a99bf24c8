#pragma once

// The command line of kvt-flash: what it asks for, checked, and the text of
// --help.

#include "common/optionsets.h"

#include <QString>
#include <QStringList>

namespace flash {

struct CommandLine
{
    enum class Action
    {
        Flash,
        Watch, // the production station: flash every board plugged in
        ListPorts,
        ShowHelp,
        ShowVersion,
        UsageError,
    };

    Action action = Action::Flash;
    QString firmware;
    QStringList ports;
    programs::UploadSettings upload;
    bool quiet = false;
    bool json = false;
    bool verbose = false;
    // --watch
    QString watchFolder = QStringLiteral("/dev/serial/by-path");
    bool scan = false; // the scanner's codes on standard input
    programs::StationSettings station;

    QString error; // why the command line is wrong, for UsageError
};

// `arguments` as QCoreApplication::arguments() gives them, program first.
CommandLine parseCommandLine(const QStringList &arguments);

// The whole --help text.
QString helpText();

} // namespace flash
