// The production station, `kvt-flash --watch`, with many boards plugged at
// once: the wall time of the lot against one board's, the station's CPU time
// and memory, and how soon after its entry appears a board hears the first
// command frame. Every board is a simulated bootloader paced like a UART.

#include "common.h"
#include "devices.h"
#include "figures.h"
#include "stationprocess.h"

#include <QDir>

#include <memory>
#include <mutex>
#include <vector>

namespace bench {

namespace {

constexpr double GoalWallRatio = 1.1;
constexpr double GoalCpuPercent = 5.0;
constexpr double GoalBeyondSettleMs = 50.0;
constexpr int SettleMs = 500; // kvt-flash's own default
// The handshake shortened as in figure 6 (pauses 250 + 50 ms, 250 ms per
// answer); when boards fail with it, the series runs again with the device's
// own pauses and limits.
const QStringList TimingScales{"0.05", "1"};
constexpr int CIntervalMs = 50;                               // the simulator's "C" while it waits
const QLatin1String FirstCommandFrame("first command frame"); // the simulator's log

struct StationRun
{
    qint64 wallNs = 0;        // the first entry made -> the last result line
    qint64 cpuNs = 0;         // the station's, from the first entry made ...
    qint64 cpuSpanNs = 0;     // ... to the moment its CPU time was read again
    qint64 cpuPluggingNs = 0; // of which until the last board's "plug" line
    qint64 peakRssKiB = -1;
    int failed = 0; // boards whose result was not "ok"
    QVector<StationProcess::Board> boards;
};

// How one series of runs at a timing scale went.
enum class Outcome
{
    Measured,
    BoardsFailed, // the station ended boards as failed: worth a slower try
    NotRun,
};

QString entryName(int index)
{
    return QStringLiteral("board-%1").arg(index, 2, 10, QLatin1Char('0'));
}

int resultLimitMs(const Config &config)
{
    const qint64 wireMs = ymodem::line::wireTimeMs(config.stationImageSize, config.paceBaud);
    return int(3 * wireMs + 60000);
}

// Counts the boards not ok; `error` tells of the first.
int countFailed(const QVector<StationProcess::Board> &boards, QString *error)
{
    int failed = 0;
    for (const StationProcess::Board &board : boards) {
        const QString status = board.result.value(QLatin1String("status")).toString();
        if (status != QLatin1String("ok") && failed++ == 0)
            *error = QStringLiteral("%1: %2 (%3)")
                         .arg(board.slot, status,
                              board.result.value(QLatin1String("message")).toString());
    }
    if (failed > 0)
        *error = QStringLiteral("%1 of %2 boards not ok; first %3")
                     .arg(failed)
                     .arg(boards.size())
                     .arg(*error);
    return failed;
}

// One station from its start to SIGTERM, its boards plugged at once on
// `ports`; `run` gets what was measured.
bool driveStation(const Config &config, const QString &scale, const QString &tag,
                  const QStringList &ports, StationRun *run, QString *error)
{
    const QString folder = QStringLiteral("%1/%2-slots").arg(config.workDir, tag);
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot make the folder ") + folder;
        return false;
    }
    StationProcess station(config.flashTool, folder,
                           QStringLiteral("%1/%2-station.err").arg(config.workDir, tag));
    const QStringList options{"--settle", QString::number(SettleMs), "--timing-scale", scale};
    if (!station.start(imageFile(config, config.stationImageSize), options, error))
        return false;
    const qint64 cpuBefore = station.cpuNs();
    if (!station.plug(ports, error) || !station.waitForResults(resultLimitMs(config), error))
        return false;
    const qint64 cpuAfter = station.cpuNs();
    const qint64 readNs = nowNs();
    run->peakRssKiB = station.peakRssKiB();
    run->boards = station.boards();
    const qint64 firstEntryNs = run->boards.constFirst().linkedNs;
    qint64 lastResultNs = 0;
    for (const StationProcess::Board &board : run->boards)
        lastResultNs = qMax(lastResultNs, board.resultNs);
    run->wallNs = lastResultNs - firstEntryNs;
    run->cpuNs = cpuAfter - cpuBefore;
    run->cpuPluggingNs = station.cpuAtLastPlugNs() - cpuBefore;
    run->cpuSpanNs = readNs - firstEntryNs;
    run->failed = countFailed(run->boards, error);
    QString stopError;
    if (!station.stop(run->failed > 0 ? &stopError : error))
        return false;
    return run->failed == 0;
}

// Boards as kvt-bootloader-sim processes, so that nothing of theirs runs in
// the station's process or in this one.
bool runWithProcesses(const Config &config, const QString &scale, int boards, StationRun *run,
                      QString *error)
{
    std::vector<std::unique_ptr<DeviceProcess>> devices;
    QStringList ports;
    for (int i = 0; i < boards; ++i) {
        const QString tag =
            QStringLiteral("%1/station%2-%3").arg(config.workDir).arg(boards).arg(entryName(i));
        devices.push_back(std::make_unique<DeviceProcess>(
            config.simTool,
            QStringList{"--pace", QString::number(config.paceBaud), "--c-interval",
                        QString::number(CIntervalMs)},
            tag + ".log", tag + ".bin"));
        if (!devices.back()->start(error))
            return false;
        ports << devices.back()->portPath();
    }
    if (!driveStation(config, scale, QStringLiteral("station%1x%2").arg(boards).arg(scale), ports,
                      run, error))
        return false;
    const QByteArray image = firmwareImage(config.stationImageSize);
    for (const auto &device : devices) {
        if (!device->finish(image, error))
            return false;
    }
    return true;
}

// What a simulated board logs first once the host talks to it, stamped in
// the simulator's own thread the moment it is logged.
struct FirstWord
{
    std::mutex mutex;
    qint64 ns = -1;
    QString text;
};

// Boards as simulators in threads of this process, so that the moment each
// one reads the first command frame is on this process's clock. Fills
// `latencyNs`: from each entry made to its first command frame.
bool runWithThreads(const Config &config, const QString &scale, int boards, StationRun *run,
                    QVector<qint64> *latencyNs, QString *error)
{
    std::vector<std::unique_ptr<FirstWord>> words; // outlive the simulators that write them
    std::vector<std::unique_ptr<ThreadedDevice>> devices;
    BootloaderSimOptions options;
    options.cIntervalMs = CIntervalMs;
    options.paceBaud = config.paceBaud;
    QStringList ports;
    for (int i = 0; i < boards; ++i) {
        words.push_back(std::make_unique<FirstWord>());
        devices.push_back(std::make_unique<ThreadedDevice>(options));
        if (!devices.back()->error().isEmpty()) {
            *error = devices.back()->error();
            return false;
        }
        FirstWord *word = words.back().get();
        QObject::connect(&devices.back()->sim(), &BootloaderSim::logged,
                         [word](const QString &message) {
                             const qint64 now = nowNs();
                             const std::lock_guard<std::mutex> lock(word->mutex);
                             if (word->ns < 0) {
                                 word->ns = now;
                                 word->text = message;
                             }
                         });
        ports << devices.back()->portPath();
    }
    if (!driveStation(config, scale, QStringLiteral("latency%1x%2").arg(boards).arg(scale), ports,
                      run, error))
        return false;
    const QByteArray image = firmwareImage(config.stationImageSize);
    latencyNs->clear();
    for (int i = 0; i < boards; ++i) {
        const BootloaderSim &sim = devices.at(i)->sim();
        if (sim.receivedImage() != image || !sim.problems().isEmpty()) {
            *error = QStringLiteral("%1: the simulator did not receive the image cleanly: %2")
                         .arg(entryName(i), sim.problems().join(QLatin1String("; ")));
            return false;
        }
        const std::lock_guard<std::mutex> lock(words.at(i)->mutex);
        if (words.at(i)->text != FirstCommandFrame) {
            *error = QStringLiteral("%1: the simulator's first word was \"%2\", not \"%3\"")
                         .arg(entryName(i), words.at(i)->text, FirstCommandFrame);
            return false;
        }
        latencyNs->append(words.at(i)->ns - run->boards.at(i).linkedNs);
    }
    return true;
}

QString ms(qint64 ns, int decimals = 1)
{
    return QString::number(ns / 1e6, 'f', decimals);
}

void describe(Report &report, int boards, const StationRun &run)
{
    QVector<qint64> toPlug;
    QVector<qint64> uploads;
    for (const StationProcess::Board &board : run.boards) {
        toPlug.append(board.pluggedNs - board.linkedNs);
        uploads.append(qint64(board.result.value(QLatin1String("duration_ms")).toDouble() * 1e6));
    }
    const Spread plug = spreadOf(toPlug);
    const Spread upload = spreadOf(uploads);
    report.detail(QStringLiteral("%1 board(s): wall %2 s from the first entry made to the last "
                                 "result line; entry -> \"plug\" line median %3 ms, max %4 ms; "
                                 "duration_ms median %5 ms, max %6 ms")
                      .arg(boards)
                      .arg(run.wallNs / 1e9, 0, 'f', 3)
                      .arg(ms(plug.median), ms(plug.max), ms(upload.median, 0), ms(upload.max, 0)));
    report.detail(QStringLiteral("   the station: CPU (user + sys) %1 ms over %2 s, of which %3 ms "
                                 "until the last \"plug\" line came; peak RSS (VmHWM) %4 KiB")
                      .arg(ms(run.cpuNs, 0))
                      .arg(run.cpuSpanNs / 1e9, 0, 'f', 3)
                      .arg(ms(run.cpuPluggingNs, 0))
                      .arg(run.peakRssKiB));
}

QString label(int boards, const QString &scale, const QString &what)
{
    return QStringLiteral("station %1 board(s), x%2: %3").arg(boards).arg(scale, what);
}

// The moment a board reads its first command frame, on this process's clock:
// one board alone, then all of them plugged at once.
Outcome measureLatency(const Config &config, const QString &scale, Report &report)
{
    report.detail(QStringLiteral("again with each board a simulator in a thread of this process "
                                 "(paced alike), to stamp when it reads its first command frame:"));
    Outcome outcome = Outcome::Measured;
    for (const int boards : {1, config.stationBoards}) {
        const QString name =
            label(boards, scale, "entry -> first command frame beyond settle: max");
        StationRun run;
        QVector<qint64> latencyNs;
        QString error;
        if (!runWithThreads(config, scale, boards, &run, &latencyNs, &error)) {
            report.failure(name, error);
            outcome = run.failed > 0 ? Outcome::BoardsFailed : Outcome::NotRun;
            continue;
        }
        describe(report, boards, run);
        const Spread latency = spreadOf(latencyNs);
        const qint64 settleNs = qint64(SettleMs) * 1000000;
        report.detail(QStringLiteral("   entry -> first command frame: median %1 ms, max %2 ms; "
                                     "beyond the settle time (%3 ms): median %4 ms")
                          .arg(ms(latency.median), ms(latency.max))
                          .arg(SettleMs)
                          .arg(ms(latency.median - settleNs)));
        report.figure(name, (latency.max - settleNs) / 1e6, GoalBeyondSettleMs, " ms", 1);
    }
    return outcome;
}

// Wall time, CPU time and memory with every board a process of its own.
Outcome measureLoad(const Config &config, const QString &scale, Report &report)
{
    const int boards = config.stationBoards;
    const QString wallLabel = label(boards, scale, "wall / 1 board");
    const QString cpuLabel = label(boards, scale, "CPU/wall");
    StationRun single;
    StationRun many;
    QString error;
    if (!runWithProcesses(config, scale, 1, &single, &error)) {
        report.failure(wallLabel, QStringLiteral("one board: ") + error);
        return single.failed > 0 ? Outcome::BoardsFailed : Outcome::NotRun;
    }
    describe(report, 1, single);
    if (!runWithProcesses(config, scale, boards, &many, &error)) {
        if (many.failed > 0)
            describe(report, boards, many);
        report.failure(wallLabel, error);
        report.failure(cpuLabel, error);
        return many.failed > 0 ? Outcome::BoardsFailed : Outcome::NotRun;
    }
    describe(report, boards, many);
    report.figure(wallLabel, double(many.wallNs) / double(single.wallNs), GoalWallRatio, QString(),
                  3);
    report.figure(cpuLabel, 100.0 * double(many.cpuNs) / double(many.cpuSpanNs), GoalCpuPercent,
                  " %", 2);
    return Outcome::Measured;
}

} // namespace

bool runStation(const Config &config, Report &report)
{
    report.heading(QStringLiteral("7. kvt-flash --watch, %1 boards plugged at once (%2 image, "
                                  "each board a simulator paced at %3 baud, --settle %4)")
                       .arg(config.stationBoards)
                       .arg(sizeName(config.stationImageSize))
                       .arg(config.paceBaud)
                       .arg(SettleMs));
    for (const QString &scale : TimingScales) {
        report.detail(QStringLiteral("--timing-scale %1; each board a kvt-bootloader-sim process:")
                          .arg(scale));
        const Outcome load = measureLoad(config, scale, report);
        if (load != Outcome::BoardsFailed) {
            const Outcome latency = measureLatency(config, scale, report);
            if (latency != Outcome::BoardsFailed)
                return load == Outcome::Measured && latency == Outcome::Measured;
        }
        if (scale != TimingScales.constLast())
            report.detail(QStringLiteral("the station failed boards: once more with the device's "
                                         "own pauses and limits"));
    }
    return false;
}

} // namespace bench
