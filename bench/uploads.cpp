#include "uploads.h"

#include "windowdesk.h"

#include "flash/portflasher.h"

#include <QSerialPort>

namespace bench {

QString hostName(Host host)
{
    return host == Host::Window ? QStringLiteral("window") : QStringLiteral("kvt-flash");
}

namespace {

void stampEnd(const UploadPlan &plan, UploadResult &result)
{
    if (result.end.wallNs != 0)
        return;
    result.end = Stamp::now();
    if (plan.ended)
        plan.ended();
}

// Puts the probe between the window's worker and its writeHandler(): the
// window's own queued connection is replaced by one that calls writeHandler()
// on the window's thread, as before, and stamps the hand-over the moment it
// returns. (A second queued connection beside the window's would be posted a
// moment later and could run after the device's answer had been seen.)
bool relayWrites(Upgrader &window, QObject &relay, LineProbe &probe)
{
    // Whichever syntax the window connected with, one of these matches it.
    const bool replaced =
        QObject::disconnect(&window, SIGNAL(request_writing(QByteArray)), &window,
                            SLOT(writeHandler(QByteArray))) ||
        QObject::disconnect(&window, &Upgrader::request_writing, &window, &Upgrader::writeHandler);
    if (!replaced)
        return false;
    QObject::connect(
        &window, &Upgrader::request_writing, &relay,
        [&window, &probe](const QByteArray &frame) {
            window.writeHandler(frame);
            probe.handedOver(frame);
        },
        Qt::QueuedConnection);
    return true;
}

UploadResult throughWindow(const UploadPlan &plan, LineProbe &probe)
{
    UploadResult result;
    WindowDesk desk(plan.timing);
    desk.choosePort(plan.portPath);
    QObject relay; // lives in the window's thread
    if (!relayWrites(desk.window(), relay, probe)) {
        result.error = QStringLiteral("the window's writes cannot be relayed");
        return result;
    }
    if (!desk.press(plan.imagePath)) {
        result.error = QStringLiteral("the window did not start its upload");
        return result;
    }
    result.start = Stamp::now();
    if (plan.started)
        plan.started();
    if (!probe.attach(desk.serial())) {
        result.error = QStringLiteral("the port has no read notifier to watch");
        return result;
    }
    QObject::connect(&desk.modals(), &ModalWatcher::boxShown, [&] { stampEnd(plan, result); });
    if (!desk.waitForBox(plan.limitMs)) {
        result.error = QStringLiteral("no message box within %1 ms").arg(plan.limitMs);
        return result;
    }
    result.succeeded = desk.lastBox().title == QLatin1String("Finish");
    if (!result.succeeded)
        result.error = QStringLiteral("the window said \"%1: %2\"")
                           .arg(desk.lastBox().title, desk.lastBox().text);
    return result;
}

UploadResult throughFlasher(const UploadPlan &plan, LineProbe &probe)
{
    UploadResult result;
    flash::PortFlasher flasher(plan.portPath, plan.image, {plan.timing, 0});
    // frameSent is emitted right before the flasher's serial_.write().
    QObject::connect(&flasher, &flash::PortFlasher::frameSent, &probe, &LineProbe::handedOver);
    QObject::connect(&flasher, &flash::PortFlasher::finished, [&] { stampEnd(plan, result); });
    result.start = Stamp::now();
    if (plan.started)
        plan.started();
    flasher.start();
    if (!flasher.isFinished() && !probe.attach(flasher.findChild<QSerialPort *>())) {
        result.error = QStringLiteral("the port has no read notifier to watch");
        flasher.stop();
        return result;
    }
    if (!waitUntil([&] { return flasher.isFinished(); }, &flasher, &flash::PortFlasher::finished,
                   plan.limitMs)) {
        flasher.stop();
        result.error = QStringLiteral("not finished within %1 ms").arg(plan.limitMs);
        return result;
    }
    result.succeeded = flasher.result().succeeded();
    if (!result.succeeded)
        result.error = QStringLiteral("kvt-flash's flasher ended with %1: %2")
                           .arg(QLatin1String(flash::outcomeName(flasher.result().outcome)),
                                flasher.result().message);
    return result;
}

} // namespace

UploadResult runUpload(const UploadPlan &plan, LineProbe &probe)
{
    return plan.host == Host::Window ? throughWindow(plan, probe) : throughFlasher(plan, probe);
}

} // namespace bench
