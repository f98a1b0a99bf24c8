// CPU while the window's upload task waits: on the device's two handshake
// pauses and then on a receiver that never asks for the file.

#include "common.h"
#include "devices.h"
#include "figures.h"
#include "windowdesk.h"

#include <QDir>

namespace bench {

namespace {

constexpr int ReceiverLimitMs = 10000;
constexpr double GoalPercent = 1.0;

} // namespace

bool runIdleWait(const Config &config, Report &report)
{
    const QString name = QStringLiteral("idle wait: CPU/wall");
    ymodem::UploadTiming timing; // the device's pauses: 5000 + 1000 ms
    timing.receiverLimit = ReceiverLimitMs;
    report.heading(QStringLiteral("1. CPU while the window's task waits (pauses %1 + %2 ms, "
                                  "%3 ms for \"C\", silent device)")
                       .arg(timing.firstPause)
                       .arg(timing.secondPause)
                       .arg(timing.receiverLimit));

    DeviceProcess device(config.simTool, {"--silent"}, config.workDir + "/idle-sim.log",
                         config.workDir + "/idle-received.bin");
    QString error;
    if (!device.start(&error)) {
        report.failure(name, error);
        return false;
    }
    WindowDesk desk(timing);
    desk.choosePort(device.portPath());
    if (!desk.press(imageFile(config, 4096))) {
        report.failure(name, QStringLiteral("the window did not start its upload"));
        return false;
    }
    const Stamp start = Stamp::now();
    Stamp end;
    QObject::connect(&desk.modals(), &ModalWatcher::boxShown, [&] { end = Stamp::now(); });
    const int limit = int(timing.firstPause + timing.secondPause + timing.receiverLimit) + 10000;
    if (!desk.waitForBox(limit) || desk.lastBox().title != QLatin1String("Time out")) {
        report.failure(name,
                       QStringLiteral("no \"Time out\" box; got \"%1\"").arg(desk.lastBox().title));
        return false;
    }
    report.detail(QStringLiteral("from the upload's start to the \"Time out\" box: wall %1 s, "
                                 "process CPU (user + sys) %2 ms")
                      .arg((end.wallNs - start.wallNs) / 1e9, 0, 'f', 3)
                      .arg((end.cpuNs - start.cpuNs) / 1e6, 0, 'f', 1));
    report.figure(name, cpuPercent(start, end), GoalPercent, QStringLiteral(" %"), 3);
    return true;
}

} // namespace bench
