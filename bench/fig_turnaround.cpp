// Host turnaround per data block against a device that answers at once, and
// the data phase's throughput: how much the host itself adds between the
// device's answer and the next block.

#include "devices.h"
#include "figures.h"
#include "uploads.h"

namespace bench {

namespace {

constexpr double GoalMedianMs = 0.2;

QString micro(qint64 ns)
{
    return QString::number(ns / 1000.0, 'f', 1);
}

bool measure(const Config &config, Report &report, Host host, int size)
{
    const QString name =
        QStringLiteral("turnaround %1 %2: median").arg(hostName(host), sizeName(size));
    BootloaderSimOptions options;
    options.cIntervalMs = 50;
    ThreadedDevice device(options);
    if (!device.error().isEmpty()) {
        report.failure(name, device.error());
        return false;
    }
    UploadPlan plan;
    plan.host = host;
    plan.portPath = device.portPath();
    plan.image = firmwareImage(size);
    plan.imagePath = imageFile(config, size);
    plan.timing = shortHandshake();
    plan.limitMs = 120000 + size / 100;
    LineProbe probe;
    const UploadResult result = runUpload(plan, probe);
    if (!result.succeeded || device.sim().receivedImage() != plan.image ||
        !device.sim().problems().isEmpty()) {
        report.failure(name, result.succeeded ? QStringLiteral("the device got a wrong image")
                                              : result.error);
        return false;
    }
    const Spread handOver = spreadOf(probe.toHandOver());
    const Spread written = spreadOf(probe.toWritten());
    const double kib = size / 1024.0;
    report.detail(QStringLiteral("%1, %2: %3 blocks; answer -> write(): median %4 us, p99 %5 us, "
                                 "max %6 us; answer -> bytesWritten: median %7 us, p99 %8 us; "
                                 "data phase %9 s, %10 KiB/s")
                      .arg(hostName(host), sizeName(size))
                      .arg(handOver.count)
                      .arg(micro(handOver.median), micro(handOver.p99), micro(handOver.max),
                           micro(written.median), micro(written.p99))
                      .arg(probe.dataPhaseNs() / 1e9, 0, 'f', 3)
                      .arg(kib / (probe.dataPhaseNs() / 1e9), 0, 'f', 0));
    report.figure(name, handOver.median / 1e6, GoalMedianMs, QStringLiteral(" ms"), 3);
    return true;
}

} // namespace

bool runTurnaround(const Config &config, Report &report)
{
    report.heading(QStringLiteral("2. Host turnaround per block, device answering at once "
                                  "(simulator in its own thread, pty)"));
    bool ran = true;
    for (const int size : config.instantSizes) {
        for (const Host host : {Host::Window, Host::Flasher})
            ran = measure(config, report, host, size) && ran;
    }
    return ran;
}

} // namespace bench
