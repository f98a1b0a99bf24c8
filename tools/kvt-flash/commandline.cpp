#include "kvt-flash/commandline.h"

#include "flash/serialports.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QHash>

namespace flash {

namespace {

const char *const Synopsis =
    R"(Usage: kvt-flash [options] FIRMWARE.kvt --port PORT [--port PORT ...]
       kvt-flash [options] FIRMWARE.kvt --watch [DIR] [--match VID:PID]...
                 [--record FILE | --no-record] [--station NAME] [--settle MS]
       kvt-flash --list-ports [--json]

Sends a firmware image to the bootloader of one or more devices over serial
ports. Each device gets two command frames that restart it into its
bootloader, then the image as one YMODEM-1K transfer, at 115200 baud, 8 data
bits, no parity, one stop bit, no flow control. The image must start with the
bytes 00 40 00 20. All ports given are updated at the same time, each on its
own: one device failing does not disturb the others.

The device needs about 6 s to restart into its bootloader (--lead-in); it
then has 60 s to ask for the file and 5 s for each answer during the transfer
(--reply-limit). A block the device refuses (NAK) or leaves unanswered is
sent again, up to --retries times; a device that cancels (CAN CAN) ends its
upload at once.

A PORT with a "/" in it, or one that names an entry of the current directory,
is a path; a bare name such as ttyUSB0 means /dev/ttyUSB0. Symbolic links
such as /dev/serial/by-id/... are followed: one device given twice, under any
names, is an error.

)";

const char *const Epilogue = R"(
Output:
  The ports given and a watched folder are flashed by one engine and shown
  the same way. On a terminal, a picture redrawn in place: a line per port
  with its state (coloured unless NO_COLOR is set), progress, speed and time,
  and for a failed port what to do next, on a line of its own. Otherwise (a
  pipe, a file, a log, or --verbose) each port gets a line when it starts,
  one at each 10 % of the image and a final line; several ports end with the
  counts. --quiet prints nothing but errors, on standard error.

