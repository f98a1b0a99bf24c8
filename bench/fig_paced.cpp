// Uploads over a line paced like a UART at 115200 baud: how close the data
// phase comes to the wire time alone, and what CPU the host spends on it.
// The device is the kvt-bootloader-sim process, so this process's CPU time is
// the host's: its window thread and worker, or the flasher's one thread.

#include "devices.h"
#include "figures.h"
#include "uploads.h"

#include "ymodem/frames.h"
#include "ymodem/line.h"

namespace bench {

namespace {

constexpr double GoalRatio = 1.005;
constexpr double GoalCpuPercent = 1.0;

double wireSeconds(qint64 bytes, int baud)
{
    return double(ymodem::line::wireTimeUs(bytes, baud)) / 1e6;
}

void describe(Report &report, const LineProbe &probe, double ideal, int baud)
{
    const double phase = probe.dataPhaseNs() / 1e9;
    const double host = probe.turnaroundSumNs() / 1e9;
    report.detail(QStringLiteral("data phase %1 s, wire time %2 s (%3 blocks x 1029 bytes); "
                                 "overhead %4 ms, of which the host's turnarounds %5 ms")
                      .arg(phase, 0, 'f', 3)
                      .arg(ideal, 0, 'f', 3)
                      .arg(probe.dataBlocks())
                      .arg((phase - ideal) * 1e3, 0, 'f', 1)
                      .arg(host * 1e3, 0, 'f', 1));
    // Each block's cycle is the host's turnaround plus the device's answer
    // time; the latter holds the wire time of the block and of its ACK.
    const qint64 wireNs = qint64(wireSeconds(ymodem::DataBlockSize + 1, baud) * 1e9);
    const Spread answer = spreadOf(probe.answerTimes());
    const Spread turnaround = spreadOf(probe.toHandOver());
    report.detail(QStringLiteral("per block: host turnaround median %1 ms (p99 %2 ms); device "
                                 "answer after the hand-over, beyond the wire time of block and "
                                 "ACK (%3 ms): median %4 ms (p99 %5 ms)")
                      .arg(turnaround.median / 1e6, 0, 'f', 3)
                      .arg(turnaround.p99 / 1e6, 0, 'f', 3)
                      .arg(wireNs / 1e6, 0, 'f', 3)
                      .arg((answer.median - wireNs) / 1e6, 0, 'f', 3)
                      .arg((answer.p99 - wireNs) / 1e6, 0, 'f', 3));
}

bool measure(const Config &config, Report &report, Host host, int size)
{
    const QString label = QStringLiteral("%1 %2").arg(hostName(host), sizeName(size));
    const QString tag = QStringLiteral("paced-%1-%2").arg(hostName(host)).arg(size);
    DeviceProcess device(config.simTool,
                         {"--pace", QString::number(config.paceBaud), "--c-interval", "100"},
                         config.workDir + "/" + tag + ".log", config.workDir + "/" + tag + ".bin");
    QString error;
    if (!device.start(&error)) {
        report.failure(QStringLiteral("paced ") + label, error);
        return false;
    }
    const int blocks = (size + ymodem::DataFieldSize - 1) / ymodem::DataFieldSize;
    const double ideal = wireSeconds(qint64(blocks) * ymodem::DataBlockSize, config.paceBaud);
    UploadPlan plan;
    plan.host = host;
    plan.portPath = device.portPath();
    plan.image = firmwareImage(size);
    plan.imagePath = imageFile(config, size);
    plan.timing = shortHandshake();
    plan.limitMs = int(ideal * 1500) + 30000;
    LineProbe probe;
    const UploadResult result = runUpload(plan, probe);
    if (!result.succeeded || !device.finish(plan.image, &error)) {
        report.failure(QStringLiteral("paced ") + label, result.succeeded ? error : result.error);
        return false;
    }
    describe(report, probe, ideal, config.paceBaud);
    report.figure(QStringLiteral("paced %1: data phase / wire time").arg(label),
                  probe.dataPhaseNs() / 1e9 / ideal, GoalRatio, QString(), 4);
    report.detail(QStringLiteral("whole upload: wall %1 s, process CPU %2 ms")
                      .arg(result.seconds(), 0, 'f', 3)
                      .arg((result.end.cpuNs - result.start.cpuNs) / 1e6, 0, 'f', 1));
    report.figure(QStringLiteral("paced %1: CPU/wall").arg(label), result.cpuPercent(),
                  GoalCpuPercent, QStringLiteral(" %"), 3);
    return true;
}

} // namespace

bool runPacedLine(const Config &config, Report &report)
{
    report.heading(QStringLiteral("3-4. Paced line at %1 baud (kvt-bootloader-sim --pace, "
                                  "separate process): data phase and CPU")
                       .arg(config.paceBaud));
    bool ran = true;
    for (const int size : config.pacedSizes) {
        for (const Host host : {Host::Window, Host::Flasher})
            ran = measure(config, report, host, size) && ran;
    }
    return ran;
}

} // namespace bench
