#include "flash/commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QSet>

namespace flash {

namespace {

constexpr int MaxRetries = 100;

const char *const Synopsis =
    R"(Usage: kvt-flash [options] FIRMWARE.kvt --port PORT [--port PORT ...]
       kvt-flash --list-ports [--json]

Sends a firmware image to the bootloader of one or more devices over serial
ports. Each device gets two command frames that restart it into its
bootloader, then the image as one YMODEM-1K transfer, at 115200 baud, 8 data
bits, no parity, one stop bit, no flow control. The image must start with the
bytes 00 40 00 20. All ports given are updated at the same time, each on its
own: one device failing does not disturb the others.

The device needs about 6 s to restart into its bootloader; it then has 60 s
to ask for the file and 5 s for each answer during the transfer. If it does
not answer in time, the upload of that port ends with a time-out.

)";

const char *const Epilogue = R"(
Output:
  On a terminal, one line per port shows the progress, the speed and the time
  left, updated in place. Otherwise (a pipe, a file, a log, or --verbose) each
  port gets a line when it starts, one at each 10 % of the image and a final
  line, and a run over several ports ends with a count of the ports updated.
  --quiet prints nothing but errors, on standard error.

  --json prints one JSON object per line and event on standard output, each
  with "event" and "time" (UTC, ISO 8601):
    start     port, file, bytes (the image size)
    progress  port, percent, sent, total, elapsed_ms (at each whole percent)
    error     port and phase, or file; message
    result    port, status, message, phase, duration_ms, bytes (image bytes
              sent), total, resends
  status is one of: ok, timeout, open-failed, port-failed, stopped. Every port
  that starts ends with exactly one result line.

  --verbose adds, on standard error, the upload's debug lines, its phases,
  and a hex dump of every frame sent (>) and of the bytes received (<), each
  stamped with the seconds since the port was opened.

Exit status:
  With several ports, the status is the one they share, or 5 when they differ.
  0    every port was updated
  2    the firmware file cannot be read, is too large, or is not a valid image
  3    a port could not be opened, or failed during the upload
  4    a device did not answer in time
  5    the ports ended differently (some updated and some not, or failed in
       different ways); the per-port lines tell which
  64   the command line is wrong
  130  interrupted (SIGINT or SIGTERM); the ports were closed

Examples:
  Update the device on /dev/ttyUSB0:
    kvt-flash app.kvt --port ttyUSB0
  Update three devices at once and append a machine-readable log:
    kvt-flash app.kvt -p ttyUSB0 -p ttyUSB1 -p ttyUSB2 --json >> station4.log
  Ride over a noisy line by resending a refused block up to 3 times:
    kvt-flash app.kvt -p ttyACM0 --retries 3
  Find the port of a USB adapter:
    kvt-flash --list-ports
)";

struct Options
{
    QCommandLineOption port{{"p", "port"},
                            "Serial port of a device: a name such as ttyUSB0 or COM3, or a "
                            "device path such as /dev/ttyUSB0. Give it once per device.",
                            "PORT"};
    QCommandLineOption retries{{"r", "retries"},
                               "Resend a data block up to N times when the device answers NAK "
                               "or does not answer in time, and EOT when it answers NAK. The "
                               "default, 0, keeps the exchange exactly as the updater's window "
                               "performs it.",
                               "N",
                               "0"};
    QCommandLineOption listPorts{{"l", "list-ports"},
                                 "List the serial ports found, with description, USB VID:PID and "
                                 "serial number, and exit."};
    QCommandLineOption quiet{{"q", "quiet"}, "Print nothing but errors."};
    QCommandLineOption json{"json", "Print one JSON object per line and event (see Output)."};
    QCommandLineOption verbose{{"v", "verbose"},
                               "Also write the upload's debug lines and a hex dump of the bytes "
                               "sent and received to standard error."};
    QCommandLineOption help{{"h", "help"}, "Show this help and exit."};
    QCommandLineOption version{"version", "Show the version and exit."};
    QCommandLineOption timingScale{"timing-scale", "", "FACTOR", "1"};

