#pragma once

// A simulated device on the far end of a serial line: the bootloader of
// BootloaderCore (what it answers, with which faults; see there) driven from
// a file descriptor. What the line delivers goes to the core; each answer is
// written when it is due, from a timerfd to the microsecond; the core's
// events become signals.
//
// The simulator is event-driven (socket notifiers on the line and the timer)
// and lives in one thread: create it, move it to a thread of its own if
// wanted, then call start() in that thread. The result accessors may be
// called from any thread.

#include "sim/bootloadercore.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <mutex>

class QSocketNotifier;

class BootloaderSim : public QObject
{
    Q_OBJECT

public:
    using Phase = sim::BootloaderPhase;

    // Takes over lineFd (a pty master or a serial device already set up) and
    // closes it when done.
    explicit BootloaderSim(int lineFd, const BootloaderSimOptions &options = {},
                           QObject *parent = nullptr);
    ~BootloaderSim() override;

    // Thread-safe views of the current or last transfer.
    Phase phase() const;
    QString fileName() const;
    qint64 announcedSize() const; // -1 before a header block was accepted
    // The data received so far, cut to the announced size.
    QByteArray receivedImage() const;
    BootloaderSimCounters counters() const;
    QStringList log() const;
    // Everything since start() that a correct host would never have caused:
    // bad blocks, stray bytes, an image shorter than announced, wrong fill.
    QStringList problems() const;

public slots:
    // Starts listening in the calling thread, which must be this object's.
    bool start();
    // Closes the line at once, like a device pulled off the cable. From
    // another thread this waits until the sim's own thread has done it.
    void closeLine();

signals:
    // transferCompleted() and transferCancelled() come once the last answer
    // has gone out on the line.
    void commandFramesReceived();
    void headerReceived(const QString &name, qint64 size);
    void blockReceived(int count);
    void eotReceived();
    void transferCompleted();
    void transferCancelled();
    void lineClosed();
    void logged(const QString &message);

private:
    // Asks the sim's own thread to close the line and waits until it has.
    void closeLineFromAnotherThread();

    void readLine();
    void onTimer();
    // After every call into the core: writes what is due, tells its events,
    // and sets the timer for its next deadline.
    void serveCore();
    void writeLine(const QByteArray &bytes);
    void armTimer(qint64 atNs);
    void shutLine();
    qint64 nowNs() const { return clock_.nsecsElapsed(); }

    int fd_;
    QElapsedTimer clock_;
    QSocketNotifier *readNotifier_ = nullptr;
    int timerFd_ = -1; // a timerfd: answers are due to the microsecond
    QSocketNotifier *timerNotifier_ = nullptr;

    // The core, shared with the accessors' threads under mutex_; only the
    // sim's own thread calls into it.
    mutable std::mutex mutex_; // a standard mutex, so ThreadSanitizer sees its hand-offs
    sim::BootloaderCore core_;
    std::condition_variable closed_;
    quint64 closesAsked_ = 0; // by other threads
    quint64 closesDone_ = 0;
};
