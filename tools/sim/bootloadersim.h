#pragma once

// A simulated device on the far end of a serial line. It waits for the two
// command frames (first, then second), enters its bootloader and asks for a
// file with "C" every cIntervalMs until the header block starts to arrive.
// Then it receives one YMODEM-1K file the way the real bootloader does:
//   header block 0          -> ACK C
//   each data block 1, 2, ... (numbers wrap 255 -> 0) -> ACK
//   EOT                     -> ACK C
//   closing block           -> ACK, transfer complete
// Two CAN in a row from the host where a frame would start (CAN CAN) end the
// transfer: the host has given up, and is not answered. Outside a transfer
// they are noted and ignored; a host that stops is never at fault.
// This bootloader reads the closing block as SOH 00 FF with a 1024-byte zero
// field and CRC 00 00 (1029 bytes); a 133-byte one leaves it waiting. A block
// with a bad complement, CRC or number gets NAK; a repeat of the previous
// block is acknowledged again but stored once. The command frames start a new
// session at any time, abandoning a transfer left half done.
//
// Faults can be switched on per run to see how a host copes with them.
//
// The simulator is event-driven (a socket notifier on the line and timers) and
// lives in one thread: create it, move it to a thread of its own if wanted,
// then call start() in that thread. The result accessors may be called from
// any thread.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <mutex>

#include <deque>
#include <functional>

class QSocketNotifier;
class QTimer;

// Faults and quirks for one run. Block numbers n count data blocks from 1 in
// the order they arrive, so block n travels with the number n modulo 256;
// 0 switches a fault off.
struct BootloaderSimOptions
{
    int cIntervalMs = 1000;      // pause between two "C" while waiting for the header
    bool silent = false;         // never sends a single byte
    int nakBlock = 0;            // NAK data block n the first time it arrives
    int dropAckBlock = 0;        // store data block n but leave its first ACK out
    bool garbageBeforeC = false; // a few stray bytes (no "C", no ACK) before the first "C"
    int cancelAtBlock = 0;       // answer data block n with CAN CAN and give up
    bool nakFirstEot = false;    // NAK the first EOT, accept the next
    int replyDelayMs = 0;        // a slow device: every answer waits this long
    int eraseDelayMs = 0;        // added to the answer to block 0 (flash erase)
    int closeAfterBlock = 0;     // the device vanishes once data block n is in, unanswered
    int stallTimeoutMs = 1000;   // an unfinished frame is dropped (and NAKed) after this silence
    // Takes as long as a UART at this speed (the wire time of ymodem::line):
    // what the host writes counts as arrived only once it would be through
    // the wire, and each answer reaches the host only after its own wire
    // time. 0: no pacing.
    int paceBaud = 0;
    // A USB-serial adapter (FTDI-like) between device and host: it holds what
    // the device sends until this long after the first byte it holds, or
    // until its 62-byte buffer is full. 0: no adapter.
    int adapterLatencyMs = 0;
};

// Counts of the current session (reset when the bootloader is entered again);
// sessions, bytesRead and reads cover the simulator's whole life.
struct BootloaderSimCounters
{
    int sessions = 0;       // times the bootloader was entered
    int cSent = 0;          // "C" sent while waiting for the header
    int dataBlocks = 0;     // data blocks accepted and stored
    int repeatedBlocks = 0; // repeats of the previous block, ACKed but not stored
    int naksSent = 0;
    int eotsReceived = 0;
    bool closingBlockReceived = false;
    bool hostCancelled = false; // the host ended the transfer with CAN CAN
    qint64 bytesRead = 0;
    int reads = 0; // reads that returned data: how split the stream arrived
};

class BootloaderSim : public QObject
{
    Q_OBJECT

public:
    enum class Phase
    {
        WaitingForCommands,
        WaitingForHeader,
        ReceivingData,
        WaitingForClosingBlock,
        Completed,
        Cancelled,
        LineClosed,
    };
    Q_ENUM(Phase)

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
    struct Outgoing
    {
        QByteArray bytes;
        qint64 dueNs;
        std::function<void()> afterWrite;
    };

