// Whether the station's window stays responsive with many boards in flight:
// kvt-station's window on the real engine, every board a simulated bootloader
// paced like a UART in a thread of its own, all plugged at once, and a
// repeating 1 ms timer on the window's thread whose gaps tell how long the
// event loop was held up.

#include "common.h"
#include "devices.h"
#include "figures.h"

#include "kvt-station/stationwindow.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <memory>
#include <vector>

namespace bench {

namespace {

constexpr int TickMs = 1;
constexpr double GoalMs = 16.0; // one frame at 60 Hz
constexpr int SettleMs = 100;
constexpr int FirstPaintMs = 300;

int limitMs(const Config &config)
{
    return int(3 * ymodem::line::wireTimeMs(config.stationImageSize, config.paceBaud) + 60000);
}

} // namespace

// Once with no record, once with a record and every record forwarded to a
// SQLite database, so the cost of the journal and the forwarder shows.
bool runStationWindow(const Config &config, Report &report)
{
    return runStationWindow(config, report, false) && runStationWindow(config, report, true);
}

bool runStationWindow(const Config &config, Report &report, bool forwarding)
{
    const int boards = config.stationBoards;
    const QString label = QStringLiteral("stalls station window %1 boards%2")
                              .arg(boards)
                              .arg(forwarding ? QStringLiteral(", record and database") : "");
    report.heading(QStringLiteral("8. Station window event-loop stalls: %1 boards of %2 plugged "
                                  "at once, each paced at %3 baud (a %4 ms timer on the "
                                  "window's thread)")
                       .arg(boards)
                       .arg(sizeName(config.stationImageSize))
                       .arg(config.paceBaud)
                       .arg(TickMs));
    BootloaderSimOptions options;
    options.paceBaud = config.paceBaud;
    options.cIntervalMs = 50;
    std::vector<std::unique_ptr<ThreadedDevice>> devices;
    for (int i = 0; i < boards; ++i) {
        devices.push_back(std::make_unique<ThreadedDevice>(options));
        if (!devices.back()->error().isEmpty()) {
            report.failure(label, devices.back()->error());
            return false;
        }
    }
    const QString folder = config.workDir + QStringLiteral("/window-slots");
    QDir().mkpath(folder);
    station::StationConfig station;
    station.folder = folder;
    station.settleMs = SettleMs;
    station.upload.timing = shortHandshake();
    station.upload.retries = 3;
    station.upload.stopOnCancel = true;
    if (forwarding) {
        const QString records = config.workDir + QStringLiteral("/window-records");
        QFile::remove(records + QStringLiteral(".jsonl"));
        QFile::remove(records + QStringLiteral(".sqlite"));
        station.databaseUrl = QStringLiteral("sqlite:") + records + QStringLiteral(".sqlite");
    }
    station::StationWindow window(station);
    if (forwarding)
        window.chooseRecord(config.workDir + QStringLiteral("/window-records.jsonl"));
    else
        window.keepNoRecord();
    window.resize(1920, 1080);
    window.show();
    if (!window.chooseImage(imageFile(config, config.stationImageSize)) || !window.startStation()) {
        report.failure(label, QStringLiteral("the station did not start"));
        return false;
    }

    QVector<qint64> ticks;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(TickMs);
    QObject::connect(&ticker, &QTimer::timeout, [&] { ticks.append(nowNs()); });
    // The span while every board transfers: from the last one's start to
    // the first one's end. Outside it lie the bursts of starting and ending
    // many boards in one pass, which are the engine's.
    int ended = 0;
    qint64 allStartedNs = 0;
    qint64 firstEndedNs = 0;
    QObject::connect(window.station(), &station::Station::changed, [&] {
        if (allStartedNs == 0 && window.station()->inFlight() == boards)
            allStartedNs = nowNs();
    });
    QObject::connect(window.station(), &station::Station::boardFinished, [&] {
        if (ended++ == 0)
            firstEndedNs = nowNs();
    });
    // The window's first paint is no part of the figure, nor is making the
    // entries (the boards are counted as plugged once they have settled).
    QEventLoop firstPaint;
    QTimer::singleShot(FirstPaintMs, &firstPaint, &QEventLoop::quit);
    firstPaint.exec();
    for (int i = 0; i < boards; ++i)
        QFile::link(devices[i]->portPath(), QStringLiteral("%1/board-%2").arg(folder).arg(i));
    const qint64 startNs = nowNs();
    ticks.append(startNs);
    ticker.start();
    const bool done = waitUntil([&] { return ended == boards; }, window.station(),
                                &station::Station::boardFinished, limitMs(config));
    ticker.stop();
    ticks.append(nowNs());
    const station::StationCounts counts = window.station()->counts();
    if (!done || counts.ok != boards) {
        report.failure(label, QStringLiteral("%1 of %2 boards ok").arg(counts.ok).arg(boards));
        return false;
    }
    QVector<qint64> gaps;
    QVector<qint64> transferGaps;
    for (int i = 1; i < ticks.size(); ++i) {
        gaps.append(ticks.at(i) - ticks.at(i - 1));
        if (ticks.at(i - 1) >= allStartedNs && ticks.at(i) <= firstEndedNs)
            transferGaps.append(gaps.last());
    }
    const Spread spread = spreadOf(gaps);
    const Spread transfer = spreadOf(transferGaps);
    report.detail(QStringLiteral("%1 boards in %2 s, %3 gaps between ticks: median %4 ms, p99 "
                                 "%5 ms, largest %6 ms")
                      .arg(boards)
                      .arg((nowNs() - startNs) / 1e9, 0, 'f', 1)
                      .arg(spread.count)
                      .arg(spread.median / 1e6, 0, 'f', 3)
                      .arg(spread.p99 / 1e6, 0, 'f', 3)
                      .arg(spread.max / 1e6, 0, 'f', 3));
    report.detail(QStringLiteral("while all %1 transfer (%2 s): %3 gaps, p99 %4 ms, largest %5 ms")
                      .arg(boards)
                      .arg((firstEndedNs - allStartedNs) / 1e9, 0, 'f', 1)
                      .arg(transfer.count)
                      .arg(transfer.p99 / 1e6, 0, 'f', 3)
                      .arg(transfer.max / 1e6, 0, 'f', 3));
    report.figure(label + QStringLiteral(": largest gap while all transfer"), transfer.max / 1e6,
                  GoalMs, QStringLiteral(" ms"), 3);
    report.figure(label + QStringLiteral(": largest gap, starts and ends included"),
                  spread.max / 1e6, GoalMs, QStringLiteral(" ms"), 3);
    report.figure(label + QStringLiteral(": p99 gap"), spread.p99 / 1e6, GoalMs,
                  QStringLiteral(" ms"), 3);
    return true;
}

} // namespace bench
