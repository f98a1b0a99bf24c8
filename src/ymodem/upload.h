#pragma once

// One firmware upload as pure logic: the bootloader handshake, the wait for
// the receiver, the YMODEM-1K transfer and its end, with all time limits.
//
// The session owns no port, thread or clock. Its driver tells it what
// happened (bytes arrived, bytes were written, time passed), each call with the
// current time in milliseconds on a monotonic clock; the session answers with
// events (frames to send, progress, traces of what it saw and did, and one
// end event with the outcome) and with the time at which it next wants to be woken. It speaks
// protocol only: what a person reads is chosen by the window or the flasher.
//
// The order of the phases and the rules of a pass are told at the top of
// upload.cpp, with the driver's calls, the writes and the limits;
// transfer.cpp holds what each phase does with the device's answers.

#include "ymodem/deadline.h"
#include "ymodem/line.h"

#include <QByteArray>
#include <QVector>

namespace ymodem {

// Pauses and limits in milliseconds (see Deadline for when each runs out).
struct UploadTiming
{
    qint64 firstWriteLimit = 5000;  // write report of the first command frame
    qint64 firstPause = 5000;       // the device restarts into its bootloader
    qint64 secondWriteLimit = 1000; // write report of the second command frame
    qint64 secondPause = 1000;
    qint64 receiverLimit = 60000;     // the receiver's first "C"
    qint64 replyLimit = 5000;         // each answer during the transfer
    qint64 writeLimit = 5000;         // write report of any later frame, plus its wire time
    qint32 baudRate = line::BaudRate; // only used to add a frame's wire time to writeLimit
};

struct UploadOptions
{
    UploadTiming timing;
    // Above zero, the robust exchange: every block (the header and the last
    // one included), EOT and the closing block are resent, up to this many
    // times each, on NAK or when the device's answer does not come; each
    // answer gets the full reply limit from the frame that asked for it; a
    // NAK with no resends left ends the upload as refused. Zero keeps the
    // exchange exactly as the window performs it.
    int retries = 0;
    // Two CAN in a row from the device end the upload at once as cancelled.
    // The window's exchange passes them over and waits out its limit.
    bool stopOnCancel = false;
};

enum class UploadPhase
{
    NotStarted,
    FirstCommand,  // first command frame sent, its write report awaited
    FirstPause,    // the device restarts
    SecondCommand, // second command frame sent, its write report awaited
    SecondPause,   //
    WaitReceiver,  // waiting for the receiver's "C"
    Header,        // header block's write report awaited
    Data,          // data blocks, each released by the device's answer
    EndOfFile,     // EOT and its answer
    Closing,       // closing block and its ACK
};

enum class UploadOutcome
{
    Completed,
    TimedOut,  // a limit ran out; UploadEnd::limit tells which
    Refused,   // the device answered NAK and no resend was left
    Cancelled, // the device sent CAN CAN
    Stopped,   // the driver called stop() or abort()
};

// Which limit ran out.
enum class UploadLimit
{
    None,
    Write,    // a frame's write report did not come
    Receiver, // the receiver never asked for the file
    Reply,    // the device did not answer a frame
};

// The frame whose answer the session was waiting for.
enum class UploadAwaited
{
    Nothing, // the handshake, or the receiver's first "C"
    Header,
    Block, // data block number `UploadEnd::block`
    Eot,
    Closing,
};

struct UploadEnd
{
    UploadOutcome outcome = UploadOutcome::Stopped;
    UploadPhase phase = UploadPhase::NotStarted; // the phase the upload ended in
    UploadLimit limit = UploadLimit::None;
    int block = 0;        // data blocks sent when it ended; the last one is in question
    bool nakLast = false; // the device's last answer was a NAK
    UploadAwaited awaited = UploadAwaited::Nothing;
};

// A step of the upload worth a line in a diagnostic log; the window and the
// flasher put it into their words.
struct UploadTrace
{
    enum class What
    {
        GotAck,
        GotC,
        GotNak,            // in the robust exchange; the window's passes NAK over
        TimedOut,          // a limit ran out
        BlockWritten,      // value: image bytes not yet sent after this block
        ReceiverReady,     // the receiver's "C" while waiting for it
        NotReceiverCall,   // value: a byte other than "C" while waiting for the receiver
        LastBlockSent,     //
        LastAck,           // the closing block's ACK
        Resending,         // the last frame goes out again
        CancelledByDevice, // CAN CAN
        CannotEncode,      // the next frame would be wrong; the upload ends
        Cancelling,        // CAN CAN goes out after abort()
    };
    What what;
    qint64 value = 0;

