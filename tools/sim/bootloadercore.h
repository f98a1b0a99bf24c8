#pragma once

// The simulated device's bootloader as pure logic: fed the bytes the host
// wrote and the time, it answers with bytes, each due on the host's side at a
// time of its own, and with events. It owns no line, thread or clock, so the
// program and the pty tests drive it from a file descriptor (BootloaderSim),
// and the fuzz target drives it in memory against an ymodem::UploadSession.
//
// It waits for the two command frames (first, then second), enters its
// bootloader and asks for a file with "C" every cIntervalMs until the header
// block starts to arrive. Then it receives one YMODEM-1K file the way the
// real bootloader does:
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
// Every answer is due at a time of its own: the reply delay, the erase delay,
// the wire time of a paced line and the hold of a USB adapter all count, and
// answers leave in the order they were made. Time is in nanoseconds on the
// driver's monotonic clock; the driver calls tick() at nextDeadlineNs().

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <deque>

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
    // The new firmware, once the closing block is acknowledged: it prints
    // this line (its line end added) after bootDelayMs; empty: nothing.
    QByteArray bootLine;
    int bootDelayMs = 0;
    // It prints binary noise and a line longer than any reader keeps first,
    // and then never stops talking (a long line every 50 ms).
    bool bootGarbage = false;
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

namespace sim {

enum class BootloaderPhase
{
    WaitingForCommands,
    WaitingForHeader,
    ReceivingData,
    WaitingForClosingBlock,
    Completed,
    Cancelled,
    LineClosed,
};

struct BootloaderEvent
{
    enum class Kind
    {
        CommandFrames, // the bootloader was entered
        Header,        // text: the file's name; value: its size
        Block,         // value: data blocks stored
        Eot,           // the first EOT accepted
        Completed,     // told once the closing block's ACK is due
        Cancelled,     // told once the last answer before the cancel is due
        CloseLine,     // the device vanishes: the driver closes the line
        Log,           // text: one line of what the device did
        Problem,       // text: what a correct host would never have caused
    };
    Kind kind;
    QString text = {};
    qint64 value = 0;
};

// Bytes for the host, and when they reach it.
struct BootloaderOutput
{
    QByteArray bytes;
    qint64 dueNs;
};

class BootloaderCore
{
public:
    static constexpr qint64 NoDeadline = -1;

    explicit BootloaderCore(const BootloaderSimOptions &options = {});

    // Says that the device waits for the command frames.
    void start();
    // Bytes from the host, read at `nowNs`.
    void receive(const QByteArray &bytes, qint64 nowNs);
    // Time has passed: answers fall due, "C" is asked again, an unfinished
    // frame is dropped.
    void tick(qint64 nowNs);
    // The earliest moment tick() has something to do; NoDeadline if none.
    qint64 nextDeadlineNs() const;
    // The device is off the line: nothing more is answered.
    void closeLine();
    // What the driver saw on the line, for the log and the problems.
    void note(const QString &message);
    void problem(const QString &message);

    // Answers whose time has come, in order; each keeps the time it was due.
    QVector<BootloaderOutput> takeOutput();
    QVector<BootloaderEvent> takeEvents();

    const BootloaderSimOptions &options() const { return options_; }
    BootloaderPhase phase() const { return phase_; }
    QString fileName() const { return fileName_; }
    qint64 announcedSize() const { return announcedSize_; } // -1 before a header
    // The data received so far, cut to the announced size.
    QByteArray receivedImage() const;
    const BootloaderSimCounters &counters() const { return counters_; }
    const QStringList &log() const { return log_; }
    // Everything a correct host would never have caused: bad blocks, stray
    // bytes, an image shorter than announced, wrong fill.
    const QStringList &problems() const { return problems_; }

private:
    struct Outgoing
    {
        QByteArray bytes;
        qint64 dueNs;
        QVector<BootloaderEvent> after; // told once the bytes are due
    };

    // Reading and framing (corereading.cpp).
    void takeArrival(int count, qint64 nowNs);
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

    // The receiver (corereceiver.cpp).
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
    void restartC();
    void startApplication(qint64 ackNs);
    void chatter();

    // Answers, paced and delayed (corewriting.cpp).
    void reply(const QByteArray &bytes, qint64 arrivalNs, int delayMs,
               QVector<BootloaderEvent> after = {});
    void send(const QByteArray &bytes, qint64 readyNs, QVector<BootloaderEvent> after = {});
    void releaseDue(qint64 nowNs);
    qint64 wireNs(qint64 bytes) const;
    qint64 throughAdapter(int bytes, qint64 arrivalNs);

    void emitEvent(BootloaderEvent event) { events_.append(std::move(event)); }
    static QString hexByte(char byte);

    const BootloaderSimOptions options_;
    qint64 nowNs_ = 0;
    bool closed_ = false;
    BootloaderPhase phase_ = BootloaderPhase::WaitingForCommands;

    QByteArray input_;
    qint64 inputConsumed_ = 0; // bytes taken off the front of input_ so far
    QByteArray stray_;
    bool firstFrameSeen_ = false;
    quint8 expectedBlock_ = 1;
    bool nakDone_ = false;
    bool dropDone_ = false;
    bool eotNakDone_ = false;
    qint64 cDueNs_ = NoDeadline;       // the next "C" while waiting for the header
    qint64 stallDueNs_ = NoDeadline;   // an unfinished frame is dropped
    qint64 chatterDueNs_ = NoDeadline; // the new firmware's next line of chatter
    int chatterLines_ = 0;
    // UART model: when the last chunk read starts to arrive, and when each
    // direction of the line is free again.
    qint64 chunkStartNs_ = 0;
    qint64 chunkFirstIndex_ = 0;
    qint64 inboundFreeNs_ = 0;
    qint64 outboundFreeNs_ = 0;
    qint64 lastDueNs_ = 0;
    // The adapter model: bytes it holds, and when they go to the host.
    int heldBytes_ = 0;
    qint64 heldUntilNs_ = 0;
    std::deque<Outgoing> outgoing_;
    QVector<BootloaderOutput> due_;
    QVector<BootloaderEvent> events_;

    QString fileName_;
    qint64 announcedSize_ = -1;
    QByteArray data_;
    BootloaderSimCounters counters_;
    QStringList log_;
    QStringList problems_;
};

} // namespace sim
