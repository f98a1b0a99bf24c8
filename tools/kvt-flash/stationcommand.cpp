#include "kvt-flash/stationcommand.h"
#include "common/exitstatus.h"
#include "common/interrupts.h"

#include "flash/outcomes.h"
#include "kvt-flash/commandsupport.h"
#include "kvt-flash/stationconsole.h"
#include "station/imagewatch.h"
#include "station/station.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace flash {

namespace {

using station::StationConsole;

StationConsole::Mode consoleMode(const CommandLine &command)
{
    if (command.json)
        return StationConsole::Mode::Json;
    if (command.quiet)
        return StationConsole::Mode::Quiet;
    return liveTerminal() && !command.verbose ? StationConsole::Mode::Terminal
                                              : StationConsole::Mode::Log;
}

// ModemManager probes every new serial port for a modem and can swallow or
// inject bytes for a few seconds: worth a warning at a fixture.
bool modemManagerRunning()
{
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : processes) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "ModemManager")
            return true;
    }
    return false;
}

// Records the station could not write are not lost: they go to standard
// error, one JSON line each, and the exit status says so.
int endStatus(const station::Station &station, QTextStream &err)
{
    const QVector<QJsonObject> unwritten = station.unwrittenRecords();
    for (const QJsonObject &record : unwritten)
        err << QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact)) << '\n';
    err.flush();
    return unwritten.isEmpty() ? programs::ExitInterrupted : programs::ExitUnrecorded;
}

} // namespace

station::StationConfig stationConfig(const CommandLine &command)
{
    station::StationConfig config = programs::stationConfig(command.station, command.upload);
    config.folder = command.watchFolder;
    config.file = command.firmware;
    config.version = QStringLiteral(KVT_VERSION);
    return config;
}

int runStation(const CommandLine &command, QTextStream &out, QTextStream &err)
{
    const firmware::FirmwareImage image = firmware::loadFirmwareImage(command.firmware);
    if (!image.isValid()) {
        err << "kvt-flash: " << command.firmware << ": "
            << imageProblemText(command.firmware, image) << '\n';
        return programs::ExitBadFile;
    }
    station::Station station(stationConfig(command), image.data);
    StationConsole console(station, consoleMode(command), out, err, [] {
        return station::ScreenSize{terminalColumns(), terminalRows()};
    });
    const station::ImageWatch imageWatch(command.firmware, station.imageSha256());
    QObject::connect(&imageWatch, &station::ImageWatch::changed, &console,
                     &StationConsole::imageChanged);
    if (modemManagerRunning())
        console.error(QStringLiteral(
            "warning: ModemManager is running; it probes new serial ports and can swallow the "
            "first bytes. Keep it away from the fixture's adapters with the udev property "
            "ID_MM_DEVICE_IGNORE=1 (see 60-kvt-station.rules in the package's documentation)."));
    QString why;
    if (!station.start(&why)) {
        console.error(why);
        return programs::ExitPortFailed;
    }
    console.started();
    int status = -1;
    const auto end = [&] {
        if (status >= 0)
            return;
        console.summary();
        status = endStatus(station, err);
        QCoreApplication::exit(status);
    };
    QObject::connect(&station, &station::Station::stopped, QCoreApplication::instance(), end);
    const auto interrupts = programs::watchInterrupts([&station] { station.stop(); },
                                                      [&] {
                                                          station.abandon();
                                                          station.stopForwarding();
                                                          end();
                                                      });
    QCoreApplication::exec();
    return status;
}

} // namespace flash
