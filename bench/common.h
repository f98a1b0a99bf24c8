#pragma once

// Clock, CPU time, spreads and waiting: what every figure of the bench uses.

#include <QByteArray>
#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

namespace bench {

// Nanoseconds on the monotonic clock that every probe of the bench shares.
qint64 nowNs();

// User plus system CPU time of this process so far, all its threads.
qint64 processCpuNs();

// A point in time with the process's CPU time at that moment.
struct Stamp
{
    qint64 wallNs = 0;
    qint64 cpuNs = 0;
    static Stamp now() { return {nowNs(), processCpuNs()}; }
};

// CPU time over wall time between two stamps, in percent.
double cpuPercent(const Stamp &from, const Stamp &to);

struct Spread
{
    int count = 0;
    qint64 median = 0;
    qint64 p99 = 0;
    qint64 max = 0;
};

// Nearest-rank median and 99th percentile, and the largest sample.
Spread spreadOf(QVector<qint64> samples);

// Runs the event loop until `done()` holds, checked now and after each
// emission of `signal`, or until `timeoutMs` passes. Nothing polls meanwhile,
// so the CPU time spent across the wait is the code under test's.
template <typename Sender, typename Signal>
bool waitUntil(const std::function<bool()> &done, const Sender *sender, Signal signal,
               int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QObject::connect(sender, signal, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

// An image the window accepts: the signature, then bytes that vary.
QByteArray firmwareImage(int size);

bool writeFile(const QString &path, const QByteArray &bytes);

// "64 KiB", "1 MiB", "4 MiB".
QString sizeName(int bytes);

// Sends the debug lines of the code under test to `path` (/dev/null by
// default) with one write each, as Qt's own handler writes them to standard
// error: their cost stays in the figures, their flood stays out of the report.
// Warnings and worse still go to standard error.
void routeDebugLines(const QString &path);

} // namespace bench