    // Runs `work` in the sim's thread and returns once it has run there.
    void runInOwnThreadAndWait(const std::function<void()> &work);

    // Reading and framing (simreading.cpp).
    void readLine();
    void takeArrival(int count);
    qint64 arrivalNs(qint64 byteIndex) const;
    QByteArray takeInput(int count);
    bool expectsBlocks() const;
    void processInput();
    bool takeCommandFrame();
    bool takeBlock();
    bool takeCancel();
    int blockSize(char head) const;
    void dropStrayByte();
    void flushStrayBytes();
    void onStall();

    // The receiver (simreceiver.cpp).
    void onCommandFrame(bool first);
    void enterBootloader();
    void resetTransfer();
    void pollC();
    void onBlock(const QByteArray &block, qint64 arrivalNs);
    void onHeaderBlock(const QByteArray &block, qint64 arrivalNs);
    void onDataBlock(const QByteArray &block, qint64 arrivalNs);
    void answerDataBlock(const QByteArray &block, int count, qint64 arrivalNs);
    void acceptDataBlock(const QByteArray &block, int count);
    void onClosingBlock(const QByteArray &block, qint64 arrivalNs);
    void onEot(qint64 arrivalNs);
    void onHostCancel();
    void checkImageEnd();
    void reject(const QString &why, qint64 arrivalNs);
    void sendNak(qint64 arrivalNs);

    // Writing, paced and delayed (simwriting.cpp).
    void reply(const QByteArray &bytes, qint64 arrivalNs, int delayMs,
               std::function<void()> afterWrite = {});
    void send(const QByteArray &bytes, qint64 readyNs, std::function<void()> afterWrite = {});
    void scheduleWrite();
    void armWriteTimer(qint64 inNs); // 0 disarms
    void onWriteTimer();
    void writeDue();
    void writeLine(const QByteArray &bytes);
    qint64 wireNs(qint64 bytes) const;
    qint64 throughAdapter(int bytes, qint64 arrivalNs);

    void setPhase(Phase phase);
    void note(const QString &message);
    void problem(const QString &message);
    static QString hexByte(char byte);
    qint64 nowNs() const { return clock_.nsecsElapsed(); }

    const BootloaderSimOptions options_;
    int fd_;
    QElapsedTimer clock_;
    QSocketNotifier *readNotifier_ = nullptr;
    QTimer *cTimer_ = nullptr;
    int writeTimerFd_ = -1; // a timerfd: answers are due to the microsecond
    QSocketNotifier *writeTimerNotifier_ = nullptr;
    bool writeArmed_ = false;
    QTimer *stallTimer_ = nullptr;

    // Only touched in the sim's own thread.
    QByteArray input_;
    qint64 inputConsumed_ = 0; // bytes taken off the front of input_ so far
    QByteArray stray_;
    bool firstFrameSeen_ = false;
    quint8 expectedBlock_ = 1;
    bool nakDone_ = false;
    bool dropDone_ = false;
    bool eotNakDone_ = false;
    // UART model: when the last byte read arrived, and when each direction
    // of the line is free again.
    qint64 chunkStartNs_ = 0;
    qint64 chunkFirstIndex_ = 0;
    qint64 inboundFreeNs_ = 0;
    qint64 outboundFreeNs_ = 0;
    qint64 lastDueNs_ = 0;
    // The adapter model: bytes it holds, and when they go to the host.
    int heldBytes_ = 0;
    qint64 heldUntilNs_ = 0;
    std::deque<Outgoing> outgoing_;

    // Shared with other threads, under mutex_.
    mutable std::mutex mutex_; // a standard mutex, so ThreadSanitizer sees its hand-offs
    Phase phase_ = Phase::WaitingForCommands;
    QString fileName_;
    qint64 announcedSize_ = -1;
    QByteArray data_;
    BootloaderSimCounters counters_;
    QStringList log_;
    QStringList problems_;
};
