#include "stationprocess.h"

#include "common.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTimer>

#include <functional>
#include <unistd.h>

namespace bench {

namespace {

constexpr int StartLimitMs = 10000;
constexpr int StopLimitMs = 20000;
constexpr int InterruptedStatus = 130; // kvt-flash's status after SIGTERM

QByteArray procFile(qint64 pid, const char *name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs the event loop until `done()` holds (checked after every line), the
// station ends or `timeoutMs` passes. Nothing polls meanwhile.
bool waitFor(QProcess &process, const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &loop, [&] {
        if (done())
            loop.quit();
    });
    QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

} // namespace

StationProcess::StationProcess(const QString &tool, const QString &folder, const QString &errPath)
    : tool_(tool), folder_(folder), errPath_(errPath)
{
    process_.setStandardErrorFile(errPath_);
    // Connected before any wait's own connection, so a wait sees each line
    // already taken.
    connect(&process_, &QProcess::readyReadStandardOutput, this, &StationProcess::readLines);
}

StationProcess::~StationProcess()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(StopLimitMs);
    }
}

bool StationProcess::start(const QString &image, const QStringList &extra, QString *error)
{
    process_.start(tool_, QStringList{image, "--watch", folder_, "--json"} + extra);
    if (!process_.waitForStarted(StartLimitMs)) {
        *error = QStringLiteral("%1: %2").arg(tool_, process_.errorString());
        return false;
    }
    if (waitFor(
            process_, [this] { return watching_; }, StartLimitMs))
        return true;
    *error = QStringLiteral("the station did not start watching: ") + stationErrors();
    return false;
}

bool StationProcess::plug(const QStringList &ports, QString *error)
{
    boards_.clear();
    plugs_ = results_ = 0;
    cpuAtLastPlugNs_ = -1;
    for (int i = 0; i < ports.size(); ++i) {
        Board board;
        board.slot = QStringLiteral("board-%1").arg(i, 2, 10, QLatin1Char('0'));
        const QByteArray entry = QFile::encodeName(QDir(folder_).filePath(board.slot));
        board.linkedNs = nowNs();
        if (::symlink(QFile::encodeName(ports.at(i)).constData(), entry.constData()) != 0) {
            *error = QStringLiteral("cannot make the entry %1").arg(QString::fromLocal8Bit(entry));
            return false;
        }
        boards_.append(board);
    }
    return true;
}

bool StationProcess::waitForResults(int timeoutMs, QString *error)
{
    if (waitFor(
            process_, [this] { return results_ == boards_.size(); }, timeoutMs))
        return true;
    *error = QStringLiteral("%1 of %2 boards had a result within %3 s; the station: %4")
                 .arg(results_)
                 .arg(boards_.size())
                 .arg(timeoutMs / 1000)
                 .arg(stationErrors());
    return false;
}

bool StationProcess::stop(QString *error)
{
    process_.terminate();
    if (!process_.waitForFinished(StopLimitMs)) {
        *error = QStringLiteral("the station did not end on SIGTERM");
        return false;
    }
    readLines();
    const int ok = summary_.value(QLatin1String("ok")).toInt(-1);
    if (process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == InterruptedStatus &&
        ok == boards_.size())
        return true;
    *error = QStringLiteral("the station ended with status %1, %2 board(s) ok in its summary: %3")
                 .arg(process_.exitCode())
                 .arg(ok)
                 .arg(stationErrors());
    return false;
}

qint64 StationProcess::cpuNs() const
{
    // The fields after the command's closing parenthesis start at the third,
    // the state; utime and stime are the 14th and 15th, in clock ticks.
    const QByteArray stat = procFile(process_.processId(), "stat");
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const qint64 ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    return ticks * 1000000000 / ::sysconf(_SC_CLK_TCK);
}

qint64 StationProcess::peakRssKiB() const
{
    for (const QByteArray &line : procFile(process_.processId(), "status").split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void StationProcess::readLines()
{
    const qint64 arrivedNs = nowNs();
    pending_ += process_.readAllStandardOutput();
    int end;
    while ((end = pending_.indexOf('\n')) >= 0) {
        const QByteArray line = pending_.left(end);
        pending_.remove(0, end + 1);
        take(QJsonDocument::fromJson(line).object(), arrivedNs);
    }
}

void StationProcess::take(const QJsonObject &line, qint64 arrivedNs)
{
    const QString event = line.value(QLatin1String("event")).toString();
    if (event == QLatin1String("watch")) {
        watching_ = true;
        return;
    }
    if (event == QLatin1String("summary")) {
        summary_ = line;
        return;
    }
    const int index = boardIndex(line.value(QLatin1String("slot")).toString());
    if (index < 0)
        return;
    Board &board = boards_[index];
    if (event == QLatin1String("plug") && board.pluggedNs < 0) {
        board.pluggedNs = arrivedNs;
        if (++plugs_ == boards_.size())
            cpuAtLastPlugNs_ = cpuNs();
    } else if (event == QLatin1String("result") && board.resultNs < 0) {
        board.resultNs = arrivedNs;
        board.result = line;
        ++results_;
    }
}

int StationProcess::boardIndex(const QString &slot) const
{
    for (int i = 0; i < boards_.size(); ++i) {
        if (boards_.at(i).slot == slot)
            return i;
    }
    return -1;
}

QString StationProcess::stationErrors() const
{
    QFile err(errPath_);
    const QString text = err.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(err.readAll()) : "";
    return text.isEmpty() ? QStringLiteral("(nothing on its standard error)") : text.left(500);
}

} // namespace bench
