#include "stationoptions.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace station {

namespace {

constexpr int MaxSettleMs = 60000;

StationOptions usageError(const QString &why)
{
    StationOptions options;
    options.action = StationOptions::Action::UsageError;
    options.error = QStringLiteral("kvt-station: %1 (see --help)").arg(why);
    return options;
}

struct Parser
{
    Parser()
    {
        parser.setApplicationDescription(
            "The production station's window: flashes every board whose serial port appears in "
            "the watched folder, once per plug, and appends one JSON line per board to the "
            "record, as kvt-flash --watch does. With FIRMWARE.kvt it starts watching at once; "
            "without, pick the image and the folder in the window.");
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOptions({watch, record, noRecord, name, match, settle});
        parser.addPositionalArgument("FIRMWARE.kvt", "The firmware image to flash.",
                                     "[FIRMWARE.kvt]");
    }

    QCommandLineParser parser;
    const QCommandLineOption watch{"watch",
                                   "Watch DIR for boards (default: the last folder chosen, or "
                                   "/dev/serial/by-path).",
                                   "DIR"};
    const QCommandLineOption record{"record",
                                    "Append one JSON line per board to FILE (default: the last "
                                    "record chosen, or $XDG_STATE_HOME/kvt/records.jsonl).",
                                    "FILE"};
    const QCommandLineOption noRecord{"no-record", "Keep no record of the boards."};
    const QCommandLineOption name{
        "station", "The station's name in the record (default: the host name).", "NAME"};
    const QCommandLineOption match{"match",
                                   "Flash only boards on adapters with this USB identity, such "
                                   "as 0403:6001. Give it once per kind of adapter.",
                                   "VID:PID"};
    const QCommandLineOption settle{"settle",
                                    "Wait MS milliseconds after a port appears before opening "
                                    "it (default 500).",
                                    "MS", "500"};
};

} // namespace

StationOptions parseStationOptions(const QStringList &arguments)
{
    Parser options;
    QCommandLineParser &parser = options.parser;
    // Asked for help, the answer comes whatever else is on the line.
    const bool parsed = parser.parse(arguments);
    const bool help =
        parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"));
    StationOptions result;
    if (help || parser.isSet(QStringLiteral("version"))) {
        result.action =
            help ? StationOptions::Action::ShowHelp : StationOptions::Action::ShowVersion;
        return result;
    }
    if (!parsed)
        return usageError(parser.errorText());
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return usageError(
            QStringLiteral("one firmware file at most, not %1").arg(positional.size()));
    result.firmware = positional.value(0);
    result.folder = parser.value(options.watch);
    if (parser.isSet(options.record) && parser.isSet(options.noRecord))
        return usageError(QStringLiteral("--record and --no-record exclude each other"));
    result.recordPath = parser.value(options.record);
    result.noRecord = parser.isSet(options.noRecord);
    result.stationName = parser.value(options.name);
    static const QRegularExpression usbId(QStringLiteral("^[0-9A-Fa-f]{4}:[0-9A-Fa-f]{4}$"));
    for (const QString &id : parser.values(options.match)) {
        if (!usbId.match(id).hasMatch())
            return usageError(
                QStringLiteral("--match needs a USB identity such as 0403:6001, not '%1'").arg(id));
        result.matches.append(id.toLower());
    }
    bool ok = false;
    result.settleMs = parser.value(options.settle).toInt(&ok);
    if (!ok || result.settleMs < 0 || result.settleMs > MaxSettleMs)
        return usageError(QStringLiteral("--settle needs milliseconds from 0 to %1, not '%2'")
                              .arg(MaxSettleMs)
                              .arg(parser.value(options.settle)));
    return result;
}

QString stationHelpText()
{
    return Parser().parser.helpText();
}

} // namespace station
