// Whether the window's thread stays responsive during an upload: a repeating
// 1 ms timer on that thread, and the gaps between its ticks.

#include "devices.h"
#include "figures.h"
#include "uploads.h"

#include <QTimer>

namespace bench {

namespace {

constexpr int TickMs = 1;
constexpr double GoalMs = 16.0; // one frame at 60 Hz

} // namespace

bool runStalls(const Config &config, Report &report)
{
    const QString label = QStringLiteral("stalls window %1").arg(sizeName(config.stallSize));
    report.heading(QStringLiteral("5. Window event-loop stalls during a %1 upload (a %2 ms timer "
                                  "on the window's thread; device answering at once in its own "
                                  "thread)")
                       .arg(sizeName(config.stallSize))
                       .arg(TickMs));
    BootloaderSimOptions options;
    options.cIntervalMs = 50;
    ThreadedDevice device(options);
    if (!device.error().isEmpty()) {
        report.failure(label, device.error());
        return false;
    }
    QVector<qint64> ticks;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(TickMs);
    QObject::connect(&ticker, &QTimer::timeout, [&] { ticks.append(nowNs()); });

    UploadPlan plan;
    plan.portPath = device.portPath();
    plan.image = firmwareImage(config.stallSize);
    plan.imagePath = imageFile(config, config.stallSize);
    plan.timing = shortHandshake();
    plan.limitMs = 120000;
    plan.started = [&] {
        ticks.append(nowNs());
        ticker.start();
    };
    plan.ended = [&] {
        ticker.stop();
        ticks.append(nowNs()); // a stall right before the box counts too
    };
    LineProbe probe;
    const UploadResult result = runUpload(plan, probe);
    if (!result.succeeded || device.sim().receivedImage() != plan.image) {
        report.failure(label, result.succeeded ? QStringLiteral("wrong image") : result.error);
        return false;
    }
    QVector<qint64> gaps;
    for (int i = 1; i < ticks.size(); ++i)
        gaps.append(ticks.at(i) - ticks.at(i - 1));
    const Spread spread = spreadOf(gaps);
    report.detail(QStringLiteral("upload %1 s, %2 gaps between ticks: median %3 ms, p99 %4 ms, "
                                 "largest %5 ms")
                      .arg(result.seconds(), 0, 'f', 3)
                      .arg(spread.count)
                      .arg(spread.median / 1e6, 0, 'f', 3)
                      .arg(spread.p99 / 1e6, 0, 'f', 3)
                      .arg(spread.max / 1e6, 0, 'f', 3));
    report.figure(label + QStringLiteral(": largest gap"), spread.max / 1e6, GoalMs,
                  QStringLiteral(" ms"), 3);
    report.figure(label + QStringLiteral(": p99 gap"), spread.p99 / 1e6, GoalMs,
                  QStringLiteral(" ms"), 3);
    return true;
}

} // namespace bench
