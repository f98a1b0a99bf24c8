#include "kvt-flash/flashcommand.h"
#include "common/exitstatus.h"

#include "kvt-flash/commandline.h"
#include "kvt-flash/stationcommand.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QTextStream>

#include <csignal>
#include <cstdio>

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
    case CommandLine::Action::Flash:
        break;
    }
    return runStation(command, out, err);
}

} // namespace flash
