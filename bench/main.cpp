// kvt-bench: prints the updater's performance figures, each with its goal.
// See bench/README.md for what each figure means and how it is measured.
//
// Exit status: 0 when every figure could be measured (whether or not its goal
// was met), 1 when one could not, 64 for a wrong command line.

#include "common.h"
#include "figures.h"
#include "report.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/utsname.h>

namespace bench {

ymodem::UploadTiming shortHandshake()
{
    ymodem::UploadTiming timing;
    timing.firstPause = 100;
    timing.secondPause = 20;
    return timing;
}

QString imageFile(const Config &config, int size)
{
    const QString path = QStringLiteral("%1/image-%2.kvt").arg(config.workDir).arg(size);
    if (!QFileInfo::exists(path))
        writeFile(path, firmwareImage(size));
    return path;
}

} // namespace bench

namespace {

using namespace bench;

const QStringList AllFigures{"idle",    "turnaround",     "paced",   "stalls",  "ports",
                             "station", "station-window", "adapter", "records", "soak"};

// "64K", "1M", "4M" or a byte count.
int parseSize(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^(\\d+)([KkMm]?)$"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return -1;
    const qint64 unit = match.captured(2).isEmpty()          ? 1
                        : match.captured(2).toUpper() == "K" ? 1024
                                                             : 1024 * 1024;
    const qint64 size = match.captured(1).toLongLong() * unit;
    return size > 0 && size <= 64 * 1024 * 1024 ? int(size) : -1;
}

// The value after `key` on the first line of `path` that starts with it.
QString valueAfter(const QString &path, const QString &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QString text = QString::fromLocal8Bit(line);
        if (text.startsWith(key))
            return text.mid(key.size()).remove('"').trimmed();
    }
    return QStringLiteral("?");
}

// Opening a port writes its lock file through to the disk unless the lock
// folder is in memory: a millisecond per port on the station's thread.
QString lockFolderKind()
{
    struct statfs folder
    {
    };
    if (::statfs("/var/lock/", &folder) != 0)
        return QStringLiteral("?");
    return folder.f_type == TMPFS_MAGIC ? QStringLiteral("in memory")
                                        : QStringLiteral("on a disk (each port open syncs)");
}

void printMachine()
{
    utsname names{};
    ::uname(&names);
    QFile load(QStringLiteral("/proc/loadavg"));
    const QString loadAverage = load.open(QIODevice::ReadOnly)
                                    ? QString::fromLatin1(load.readAll()).section(' ', 0, 2)
                                    : QStringLiteral("?");
    print(QStringLiteral("kvt-bench on %1 CPU(s), %2; memory %3; %4, kernel %5; Qt %6; "
                         "load average at start %7; /var/lock %8")
              .arg(QThread::idealThreadCount())
              .arg(valueAfter("/proc/cpuinfo", "model name\t:"),
                   valueAfter("/proc/meminfo", "MemTotal:"),
                   valueAfter("/etc/os-release", "PRETTY_NAME="),
                   QString::fromLatin1(names.release), QLatin1String(qVersion()), loadAverage,
                   lockFolderKind()));
}

QString defaultTool(const char *builtPath, const QString &besideBench)
{
    if (QFileInfo(QString::fromLocal8Bit(builtPath)).isExecutable())
        return QString::fromLocal8Bit(builtPath);
    return QCoreApplication::applicationDirPath() + besideBench;
}

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        "Prints the updater's performance figures, each with its goal and whether it was met.\n"
        "Exit status 0 when every figure could be measured, 1 when one could not.");
    parser.addHelpOption();
    parser.addOptions({
        {"quick", "Small sizes only; finishes in about a minute (for CI)."},
        {"only", "Run only these figures: " + AllFigures.join(',') + ".", "list"},
        {"sizes", "Image sizes of the turnaround and paced figures, e.g. 64K,1M,4M.", "list"},
        {"sim-tool", "The kvt-bootloader-sim binary.", "path"},
        {"flash-tool", "The kvt-flash binary.", "path"},
        {"debug-log", "Keep the updater's debug lines in this file (default: dropped).", "file"},
    });
}

