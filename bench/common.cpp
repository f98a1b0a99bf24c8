#include "common.h"

#include <QFile>
#include <QMessageLogContext>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace bench {

qint64 nowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

static qint64 toNs(const timeval &time)
{
    return qint64(time.tv_sec) * 1000000000 + qint64(time.tv_usec) * 1000;
}

qint64 processCpuNs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return toNs(usage.ru_utime) + toNs(usage.ru_stime);
}

double cpuPercent(const Stamp &from, const Stamp &to)
{
    const qint64 wall = to.wallNs - from.wallNs;
    if (wall <= 0)
        return 0;
    return 100.0 * double(to.cpuNs - from.cpuNs) / double(wall);
}

Spread spreadOf(QVector<qint64> samples)
{
    Spread spread;
    spread.count = samples.size();
    if (samples.isEmpty())
        return spread;
    std::sort(samples.begin(), samples.end());
    // Nearest rank: the smallest sample with at least p of them at or below.
    auto rank = [&](double p) {
        const int index = int(std::ceil(p * samples.size())) - 1;
        return samples.at(std::clamp(index, 0, samples.size() - 1));
    };
    spread.median = rank(0.5);
    spread.p99 = rank(0.99);
    spread.max = samples.last();
    return spread;
}

QByteArray firmwareImage(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 131 + i / 977) & 0xFF);
    static const char signature[] = {0x00, 0x40, 0x00, 0x20};
    for (int i = 0; i < int(sizeof signature) && i < size; ++i)
        image[i] = signature[i];
    return image;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QString sizeName(int bytes)
{
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
    if (bytes >= 1024 && bytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 B").arg(bytes);
}

namespace {

int debugFd = -1;

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    // The offscreen platform says so for every window shown; it is no news.
    if (text == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    const QByteArray line = (qFormatLogMessage(type, context, text) + '\n').toLocal8Bit();
    const int fd = type == QtDebugMsg ? debugFd : STDERR_FILENO;
    if (::write(fd, line.constData(), size_t(line.size())) < 0) {
        // Nowhere left to tell; the line is lost.
    }
}

} // namespace

void routeDebugLines(const QString &path)
{
    const QByteArray name = QFile::encodeName(path.isEmpty() ? "/dev/null" : path);
    debugFd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (debugFd < 0) {
        std::fprintf(stderr, "kvt-bench: cannot write %s; debug lines dropped\n", name.constData());
        debugFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    qInstallMessageHandler(&handleMessage);
}

} // namespace bench
