// What a USB-serial adapter costs a paced upload, and what low latency wins
// back: kvt-bootloader-sim --adapter-latency holds the device's answers the
// way an FTDI chip holds received bytes, 16 ms as it comes (its default
// latency timer) and 1 ms (what ftdi_sio uses while the port has
// ASYNC_LOW_LATENCY, or after the udev rule set the timer to 1). The host is
// kvt-flash's PortFlasher; the window puts the same frames on the line.

#include "devices.h"
#include "figures.h"
#include "uploads.h"

#include "ymodem/frames.h"
#include "ymodem/line.h"

namespace bench {

namespace {

constexpr int ImageSize = 64 * 1024;
// The rig's own share on a paced line: 0.5 to 1 % in figure 3, a little more
// on a busy machine.
constexpr double RigAllowance = 0.015;

bool measure(const Config &config, Report &report, int latencyMs)
{
    const QString tag = QStringLiteral("adapter-%1ms").arg(latencyMs);
    DeviceProcess device(config.simTool,
                         {"--pace", QString::number(config.paceBaud), "--adapter-latency",
                          QString::number(latencyMs), "--c-interval", "100"},
                         config.workDir + "/" + tag + ".log", config.workDir + "/" + tag + ".bin");
    QString error;
    const QString label =
        QStringLiteral("adapter at %1 ms, %2").arg(latencyMs).arg(sizeName(ImageSize));
    if (!device.start(&error)) {
        report.failure(label, error);
        return false;
    }
    const int blocks = (ImageSize + ymodem::DataFieldSize - 1) / ymodem::DataFieldSize;
    const double blockWire = ymodem::line::wireTimeUs(ymodem::DataBlockSize, config.paceBaud) / 1e6;
    const double ideal = blocks * blockWire;
    UploadPlan plan;
    plan.host = Host::Flasher;
    plan.portPath = device.portPath();
    plan.image = firmwareImage(ImageSize);
    plan.imagePath = imageFile(config, ImageSize);
    plan.timing = shortHandshake();
    plan.limitMs = int(ideal * 1500) + 30000;
    LineProbe probe;
    const UploadResult result = runUpload(plan, probe);
    if (!result.succeeded || !device.finish(plan.image, &error)) {
        report.failure(label, result.succeeded ? error : result.error);
        return false;
    }
    // Each block's ACK is held for the whole timer: the device answers one
    // byte and then waits for the next block.
    const double expected = 1 + latencyMs / 1e3 / blockWire;
    const double phase = probe.dataPhaseNs() / 1e9;
    report.detail(QStringLiteral("%1: whole upload %2 s, data phase %3 s over %4 s of wire time "
                                 "(%5 blocks); the held ACKs alone would make it %6")
                      .arg(label)
                      .arg(result.seconds(), 0, 'f', 3)
                      .arg(phase, 0, 'f', 3)
                      .arg(ideal, 0, 'f', 3)
                      .arg(probe.dataBlocks())
                      .arg(expected, 0, 'f', 4));
    report.figure(label + QStringLiteral(": data phase / wire time"), phase / ideal,
                  expected + RigAllowance, QString(), 4);
    return true;
}

} // namespace

bool runAdapterLatency(const Config &config, Report &report)
{
    report.heading(QStringLiteral("9. A USB-serial adapter's latency timer on a paced line at %1 "
                                  "baud (kvt-bootloader-sim --adapter-latency): 16 ms as it "
                                  "comes, 1 ms with low latency")
                       .arg(config.paceBaud));
    bool ran = true;
    for (const int latencyMs : {16, 1})
        ran = measure(config, report, latencyMs) && ran;
    return ran;
}

} // namespace bench