    bool operator==(const UploadTrace &other) const
    {
        return what == other.what && value == other.value;
    }
};

struct UploadEvent
{
    enum class Kind
    {
        Send,     // frame: put these bytes on the line, then report the write
        Progress, // rest, total: bytes of the image not yet sent, image size
        Trace,    // trace: a step worth a diagnostic line
        Ended,    // end: the upload is over; nothing follows
    };
    Kind kind;
    QByteArray frame;
    qint64 rest = 0;
    qint64 total = 0;
    UploadTrace trace = {};
    UploadEnd end = {};
};

class UploadSession
{
public:
    static constexpr const char *FileNameOnLine = "firmware.bin";
    static constexpr qint64 NoDeadline = Deadline::Never;

    explicit UploadSession(QByteArray image, UploadOptions options = {});

    // Sends the first command frame.
    void start(qint64 now);
    // One pass over bytes that arrived since the last call. Bytes that come
    // while a write report is awaited are kept for the pass after it.
    void receive(const QByteArray &bytes, qint64 now);
    // The port reports `count` bytes written.
    void written(qint64 count, qint64 now);
    // Time has passed: ends pauses, runs out limits.
    void tick(qint64 now);
    // Abandons the upload without sending anything more; ends it as stopped.
    void stop();
    // Tells a device in its bootloader that the transfer is off: once the
    // frame on the line is written, CAN CAN goes out, and the upload ends as
    // stopped when that is written (or its write limit runs out). Before the
    // bootloader runs, the same as stop().
    void abort(qint64 now);

    // The earliest moment at which tick() has something to do, on the
    // caller's clock; NoDeadline once done.
    qint64 nextDeadline() const;
    bool isDone() const { return done_; }
    // The phase the upload is in, or ended in.
    UploadPhase phase() const { return phase_; }
    // Valid once isDone().
    const UploadEnd &end() const { return end_; }
    bool awaitingWrite() const { return writeOutstanding_ > 0; }

    QVector<UploadEvent> takeEvents();

    qint64 imageSize() const { return image_.size(); }
    // Image bytes whose blocks the device has acknowledged.
    qint64 acknowledged() const { return acknowledged_; }
    int resends() const { return resends_; }

private:
    enum class Frame
    {
        FirstCommand,
        SecondCommand,
        Header,
        DataBlock,
        Eot,
        Closing,
        Resend,
        Abort
    };

    void send(const QByteArray &frame, Frame kind, qint64 now);
    void onFrameWritten(qint64 now);
    void finishPause(qint64 now);
    void enterWaitReceiver(qint64 now);
    void enterData(qint64 now);
    void enterEndOfFile(qint64 now);
    void sendEot(qint64 now);
    void enterClosing(qint64 now);
    void finish(UploadOutcome outcome, UploadLimit limit = UploadLimit::None);
    void timeOut(UploadLimit limit);
    UploadAwaited awaited() const;

    bool robust() const { return options_.retries > 0; }
    bool restartsReplyLimit(Frame kind) const;
    void sendAbort(qint64 now);
    bool inReplyPhase() const;
    void startReplyLimit(qint64 now);
    void runPendingPasses(qint64 now);
    void runPass(const QByteArray &bytes, qint64 now);
    void examineWaitingForReceiver(char byte);
    void examineReply(char byte);
    void noteCancel(char byte);
    void endOfPass(qint64 now);
    void sendNextDataBlock(qint64 now);
    void endOfFileStep(qint64 now);
    void answerNak(qint64 now);
    bool afterPass(qint64 now);
    void replyLimitRanOut(qint64 now);
    bool resendInsteadOfTimeOut(qint64 now);
    void resendLastFrame(qint64 now);

    void emitEvent(UploadEvent event) { events_.append(std::move(event)); }
    void trace(UploadTrace::What what, qint64 value = 0);

    const QByteArray image_;
    const UploadOptions options_;

    UploadPhase phase_ = UploadPhase::NotStarted;
    bool done_ = false;
    UploadEnd end_;
    // The current pause, or the limit on the device's answer. A frame whose
    // write report restarts that limit suspends it while the write is awaited.
    Deadline step_;
    Deadline write_; // the frame on its way to the port

    Frame writeFrame_ = Frame::FirstCommand;
    qint64 writeOutstanding_ = 0;

    QByteArray pending_; // arrived, not yet examined
    qint64 remaining_ = 0;
    qint64 acknowledged_ = 0;
    quint8 blockNumber_ = 0;
    bool gotC_ = false;
    bool gotAck_ = false;
    bool gotNak_ = false;
    bool nakLast_ = false; // the last answer examined was a NAK
    int cansInARow_ = 0;
    bool blockUnacknowledged_ = false;
    bool aborting_ = false;
    bool eotSent_ = false;
    bool eotAcknowledged_ = false;

    QByteArray lastFrame_; // what a resend repeats
    int retriesLeft_ = 0;
    int blocksSent_ = 0;
    int resends_ = 0;

    QVector<UploadEvent> events_;
};

} // namespace ymodem
