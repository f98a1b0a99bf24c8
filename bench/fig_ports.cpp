// kvt-flash updating several devices at once from its one thread: the wall
// time of the whole run against that of a single port. The real kvt-flash
// binary runs against one kvt-bootloader-sim process per port, each paced
// like a UART; --timing-scale shortens the device's handshake pauses.

#include "common.h"
#include "devices.h"
#include "figures.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <memory>
#include <vector>

namespace bench {

namespace {

constexpr double GoalRatio = 1.1;
const char *const TimingScale = "0.05"; // pauses 250 + 50 ms, 250 ms per answer

using Devices = std::vector<std::unique_ptr<DeviceProcess>>;

// One paced device per port, each listening; adds "--port PATH" for each to
// `arguments`.
bool startDevices(const Config &config, int ports, Devices &devices, QStringList &arguments,
                  QString *error)
{
    for (int i = 0; i < ports; ++i) {
        const QString tag =
            QStringLiteral("%1/ports%2-device%3").arg(config.workDir).arg(ports).arg(i);
        devices.push_back(std::make_unique<DeviceProcess>(
            config.simTool,
            QStringList{"--pace", QString::number(config.paceBaud), "--c-interval", "50"},
            tag + ".log", tag + ".bin"));
        if (!devices.back()->start(error))
            return false;
        arguments << "--port" << devices.back()->portPath();
    }
    return true;
}

// Runs kvt-flash to its end: its wall time in milliseconds, or -1 unless it
// updated every port.
qint64 runFlasher(const Config &config, const QStringList &arguments, const QString &errPath,
                  QString *error)
{
    QProcess flasher;
    flasher.setStandardOutputFile(QProcess::nullDevice());
    flasher.setStandardErrorFile(errPath);
    QElapsedTimer clock;
    clock.start();
    flasher.start(config.flashTool, arguments);
    if (flasher.waitForFinished(600000) && flasher.exitStatus() == QProcess::NormalExit &&
        flasher.exitCode() == 0)
        return clock.elapsed();
    QFile err(errPath);
    const QString told = err.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(err.readAll()) : "";
    *error = QStringLiteral("kvt-flash exited with %1: %2").arg(flasher.exitCode()).arg(told);
    return -1;
}

// Wall time in milliseconds of one kvt-flash run over `ports` devices; -1 if
// it could not run or did not update every device.
qint64 flashRun(const Config &config, int ports, QString *error)
{
    Devices devices;
    QStringList arguments{imageFile(config, config.portsImageSize), "--quiet", "--timing-scale",
                          TimingScale};
    if (!startDevices(config, ports, devices, arguments, error))
        return -1;
    const qint64 wallMs =
        runFlasher(config, arguments,
                   QStringLiteral("%1/ports%2-flash.err").arg(config.workDir).arg(ports), error);
    if (wallMs < 0)
        return -1;
    const QByteArray image = firmwareImage(config.portsImageSize);
    for (const auto &device : devices) {
        if (!device->finish(image, error))
            return -1;
    }
    return wallMs;
}

} // namespace

bool runParallelPorts(const Config &config, Report &report)
{
    report.heading(QStringLiteral("6. kvt-flash, several ports at once (%1 image, each device "
                                  "a kvt-bootloader-sim process paced at %2 baud, "
                                  "--timing-scale %3)")
                       .arg(sizeName(config.portsImageSize))
                       .arg(config.paceBaud)
                       .arg(QLatin1String(TimingScale)));
    qint64 single = 0;
    bool ran = true;
    for (const int ports : config.portCounts) {
        const QString label = QStringLiteral("kvt-flash %1 port(s): wall / 1 port").arg(ports);
        QString error;
        const qint64 wallMs = flashRun(config, ports, &error);
        if (wallMs < 0) {
            report.failure(label, error);
            ran = false;
            continue;
        }
        report.detail(
            QStringLiteral("%1 port(s): wall %2 s").arg(ports).arg(wallMs / 1000.0, 0, 'f', 3));
        if (ports == 1)
            single = wallMs;
        else if (single > 0)
            report.figure(label, double(wallMs) / double(single), GoalRatio, QString(), 3);
    }
    return ran;
}

} // namespace bench
