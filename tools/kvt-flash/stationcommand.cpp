#include "kvt-flash/stationcommand.h"

#include "common/exitstatus.h"
#include "common/interrupts.h"
#include "common/words.h"
#include "kvt-flash/console.h"
#include "kvt-flash/scaninput.h"
#include "kvt-flash/terminalpicture.h"
#include "kvt-flash/traceview.h"
#include "station/imagewatch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <memory>

namespace flash {

namespace {

Console::Mode consoleMode(const CommandLine &command)
{
    if (command.json)
        return Console::Mode::Json;
    if (command.quiet)
        return Console::Mode::Quiet;
    // Trace lines would break the live picture.
    return liveTerminal() && !command.verbose ? Console::Mode::Terminal : Console::Mode::Log;
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

// A fixed list of ports ends with what its boards did; a station, with the
// signal that stopped it. Either way, records the station could not write
// are printed, and say so.
int endStatus(const station::Station &station, bool interrupted, QTextStream &err)
{
    if (programs::printUnwritten(station.unwrittenRecords(), err))
        return programs::ExitUnrecorded;
    if (interrupted || !station.isFixed())
        return programs::ExitInterrupted;
    return programs::exitStatusFor(station.outcomes());
}

void warnOfModemManager(Console &console)
{
    if (modemManagerRunning())
        console.error(QStringLiteral(
            "warning: ModemManager is running; it probes new serial ports and can swallow the "
            "first bytes. Keep it away from the fixture's adapters with the udev property "
            "ID_MM_DEVICE_IGNORE=1 (see 60-kvt-station.rules in the package's documentation)."));
}

} // namespace

station::StationConfig stationConfig(const CommandLine &command)
{
    station::StationConfig config = programs::stationConfig(command.station, command.upload);
    if (command.action == CommandLine::Action::Flash) {
        config.ports = command.ports;
        config.recordPath.clear(); // a run over given ports keeps no record
        config.databaseUrl.clear();
    }
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
            << programs::imageProblemText(command.firmware, image) << '\n';
        return programs::ExitBadFile;
    }
    station::Station station(stationConfig(command), image.data);
    Console console(station, consoleMode(command), out, err);
    std::unique_ptr<TraceView> trace;
    if (command.verbose)
        trace = std::make_unique<TraceView>(station, err);
    std::unique_ptr<ScanInput> scans;
    if (command.scan)
        scans = std::make_unique<ScanInput>(station);
    const station::ImageWatch imageWatch(command.firmware, station.imageSha256());
    QObject::connect(&imageWatch, &station::ImageWatch::changed, &console, &Console::imageChanged);
    if (!station.isFixed())
        warnOfModemManager(console);
    QString why;
    if (!station.start(&why)) {
        console.error(why);
        return station.refusedUnreleased() ? programs::ExitUnreleased : programs::ExitPortFailed;
    }
    console.started();
    int status = -1;
    bool interrupted = false;
    const auto end = [&] {
        if (status >= 0)
            return;
        console.summary();
        status = endStatus(station, interrupted, err);
        QCoreApplication::exit(status);
    };
    QObject::connect(&station, &station::Station::stopped, QCoreApplication::instance(), end);
    QObject::connect(&station, &station::Station::finished, QCoreApplication::instance(), end);
    const auto interrupts = programs::watchInterrupts(
        [&] {
            interrupted = true;
            station.stop();
        },
        [&] {
            interrupted = true;
            station.abandon();
            station.stopForwarding();
            end();
        });
    QCoreApplication::exec();
    return status;
}

} // namespace flash