  --json prints one JSON object per line and event, each with "event" and
  "time" (UTC, ISO 8601); errors on standard error, the rest on standard
  output. A port is named by "slot" (as given, or the watched entry's name)
  and "port" (the device it leads to):
    plug      slot, port, usb {vid, pid, serial} when the system knows it
    start     slot, port, file, bytes (the image's size), sha256
    progress  slot, port, percent, sent, acknowledged, bytes, elapsed_ms (at
              each whole percent the device has acknowledged)
    error     slot, phase and message, or message alone
    result    the board's record: schema, id, seq, station, version, slot,
              label, port, usb, file, bytes (the image's size), sha256,
              started, ended, duration_ms, status, phase, message, sent
              (image bytes sent), acknowledged, resends, latency_ms; and
              recorded (whether the record is on the disk)
    summary   ok, failed, stopped, not_recorded, not_in_database, boards
    port      (--list-ports) name, location, description, manufacturer,
              usb_id, serial
  status is one of: ok, timeout, refused, cancelled, open-failed,
  port-failed, unplugged, stopped. Every port that starts ends with exactly
  one result line. (Before version 1.1 a result over given ports had "port"
  as given, "device", and "bytes" for the bytes sent with "total" for the
  image's size: those are now "slot", "port", "sent" and "bytes".)

  --verbose adds, on standard error, the upload's debug lines, its phases,
  and a hex dump of every frame sent (>) and of the bytes received (<), each
  stamped with the seconds since the port was opened.

Station (--watch):
  Every entry that appears in DIR (a device node or a symlink to one) is a
  board in the slot named by the entry: /dev/serial/by-path names a slot by
  the adapter's position on the hub, /dev/serial/by-id by its serial number.
  Boards already present are flashed too. A board is its device: a link
  replaced by one to the same device is the same board. A board is flashed
  once per plug: its slot waits until the entry goes away. DIR may be missing
  (udev removes it with the last adapter): the station waits for it.
  Entries that are no serial port (a file, a folder, a link to nothing,
  /dev/tty), ports another program holds, or a second entry of one device,
  are skipped with the reason.

  Each board ends with one JSON line in the record (schema, station,
  version, slot, port, usb, file, bytes, sha256, started, ended, duration_ms,
  status, phase, message, sent, resends), synced to the disk; by default
  $XDG_STATE_HOME/kvt/records.jsonl (~/.local/state/kvt/records.jsonl).
  While a record cannot be written (a full disk), no new board starts: the
  station holds, keeps the records and tries again every few seconds. A
  record file renamed or removed (log rotation) is made again. With --json
  the record is the result event, with recorded (true once the record is on
  the disk; when false, a recorded event follows once it is), beside watch,
  waiting, watching, plug, unplug, skip, recorded, error, record, image,
  database, stopping and summary events.

  Labels (--scan, --require-scan): a barcode scanner types a code and Enter.
  A code waits for the next board plugged; a slot's label scanned first sends
  the next code to that slot's board. With --require-scan a board plugged
  without a code waits for one and is not flashed before. The record carries
  the code as scanned; a board whose new firmware names it (--expect with a
  group board) otherwise fails: "the label says X, the board says Y".

  SIGINT, SIGTERM or SIGHUP stops the boards in flight (CAN CAN, recorded as
  stopped), prints a summary and exits 130; a second one stops at once,
  recording each board in flight as stopped before the device confirmed.
  The folder is watched through inotify; no udev daemon, no entries.

Exit status:
  With several ports, the status is the one they share, or 5 when they differ.
  0    every port was updated
  2    the firmware file cannot be read, is too large, or is not a valid image
  3    a port could not be opened, failed during the upload, or went away
  4    a device did not answer in time
  5    the ports ended differently (some updated and some not, or failed in
       different ways); the per-port lines tell which
  6    a device cancelled the transfer (CAN CAN)
  7    a device refused a block (NAK) and no resend was left
  8    (--watch) records could not be written; they are printed on standard
       error as JSON lines
  9    (--expect) the image is in, but the new firmware was not seen to start
  10   a board's label names another board than the board itself
  11   (--released-only) the database does not list the image as released, or
       cannot be asked: nothing was flashed
  64   the command line is wrong
  130  interrupted (SIGINT, SIGTERM or SIGHUP); each device in its bootloader
       was sent CAN CAN and the ports were closed

Examples:
  Update the device on /dev/ttyUSB0:
    kvt-flash app.kvt --port ttyUSB0
  Update three devices at once and append a machine-readable log:
    kvt-flash app.kvt -p ttyUSB0 -p ttyUSB1 -p ttyUSB2 --json >> station4.log
  Keep the window's exchange exactly, without resends:
    kvt-flash app.kvt -p ttyACM0 --retries 0
  A device known to restart faster and answer within a second:
    kvt-flash app.kvt -p ttyACM0 --lead-in 1500,500 --reply-limit 1000
  Prove that the new firmware runs, and take the board's own serial number
  into the record:
    kvt-flash app.kvt -p ttyUSB0 --expect 'app v2\.1 .*SN=(?<board>[0-9A-F]+)'
  A production line with a label scanner and that proof:
    kvt-flash app.kvt --watch --scan --require-scan --expect 'SN=(?<board>\w+)'
  Find the port of a USB adapter:
    kvt-flash --list-ports
)";

struct Options
{
    QCommandLineOption port{{"p", "port"},
                            "Serial port of a device: a name such as ttyUSB0 or COM3, or a "
                            "device path such as /dev/ttyUSB0. Give it once per device.",
                            "PORT"};
    QCommandLineOption watch{"watch",
                             "Production station: watch DIR (default /dev/serial/by-path) and "
                             "flash every board whose port appears in it, once per plug (see "
                             "Station)."};
    QCommandLineOption scan{"scan",
                            "With --watch: read the codes a barcode scanner types, a line each, "
                            "from standard input: a slot's label, then a board's label, or a "
                            "board's label alone for the next board plugged (see Station)."};
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
    programs::UploadOptionSet upload;
    programs::StationOptionSet station;

    void addTo(QCommandLineParser &parser)
    {
        parser.addOption(port);
        parser.addOptions(upload.options());
        parser.addOption(watch);
        parser.addOption(scan);
        parser.addOptions(station.options());
        parser.addOptions({listPorts, quiet, json, verbose, help, version});
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

// One device, one writer: names are compared by the device they lead to.
QString checkPorts(const QStringList &ports)
{
    if (ports.isEmpty())
        return QStringLiteral("no port given; use --port PORT");
    QHash<QString, QString> seen; // device -> name that reached it first
    for (const QString &port : ports) {
        if (port.isEmpty())
            return QStringLiteral("an empty port name");
        const QString device = resolvePort(port);
        if (seen.contains(device) && seen.value(device) == port)
            return QStringLiteral("port %1 given twice").arg(port);
        if (seen.contains(device))
            return QStringLiteral("%1 and %2 are the same device (%3)")
                .arg(seen.value(device), port, device);
        seen.insert(device, port);
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
    QString why;
    if (!options.upload.read(parser, &command.upload, &why))
        return usageError(why);
    return command;
}

CommandLine checkedWatch(CommandLine command, const QCommandLineParser &parser,
                         const Options &options)
{
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty() || positional.size() > 2)
        return usageError(positional.isEmpty()
                              ? QStringLiteral("no firmware file given")
                              : QStringLiteral("--watch takes a firmware file and at most one "
                                               "folder"));
    if (!command.ports.isEmpty())
        return usageError(QStringLiteral("--watch and --port exclude each other"));
    command.action = CommandLine::Action::Watch;
    command.firmware = positional.first();
    command.scan = parser.isSet(options.scan);
    if (positional.size() == 2)
        command.watchFolder = positional.at(1);
    QString why;
    if (!options.station.read(parser, &command.station, &why))
        return usageError(why);
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
    if (parser.isSet(options.watch))
        return checkedWatch(command, parser, options);
    QList<QCommandLineOption> stationOnly = options.station.options();
    stationOnly.append(options.scan);
    for (const QCommandLineOption &only : stationOnly) {
        if (parser.isSet(only))
            return usageError(QStringLiteral("--%1 needs --watch").arg(only.names().constLast()));
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