    void addTo(QCommandLineParser &parser)
    {
        timingScale.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOptions(
            {port, retries, listPorts, quiet, json, verbose, help, version, timingScale});
        parser.addPositionalArgument("FIRMWARE.kvt", "The firmware image to send.");
    }
};

CommandLine only(CommandLine::Action action)
{
    CommandLine command;
    command.action = action;
    return command;
}

CommandLine usageError(const QString &why)
{
    CommandLine command = only(CommandLine::Action::UsageError);
    command.error = why;
    return command;
}

QString conflict(const CommandLine &command)
{
    if (command.quiet && command.json)
        return QStringLiteral("--quiet and --json exclude each other");
    if (command.quiet && command.verbose)
        return QStringLiteral("--quiet and --verbose exclude each other");
    return {};
}

QString checkPorts(const QStringList &ports)
{
    if (ports.isEmpty())
        return QStringLiteral("no port given; use --port PORT");
    QSet<QString> seen;
    for (const QString &port : ports) {
        if (port.isEmpty())
            return QStringLiteral("an empty port name");
        if (seen.contains(port))
            return QStringLiteral("port %1 given twice").arg(port);
        seen.insert(port);
    }
    return {};
}

CommandLine readValues(const QCommandLineParser &parser, const Options &options)
{
    CommandLine command;
    command.quiet = parser.isSet(options.quiet);
    command.json = parser.isSet(options.json);
    command.verbose = parser.isSet(options.verbose);
    command.ports = parser.values(options.port);
    bool ok = false;
    command.retries = parser.value(options.retries).toInt(&ok);
    if (!ok || command.retries < 0 || command.retries > MaxRetries)
        return usageError(QStringLiteral("--retries needs a whole number from 0 to %1, not '%2'")
                              .arg(MaxRetries)
                              .arg(parser.value(options.retries)));
    command.timingScale = parser.value(options.timingScale).toDouble(&ok);
    if (!ok || !(command.timingScale > 0) || command.timingScale > 10)
        return usageError(QStringLiteral("--timing-scale needs a factor above 0, at most 10"));
    return command;
}

CommandLine checkedFlash(CommandLine command, const QStringList &positional)
{
    if (positional.size() != 1)
        return usageError(positional.isEmpty() ? QStringLiteral("no firmware file given")
                                               : QStringLiteral("give exactly one firmware file"));
    command.firmware = positional.first();
    const QString problem = checkPorts(command.ports);
    return problem.isEmpty() ? command : usageError(problem);
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    Options options;
    options.addTo(parser);
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(options.help))
        return only(CommandLine::Action::ShowHelp);
    if (parser.isSet(options.version))
        return only(CommandLine::Action::ShowVersion);

    CommandLine command = readValues(parser, options);
    if (command.action == CommandLine::Action::UsageError)
        return command;
    const QString clash = conflict(command);
    if (!clash.isEmpty())
        return usageError(clash);
    if (parser.isSet(options.listPorts)) {
        if (!parser.positionalArguments().isEmpty() || !command.ports.isEmpty())
            return usageError(QStringLiteral("--list-ports takes no firmware file and no port"));
        command.action = CommandLine::Action::ListPorts;
        return command;
    }
    return checkedFlash(command, parser.positionalArguments());
}

QString helpText()
{
    QCommandLineParser parser;
    Options options;
    options.addTo(parser);
    // The parser's own usage line names the binary by the path it was run
    // with; the synopsis above replaces it.
    const QString generated = parser.helpText();
    const int optionsAt = generated.indexOf(QStringLiteral("Options:"));
    return QString::fromUtf8(Synopsis) + generated.mid(qMax(0, optionsAt)) +
           QString::fromUtf8(Epilogue);
}

} // namespace flash
