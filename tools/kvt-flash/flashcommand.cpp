#include "kvt-flash/flashcommand.h"
#include "common/exitstatus.h"
#include "common/interrupts.h"

#include "firmwareimage.h"
#include "flash/serialports.h"
#include "kvt-flash/commandline.h"
#include "kvt-flash/commandsupport.h"
#include "kvt-flash/flashrun.h"
#include "kvt-flash/reporters.h"
#include "kvt-flash/stationcommand.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace flash {

namespace {

// --- Listing the ports ---------------------------------------------------------------

QString usbId(const QSerialPortInfo &info)
{
    if (!info.hasVendorIdentifier() || !info.hasProductIdentifier())
        return {};
    return QStringLiteral("%1:%2")
        .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
        .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
}

QStringList portColumns(const QSerialPortInfo &info)
{
    auto orDash = [](const QString &text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    return {info.portName(), info.systemLocation(), orDash(info.description()), orDash(usbId(info)),
            orDash(info.serialNumber())};
}

void printPortTable(QTextStream &out, const QList<QSerialPortInfo> &ports)
{
    QVector<QStringList> rows{{"NAME", "LOCATION", "DESCRIPTION", "VID:PID", "SERIAL"}};
    for (const QSerialPortInfo &info : ports)
        rows.append(portColumns(info));
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : qAsConst(rows)) {
        for (int column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], int(row[column].size()));
    }
    for (const QStringList &row : qAsConst(rows)) {
        QString line;
        for (int column = 0; column < row.size(); ++column)
            line += row[column].leftJustified(widths[column] + 2);
        out << line.trimmed() << '\n';
    }
}

void printPortJson(QTextStream &out, const QList<QSerialPortInfo> &ports)
{
    for (const QSerialPortInfo &info : ports) {
        const QJsonObject object{
            {"event", "port"},
            {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
            {"name", info.portName()},
            {"location", info.systemLocation()},
            {"description", info.description()},
            {"manufacturer", info.manufacturer()},
            {"usb_id", usbId(info)},
            {"serial", info.serialNumber()}};
        out << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) << '\n';
    }
}

int listPorts(QTextStream &out, QTextStream &err, bool json)
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (json)
        printPortJson(out, ports);
    else if (ports.isEmpty())
        err << "kvt-flash: no serial ports found\n";
    else
        printPortTable(out, ports);
    return programs::ExitSuccess;
}

// --- Choosing the output ---------------------------------------------------------------

std::vector<std::unique_ptr<Reporter>> makeReporters(const CommandLine &command, QTextStream &out,
                                                     QTextStream &err)
{
    std::vector<std::unique_ptr<Reporter>> reporters;
    if (command.json)
        reporters.push_back(std::make_unique<JsonReporter>(out, err));
    else if (command.quiet)
        reporters.push_back(std::make_unique<QuietReporter>(err));
    else if (liveTerminal() && !command.verbose) // trace lines would break the live block
        reporters.push_back(std::make_unique<TerminalReporter>(out, err, terminalColumns()));
    else
        reporters.push_back(std::make_unique<LogReporter>(out, err));
    if (command.verbose)
        reporters.push_back(std::make_unique<TraceReporter>(err));
    return reporters;
}

// --- Updating ---

QVector<PortState> portsOf(const CommandLine &command)
{
    QStringList devices;
    for (const QString &port : command.ports)
        devices.append(resolvePort(port));
    const QVector<UsbIdentity> adapters = usbIdentities(devices);
    QVector<PortState> ports;
    for (int index = 0; index < devices.size(); ++index) {
        PortState port;
        port.port = command.ports[index];
        port.device = devices[index];
        port.usb = adapters[index];
        ports.append(port);
    }
    return ports;
}

int flashPorts(const CommandLine &command, QTextStream &out, QTextStream &err)
{
    const std::vector<std::unique_ptr<Reporter>> owned = makeReporters(command, out, err);
    QVector<Reporter *> reporters;
    for (const auto &reporter : owned)
        reporters.append(reporter.get());

    const firmware::FirmwareImage image = firmware::loadFirmwareImage(command.firmware);
    if (!image.isValid()) {
        for (Reporter *reporter : qAsConst(reporters))
            reporter->fileRefused(command.firmware, imageProblemText(command.firmware, image));
        return programs::ExitBadFile;
    }
    const ImageInfo info{
        command.firmware, image.data.size(),
        QString::fromLatin1(
            QCryptographicHash::hash(image.data, QCryptographicHash::Sha256).toHex())};
    FlashRun run(info, image.data, portsOf(command), command.upload.uploadOptions(), reporters);
    QObject::connect(&run, &FlashRun::finished, QCoreApplication::instance(),
                     &QCoreApplication::exit, Qt::QueuedConnection);
    bool interrupted = false;
    const std::unique_ptr<QSocketNotifier> interrupts = programs::watchInterrupts(
        [&run, &interrupted] {
            interrupted = true;
            run.stop();
        },
        [] { QCoreApplication::exit(programs::ExitInterrupted); });
    run.start();
    const int status = QCoreApplication::exec();
    return interrupted ? int(programs::ExitInterrupted) : status;
}

void printUsageError(QTextStream &err, const QString &why)
{
    err << "kvt-flash: " << why << "\nTry 'kvt-flash --help' for more information.\n";
}

} // namespace

int runCommandLine(const QStringList &arguments)
{
    // A reader that goes away (kvt-flash ... | head -1) must not end an
    // upload half way: writes to it then fail quietly instead.
    ::signal(SIGPIPE, SIG_IGN);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const CommandLine command = parseCommandLine(arguments);
    switch (command.action) {
    case CommandLine::Action::ShowHelp:
        out << helpText();
        return programs::ExitSuccess;
    case CommandLine::Action::ShowVersion:
        out << "kvt-flash " << KVT_VERSION << '\n';
        return programs::ExitSuccess;
    case CommandLine::Action::UsageError:
        printUsageError(err, command.error);
        return programs::ExitUsage;
    case CommandLine::Action::ListPorts:
        return listPorts(out, err, command.json);
    case CommandLine::Action::Watch:
        return runStation(command, out, err);
    case CommandLine::Action::Flash:
        break;
    }
    return flashPorts(command, out, err);
}

} // namespace flash