bool readSizes(const QString &list, QVector<int> *sizes)
{
    sizes->clear();
    for (const QString &item : list.split(',', Qt::SkipEmptyParts)) {
        const int size = parseSize(item);
        if (size < 0)
            return false;
        sizes->append(size);
    }
    return !sizes->isEmpty();
}

Config makeConfig(const QCommandLineParser &parser, QString *error)
{
    Config config;
    config.quick = parser.isSet("quick");
    const int kib = 1024;
    const int mib = 1024 * kib;
    config.instantSizes =
        config.quick ? QVector<int>{64 * kib} : QVector<int>{64 * kib, mib, 4 * mib};
    config.pacedSizes =
        config.quick ? QVector<int>{64 * kib} : QVector<int>{64 * kib, mib, 4 * mib};
    config.stallSize = config.quick ? 256 * kib : mib;
    config.portsImageSize = 64 * kib;
    config.portCounts = {1, 4, 8};
    config.stationBoards = config.quick ? 8 : 64;
    config.stationImageSize = config.quick ? 16 * kib : 64 * kib;
    if (parser.isSet("sizes")) {
        if (!readSizes(parser.value("sizes"), &config.instantSizes))
            *error = QStringLiteral("bad --sizes: ") + parser.value("sizes");
        config.pacedSizes = config.instantSizes;
    }
    config.simTool =
        parser.isSet("sim-tool")
            ? parser.value("sim-tool")
            : defaultTool(KVT_SIM_TOOL, "/../tools/kvt-bootloader-sim/kvt-bootloader-sim");
    config.recordsBacklog = config.quick ? 5000 : 100000;
    config.summaryRecords = config.quick ? 20000 : 1000000;
    config.recordsTool = defaultTool(KVT_RECORDS_TOOL, "/../tools/kvt-records/kvt-records");
    config.flashTool = parser.isSet("flash-tool")
                           ? parser.value("flash-tool")
                           : defaultTool(KVT_FLASH_TOOL, "/../tools/kvt-flash/kvt-flash");
    return config;
}

QStringList chosenFigures(const QCommandLineParser &parser, QString *error)
{
    if (!parser.isSet("only"))
        return AllFigures;
    const QStringList chosen = parser.value("only").split(',', Qt::SkipEmptyParts);
    for (const QString &figure : chosen) {
        if (!AllFigures.contains(figure))
            *error = QStringLiteral("unknown figure in --only: ") + figure;
    }
    return chosen;
}

bool runFigure(const QString &figure, const Config &config, Report &report)
{
    if (figure == "idle")
        return runIdleWait(config, report);
    if (figure == "turnaround")
        return runTurnaround(config, report);
    if (figure == "paced")
        return runPacedLine(config, report);
    if (figure == "stalls")
        return runStalls(config, report);
    if (figure == "station")
        return runStation(config, report);
    if (figure == "station-window")
        return runStationWindow(config, report);
    if (figure == "adapter")
        return runAdapterLatency(config, report);
    if (figure == "records")
        return runRecords(config, report);
    if (figure == "soak")
        return runSoak(config, report);
    return runParallelPorts(config, report);
}

} // namespace

int main(int argc, char *argv[])
{
    // The window is real but needs no screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvt-bench"));
    QCommandLineParser parser;
    addOptions(parser);
    parser.process(app);
    QString error;
    Config config = makeConfig(parser, &error);
    const QStringList figures = chosenFigures(parser, &error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "kvt-bench: %s\n", qPrintable(error));
        return 64;
    }
    QTemporaryDir scratch(QStringLiteral("/tmp/kvt-bench-XXXXXX"));
    if (!scratch.isValid()) {
        std::fprintf(stderr, "kvt-bench: no scratch directory in /tmp\n");
        return 1;
    }
    config.workDir = scratch.path();
    routeDebugLines(parser.value("debug-log"));

    printMachine();
    print(config.quick ? QStringLiteral("mode: --quick") : QStringLiteral("mode: full"));
    Report report;
    QElapsedTimer clock;
    clock.start();
    bool ran = true;
    for (const QString &figure : figures)
        ran = runFigure(figure, config, report) && ran;
    report.summary();
    print(QStringLiteral("ran in %1 s").arg(clock.elapsed() / 1000.0, 0, 'f', 1));
    return ran ? 0 : 1;
}
