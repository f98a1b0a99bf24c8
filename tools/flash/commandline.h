#pragma once

// The command line of kvt-flash: what it asks for, checked, and the text of
// --help.

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
    int retries = 3;
    // The device's pauses after the two command frames and its reply limit,
    // in milliseconds; the window's values unless --lead-in or --reply-limit
    // say otherwise.
    qint64 firstPause = 5000;
    qint64 secondPause = 1000;
    qint64 replyLimit = 5000;
    // Multiplies every pause and limit of the upload. Not in --help: only the
    // tests use it, to run the device's seconds-long pauses quickly.
    double timingScale = 1.0;
    bool quiet = false;
    bool json = false;
    bool verbose = false;
    // --watch
    QString watchFolder = QStringLiteral("/dev/serial/by-path");
    QStringList matches; // "vid:pid", lower-case
    QString recordPath;  // empty: the default record
    bool noRecord = false;
    QString stationName;
    int settleMs = 500;

    QString error; // why the command line is wrong, for UsageError
};

// `arguments` as QCoreApplication::arguments() gives them, program first.
CommandLine parseCommandLine(const QStringList &arguments);

// The whole --help text.
QString helpText();

} // namespace flash
