#pragma once

// The far end of the line for the figures: the simulated bootloader either in
// a thread of this process (instant answers, where only latency matters) or as
// the kvt-bootloader-sim tool in a process of its own (where this process's
// CPU time must be the host's alone).

#include "sim/bootloadersim.h"
#include "sim/pty.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThread>

namespace bench {

class ThreadedDevice
{
public:
    explicit ThreadedDevice(const BootloaderSimOptions &options);
    ~ThreadedDevice();
    ThreadedDevice(const ThreadedDevice &) = delete;
    ThreadedDevice &operator=(const ThreadedDevice &) = delete;

    // Empty when the device is listening.
    QString error() const { return error_; }
    QString portPath() const { return pty_.slavePath(); }
    const BootloaderSim &sim() const { return *sim_; }

private:
    PtyPair pty_;
    QThread thread_;
    BootloaderSim *sim_ = nullptr; // lives in thread_, deleted there
    QString error_;
};

class DeviceProcess
{
public:
    // `logPath` receives the tool's output; `imagePath` the image it receives.
    DeviceProcess(const QString &tool, const QStringList &arguments, const QString &logPath,
                  const QString &imagePath);
    ~DeviceProcess();
    DeviceProcess(const DeviceProcess &) = delete;
    DeviceProcess &operator=(const DeviceProcess &) = delete;

    // Starts the tool and waits until it tells where it listens.
    bool start(QString *error);
    QString portPath() const { return portPath_; }
    // Once the host is done: waits until the tool has saved the image it
    // received, checks it is `image` and came without a problem, and stops
    // the tool. (--once is not used: the tool would exit the moment its last
    // ACK is written, and a pty's unread bytes are lost when its master
    // closes, so a host that reads a moment later would lose that ACK.)
    bool finish(const QByteArray &image, QString *error);

private:
    QString readLog() const;
    bool waitForImage(const QByteArray &image) const;
    void stop();

    QString tool_;
    QStringList arguments_;
    QString logPath_;
    QString imagePath_;
    QString portPath_;
    QProcess process_;
};

} // namespace bench
