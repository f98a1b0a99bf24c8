#include "kvt-station/stationoptions.h"

#include <QCommandLineParser>

namespace station {

namespace {

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
        parser.addOption(watch);
        parser.addOption(fullScreen);
        parser.addOptions(station.options());
        parser.addOptions(upload.options());
        parser.addPositionalArgument("FIRMWARE.kvt", "The firmware image to flash.",
                                     "[FIRMWARE.kvt]");
    }

    QCommandLineParser parser;
    const QCommandLineOption watch{"watch",
                                   "Watch DIR for boards (default: the last folder chosen, or "
                                   "/dev/serial/by-path).",
                                   "DIR"};
    const QCommandLineOption fullScreen{"full-screen",
                                        "Fill the screen with the window (F11 switches it, Escape "
                                        "leaves full screen)."};
    const programs::StationOptionSet station;
    const programs::UploadOptionSet upload;
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
    result.fullScreen = parser.isSet(options.fullScreen);
    QString why;
    if (!options.station.read(parser, &result.station, &why) ||
        !options.upload.read(parser, &result.upload, &why))
        return usageError(why);
    return result;
}

StationConfig stationConfig(const StationOptions &options)
{
    StationConfig config = programs::stationConfig(options.station, options.upload);
    config.version = QStringLiteral(KVT_VERSION);
    return config;
}

QString stationHelpText()
{
    return Parser().parser.helpText() + QStringLiteral(R"(
Keys:
  F11     full screen, or the window again
  Escape  leaves full screen

Exit status:
  0    the window was closed
  8    records could not be written; they were printed on standard error as
       JSON lines
  64   the command line is wrong
  130  stopped by SIGINT, SIGTERM or SIGHUP, or the display went away
)");
}

} // namespace station
