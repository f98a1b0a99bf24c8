#include "devices.h"

#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <unistd.h>

namespace bench {

namespace {
constexpr int StartLimitMs = 10000;
constexpr int FinishLimitMs = 10000;
} // namespace

ThreadedDevice::ThreadedDevice(const BootloaderSimOptions &options)
{
    if (!pty_.isOpen()) {
        error_ = pty_.errorString();
        return;
    }
    sim_ = new BootloaderSim(::dup(pty_.masterFd()), options);
    sim_->moveToThread(&thread_);
    thread_.start();
    bool listening = false;
    QMetaObject::invokeMethod(sim_, &BootloaderSim::start, Qt::BlockingQueuedConnection,
                              &listening);
    if (!listening)
        error_ = QStringLiteral("the simulated device could not listen on the pty");
}

ThreadedDevice::~ThreadedDevice()
{
    if (sim_ != nullptr) {
        // Its notifiers and timers belong to its thread: delete it there.
        BootloaderSim *sim = sim_;
        QMetaObject::invokeMethod(
            sim, [sim] { delete sim; }, Qt::BlockingQueuedConnection);
    }
    thread_.quit();
    thread_.wait();
}

DeviceProcess::DeviceProcess(const QString &tool, const QStringList &arguments,
                             const QString &logPath, const QString &imagePath)
    : tool_(tool), arguments_(arguments), logPath_(logPath), imagePath_(imagePath)
{
    // Into a file, not a pipe: reading a pipe would cost this process CPU
    // time that is not the host's.
    process_.setStandardOutputFile(logPath_);
    process_.setStandardErrorFile(logPath_, QIODevice::Append);
}

DeviceProcess::~DeviceProcess()
{
    stop();
}

void DeviceProcess::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate(); // the tool ends on SIGTERM with status 0
    if (!process_.waitForFinished(FinishLimitMs))
        process_.kill();
    process_.waitForFinished(FinishLimitMs);
}

QString DeviceProcess::readLog() const
{
    QFile log(logPath_);
    return log.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(log.readAll()) : QString();
}

bool DeviceProcess::start(QString *error)
{
    process_.start(tool_, arguments_ + QStringList{"--output", imagePath_});
    if (!process_.waitForStarted(StartLimitMs)) {
        *error = QStringLiteral("%1: %2").arg(tool_, process_.errorString());
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("listening on (\\S+)"));
    for (int waited = 0; waited < StartLimitMs; waited += 10) {
        const QRegularExpressionMatch match = listening.match(readLog());
        if (match.hasMatch()) {
            portPath_ = match.captured(1);
            return true;
        }
        if (process_.waitForFinished(10))
            break;
    }
    *error = QStringLiteral("the simulator did not start listening: %1").arg(readLog().left(500));
    return false;
}

bool DeviceProcess::waitForImage(const QByteArray &image) const
{
    // The tool saves the image right after its last ACK is on the line.
    for (int waited = 0; waited < FinishLimitMs; waited += 20) {
        QFile received(imagePath_);
        if (received.open(QIODevice::ReadOnly) && received.readAll() == image)
            return true;
        QThread::msleep(20);
    }
    return false;
}

bool DeviceProcess::finish(const QByteArray &image, QString *error)
{
    const bool received = waitForImage(image);
    stop();
    if (process_.exitStatus() != QProcess::NormalExit || process_.exitCode() != 0) {
        *error = QStringLiteral("the simulator ended badly: %1").arg(readLog().right(300));
        return false;
    }
    if (!received) {
        *error = QStringLiteral("the simulator did not receive the image");
        return false;
    }
    const QString log = readLog();
    if (log.contains(QLatin1String("problem:"))) {
        *error = QStringLiteral("the simulator saw problems: ") +
                 log.mid(log.indexOf(QLatin1String("problem:")), 300);
        return false;
    }
    return true;
}

} // namespace bench
