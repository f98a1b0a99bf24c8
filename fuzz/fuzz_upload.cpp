// Fuzz target for ymodem::UploadSession.
//
// The input is a script. Its first bytes choose the image (1 to 5000 bytes),
// the number of resends allowed (0 to 3) and a few driver habits; every later
// byte starts one step: bytes from the device (mostly ACK, NAK, "C", CAN and
// EOT), a write report from the port (whole, in parts, too large, zero),
// time passing (a few milliseconds, exactly up to the next deadline, or hours)
// or one step of a well-behaved device. When the script runs out, the device
// falls silent and the clock is driven from deadline to deadline until the
// session ends.
//
// A shadow model that uses only the frame encoders and the timing values
// checks every event the session hands back, and the session's state after
// every call. A broken rule prints what was expected and the last steps, then
// traps, so libFuzzer keeps the input.

#include "ymodem/frames.h"
#include "ymodem/upload.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

using namespace ymodem;
using Kind = UploadEvent::Kind;

namespace {

constexpr int MaxImageSize = 5000;
constexpr int MaxSteps = 4096;
constexpr qint64 HugeStepMs = qint64(1) << 32;

// --- Reporting -------------------------------------------------------------

// The last calls made on the session, printed when a rule breaks.
struct TraceEntry
{
    const char *call;
    qint64 now;
    qint64 arg;
    QByteArray bytes;
};

constexpr int TraceSize = 48;
TraceEntry traceRing[TraceSize];
int traceCount = 0;

void trace(const char *call, qint64 now, qint64 arg = 0, const QByteArray &bytes = {})
{
    traceRing[traceCount % TraceSize] = {call, now, arg, bytes};
    ++traceCount;
}

[[noreturn]] void broken(const char *format, ...) __attribute__((format(printf, 1, 2)));

[[noreturn]] void broken(const char *format, ...)
{
    std::fprintf(stderr, "\nupload invariant broken: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\nlast calls, oldest first:\n");
    const int first = std::max(0, traceCount - TraceSize);
    for (int i = first; i < traceCount; ++i) {
        const TraceEntry &e = traceRing[i % TraceSize];
        std::fprintf(stderr, "  t=%lld %s %lld %s\n", static_cast<long long>(e.now), e.call,
                     static_cast<long long>(e.arg), e.bytes.toHex(' ').constData());
    }
    std::fflush(stderr);
    __builtin_trap();
}

#define REQUIRE(cond, ...)                                                                         \
    do {                                                                                           \
        if (!(cond))                                                                               \
            broken(__VA_ARGS__);                                                                   \
    } while (0)

// --- Input -----------------------------------------------------------------

class Script
{
public:
    Script(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool atEnd() const { return pos_ >= size_; }
    // Reads past the end as zeros, so every prefix of an input is a script.
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    quint16 word()
    {
        const quint16 high = byte();
        return quint16(high << 8 | byte());
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// What the device says, weighted toward the bytes the session acts on.
char deviceByte(Script &script)
{
    static const char favourites[] = {ACK, ACK, ACK, CRC_REQUEST, CRC_REQUEST, NAK, CAN, EOT};
    const uint8_t pick = script.byte();
    if (pick < 0xE0)
        return favourites[pick % sizeof favourites];
    return char(script.byte()); // any byte at all
}

qint64 wireTimeMs(qint64 bytes, int baudRate)
{
    if (baudRate <= 0)
        return 0;
    return (bytes * 10 * 1000 + baudRate - 1) / baudRate;
}

// --- The driver and its model ------------------------------------------------

enum class Sent
{
    Nothing,
    FirstCommand,
    SecondCommand,
    Header,
    Data,
    Eot,
    Closing
};

const char *sentName(Sent sent)
{
    switch (sent) {
    case Sent::Nothing:
        return "nothing";
    case Sent::FirstCommand:
        return "first command frame";
    case Sent::SecondCommand:
        return "second command frame";
    case Sent::Header:
        return "header block";
    case Sent::Data:
        return "data block";
    case Sent::Eot:
        return "EOT";
    case Sent::Closing:
        return "closing block";
    }
    return "?";
}

class Harness
{
public:
    Harness(QByteArray image, UploadOptions options, bool drainWrites)
        : image_(image), options_(options), drainWrites_(drainWrites),
          session_(std::move(image), options)
    {
        blockCount_ = int((image_.size() + DataFieldSize - 1) / DataFieldSize);
        const UploadTiming &t = options_.timing;
        laterWriteMax_ = t.writeLimit + wireTimeMs(DataBlockSize, t.baudRate);
        longestWait_ = std::max({t.firstWriteLimit, t.firstPause, t.secondWriteLimit, t.secondPause,
                                 t.receiverLimit, t.replyLimit, laterWriteMax_});
    }

    bool over() const { return ended_ || stopped_; }

    // --- Steps -------------------------------------------------------------

    void start()
    {
        const bool again = started_;
        trace("start", now_);
        started_ = true;
        run([&] { session_.start(now_); });
        if (again)
            REQUIRE(lastCallEvents_ == 0, "a second start() produced %d events", lastCallEvents_);
    }

    void receive(const QByteArray &bytes)
    {
        trace("receive", now_, bytes.size(), bytes);
        if (!over()) {
            for (const char b : bytes) {
                if (b == ACK)
                    ackSinceSend_ = true;
                else if (b == CRC_REQUEST)
                    cSinceSend_ = cEver_ = true;
                else if (b == NAK)
                    nakSinceSend_ = true;
            }
        }
        run([&] { session_.receive(bytes, now_); });
    }

    void written(qint64 count)
    {
        trace("written", now_, count);
        if (!over() && outstanding_ > 0 && count > 0) {
            outstanding_ = std::max<qint64>(0, outstanding_ - count);
            if (outstanding_ == 0)
                frameWritten();
        }
        run([&] { session_.written(count, now_); });
        REQUIRE(!progressDue_, "data block written at t=%lld without a progress report",
                static_cast<long long>(now_));
    }

    void tick()
    {
        trace("tick", now_);
        const qint64 due = session_.nextDeadline();
        const UploadPhase before = session_.phase();
        run([&] { session_.tick(now_); });
        if (due != UploadSession::NoDeadline && now_ < due) {
            REQUIRE(lastCallEvents_ == 0 && session_.phase() == before,
                    "tick at t=%lld, before the deadline %lld, changed something (%d events)",
                    static_cast<long long>(now_), static_cast<long long>(due), lastCallEvents_);
        }
        if (started_ && !session_.isDone()) {
            REQUIRE(session_.nextDeadline() > now_,
                    "after tick(%lld) the next deadline %lld is not in the future (phase %s)",
                    static_cast<long long>(now_), static_cast<long long>(session_.nextDeadline()),
                    phaseName(session_.phase()));
        }
        // The same tick again has nothing left to do.
        run([&] { session_.tick(now_); });
        REQUIRE(lastCallEvents_ == 0, "a repeated tick(%lld) produced %d events",
                static_cast<long long>(now_), lastCallEvents_);
    }

    void stop()
    {
        trace("stop", now_);
        const bool wasDone = session_.isDone();
        // Before the call: afterCall() expects the phase it leaves.
        if (!wasDone)
            stopped_ = true;
        run([&] { session_.stop(); });
        REQUIRE(lastCallEvents_ == 0, "stop() produced %d events", lastCallEvents_);
    }

    void advance(qint64 ms) { now_ += std::max<qint64>(0, ms); }
    void advanceTo(qint64 t) { now_ = std::max(now_, t); }

    qint64 outstanding() const { return outstanding_; }
    qint64 deadline() const { return session_.nextDeadline(); }

    // A device and port that do the right thing next.
    void goodStep()
    {
        if (!started_) {
            start();
            return;
        }
        if (over())
            return;
        if (outstanding_ > 0) {
            written(outstanding_);
            return;
        }
        switch (session_.phase()) {
        case UploadPhase::FirstPause:
        case UploadPhase::SecondPause:
            advanceTo(session_.nextDeadline());
            tick();
            break;
        case UploadPhase::WaitReceiver:
            receive(QByteArray(1, CRC_REQUEST));
            break;
        case UploadPhase::Data:
            if (blocksSent_ == 0)
                receive(QByteArray(1, ACK) + CRC_REQUEST);
            else
                receive(QByteArray(1, ACK));
            break;
        case UploadPhase::EndOfFile:
            if (lastSent_ == Sent::Eot)
                receive(QByteArray(1, ACK) + CRC_REQUEST);
            else
                receive(QByteArray(1, ACK));
            break;
        case UploadPhase::Closing:
            receive(QByteArray(1, ACK));
            break;
        default:
            break;
        }
    }

    // A device and port that only ever did the right thing get the whole
    // image across.
    void finishWell()
    {
        const int stepBound = 16 + 3 * blockCount_;
        for (int step = 0; !over(); ++step) {
            REQUIRE(step < stepBound,
                    "a well-behaved device is still not done after %d steps "
                    "(phase %s)",
                    stepBound, phaseName(session_.phase()));
            goodStep();
        }
        REQUIRE(completed_, "a well-behaved device ended in a time-out (phase %s)",
                phaseName(session_.phase()));
    }

    // The device says nothing more; the clock goes from deadline to deadline
    // until the session ends.
    void drain()
    {
        if (!started_)
            start();
        const qint64 from = now_;
        const int tickBound = 6 + options_.retries;
        const UploadTiming &t = options_.timing;
        const qint64 timeBound = longestWait_ + 1 + t.firstPause + t.secondWriteLimit + 1 +
                                 t.secondPause + t.receiverLimit + 1 +
                                 (options_.retries + 1) * (t.replyLimit + 1) + laterWriteMax_ + 1;
        int ticks = 0;
        int reports = 0;
        while (!session_.isDone()) {
            if (drainWrites_ && outstanding_ > 0) {
                REQUIRE(++reports <= tickBound + 8, "more than %d write reports while draining",
                        tickBound + 8);
                written(outstanding_);
                continue;
            }
            const qint64 due = session_.nextDeadline();
            REQUIRE(due != UploadSession::NoDeadline, "not done, but no deadline (phase %s)",
                    phaseName(session_.phase()));
            advanceTo(due);
            tick();
            REQUIRE(++ticks <= tickBound,
                    "still not done after %d ticks at deadlines (phase %s, t=%lld)", tickBound,
                    phaseName(session_.phase()), static_cast<long long>(now_));
        }
        REQUIRE(now_ - from <= timeBound, "ending took %lld ms of silence, bound %lld",
                static_cast<long long>(now_ - from), static_cast<long long>(timeBound));
        REQUIRE(over(), "session is done but the model saw no end (phase %s)",
                phaseName(session_.phase()));
        REQUIRE(session_.nextDeadline() == UploadSession::NoDeadline,
                "a finished session still wants a tick at %lld",
                static_cast<long long>(session_.nextDeadline()));

        // Nothing after the end, whatever comes.
        receive(QByteArray(1, ACK) + CRC_REQUEST + NAK);
        written(DataBlockSize);
        advance(HugeStepMs);
        tick();
    }

    template <typename O> void countOutcome(O &outcomes) const
    {
        if (stopped_)
            ++outcomes.stopped;
        else if (completed_)
            ++outcomes.completed;
        else
            ++outcomes.timedOut;
        outcomes.resends += resends_;
    }

private:
    template <typename F> void run(F &&f)
    {
        const bool wasOver = over() || session_.isDone();
        f();
        const QVector<UploadEvent> events = session_.takeEvents();
        lastCallEvents_ = events.size();
        if (wasOver)
            REQUIRE(events.isEmpty(), "%d events after the end", int(events.size()));
        timedOutInCall_ = false;
        for (const UploadEvent &event : events)
            onEvent(event);
        if (timedOutInCall_ && headerWritten_)
            REQUIRE(sawFinalProgress_, "time-out after the transfer began without (100, 100)");
        REQUIRE(!closePortPending_, "ClosePort without Finished right after it");
        afterCall();
    }

    void frameWritten()
    {
        lastWriteAt_ = now_;
        if (lastSent_ != Sent::Eot)
            lastWriteNotEotAt_ = now_;
        switch (lastSent_) {
        case Sent::FirstCommand:
            firstWrittenAt_ = now_;
            break;
        case Sent::SecondCommand:
            secondWrittenAt_ = now_;
            break;
        case Sent::Header:
            headerWritten_ = true;
            break;
        case Sent::Data:
            if (!lastWasResend_)
                progressDue_ = true;
            break;
        default:
            break;
        }
    }

    qint64 writeLimitOfLastFrame() const
    {
        const UploadTiming &t = options_.timing;
        switch (lastSent_) {
        case Sent::FirstCommand:
            return t.firstWriteLimit;
        case Sent::SecondCommand:
            return t.secondWriteLimit;
        default:
            return t.writeLimit + wireTimeMs(lastFrame_.size(), t.baudRate);
        }
    }

    qint64 expectedRemaining() const
    {
        return std::max<qint64>(0, image_.size() - qint64(blocksSent_) * DataFieldSize);
    }

    void onEvent(const UploadEvent &event)
    {
        if (closePortPending_) {
            REQUIRE(event.kind == Kind::Finished, "ClosePort followed by event kind %d",
                    int(event.kind));
        }
        if (ended_) {
            // Only the final progress report may follow a time-out.
            REQUIRE(timedOutInCall_ && event.kind == Kind::Progress && !sawFinalProgress_,
                    "event kind %d after the end", int(event.kind));
        }
        REQUIRE(!stopped_, "event kind %d after stop()", int(event.kind));
        switch (event.kind) {
        case Kind::Send:
            onSend(event.frame);
            break;
        case Kind::Progress:
            onProgress(event.rest, event.total);
            break;
        case Kind::Log:
            break;
        case Kind::Message:
            onTimeOut(event);
            break;
        case Kind::ClosePort:
            REQUIRE(lastSent_ == Sent::Closing && outstanding_ == 0 && ackSinceSend_,
                    "ClosePort after %s (outstanding %lld, ACK since: %d)", sentName(lastSent_),
                    static_cast<long long>(outstanding_), int(ackSinceSend_));
            closePortPending_ = true;
            break;
        case Kind::Finished:
            REQUIRE(closePortPending_, "Finished without ClosePort right before it");
            closePortPending_ = false;
            ended_ = completed_ = true;
            break;
        }
    }

    void onSend(const QByteArray &frame)
    {
        REQUIRE(started_, "a frame before start()");
        REQUIRE(outstanding_ == 0, "%s sent while %lld bytes of the %s are unreported",
                frame.size() == 1 ? "EOT" : "a frame", static_cast<long long>(outstanding_),
                sentName(lastSent_));
        const bool resendable =
            lastSent_ == Sent::Header || lastSent_ == Sent::Data || lastSent_ == Sent::Eot;
        if (resendable && frame == lastFrame_) {
            // What the device said before a resend still counts for the
            // frame; only its NAK has been answered.
            onResend();
            nakSinceSend_ = false;
        } else {
            onNewFrame(frame);
            ackSinceSend_ = cSinceSend_ = nakSinceSend_ = false;
        }
        outstanding_ = frame.size();
        sentAt_ = now_;
    }

    void onResend()
    {
        REQUIRE(options_.retries > 0, "%s sent twice with no resends allowed", sentName(lastSent_));
        REQUIRE(resendsOfFrame_ < options_.retries, "%s resent %d times, %d allowed",
                sentName(lastSent_), resendsOfFrame_ + 1, options_.retries);
        const bool timedOut = now_ - lastWriteAt_ > options_.timing.replyLimit;
        if (lastSent_ == Sent::Eot) {
            REQUIRE(nakSinceSend_, "EOT resent without a NAK after it");
        } else {
            REQUIRE(nakSinceSend_ || timedOut,
                    "%s resent %lld ms after its write, with no NAK since it", sentName(lastSent_),
                    static_cast<long long>(now_ - lastWriteAt_));
        }
        ++resendsOfFrame_;
        ++resends_;
        lastWasResend_ = true;
    }

    void onNewFrame(const QByteArray &frame)
    {
        const UploadTiming &t = options_.timing;
        QByteArray expected;
        Sent next = Sent::Nothing;
        switch (lastSent_) {
        case Sent::Nothing:
            next = Sent::FirstCommand;
            expected = firstCommandFrame;
            break;
        case Sent::FirstCommand:
            next = Sent::SecondCommand;
            expected = secondCommandFrame;
            REQUIRE(now_ - firstWrittenAt_ >= t.firstPause,
                    "second command frame %lld ms after the first was written, pause %lld",
                    static_cast<long long>(now_ - firstWrittenAt_),
                    static_cast<long long>(t.firstPause));
            break;
        case Sent::SecondCommand:
            next = Sent::Header;
            expected = makeHeaderBlock(UploadSession::FileNameOnLine, image_.size());
            REQUIRE(expected.size() == HeaderBlockSize, "reference header block has %d bytes",
                    int(expected.size()));
            REQUIRE(now_ - secondWrittenAt_ >= t.secondPause,
                    "header block %lld ms after the second command was written, pause %lld",
                    static_cast<long long>(now_ - secondWrittenAt_),
                    static_cast<long long>(t.secondPause));
            REQUIRE(cEver_, "header block sent, but the device never sent \"C\"");
            break;
        case Sent::Header:
        case Sent::Data:
            if (blocksSent_ < blockCount_) {
                next = Sent::Data;
                const int offset = blocksSent_ * DataFieldSize;
                expected = makeDataBlock(image_.mid(offset, DataFieldSize),
                                         quint8((blocksSent_ + 1) & 0xFF));
                REQUIRE(expected.size() == DataBlockSize, "reference data block has %d bytes",
                        int(expected.size()));
                if (lastSent_ == Sent::Header) {
                    REQUIRE(ackSinceSend_ && cSinceSend_,
                            "data block 1 without ACK and \"C\" after the header block");
                } else {
                    REQUIRE(ackSinceSend_, "data block %d without an ACK after block %d",
                            blocksSent_ + 1, blocksSent_);
                }
            } else {
                next = Sent::Eot;
                expected = QByteArray(1, EOT);
                REQUIRE(ackSinceSend_, "EOT without an ACK after the last data block");
            }
            break;
        case Sent::Eot:
            next = Sent::Closing;
            expected = makeClosingBlock();
            REQUIRE(expected.size() == DataBlockSize, "reference closing block has %d bytes",
                    int(expected.size()));
            REQUIRE(ackSinceSend_ && cSinceSend_, "closing block without ACK and \"C\" after EOT");
            break;
        case Sent::Closing:
            broken("a %d-byte frame after the closing block", int(frame.size()));
        }
        if (frame != expected) {
            broken("after the %s (data blocks sent: %d of %d) came a %d-byte frame starting "
                   "%s; expected the %s, %d bytes starting %s",
                   sentName(lastSent_), blocksSent_, blockCount_, int(frame.size()),
                   frame.left(8).toHex(' ').constData(), sentName(next), int(expected.size()),
                   expected.left(8).toHex(' ').constData());
        }
        if (next == Sent::Data)
            ++blocksSent_;
        lastSent_ = next;
        lastFrame_ = frame;
        lastWasResend_ = false;
        resendsOfFrame_ = 0;
    }

    void onProgress(double rest, double total)
    {
        if (timedOutInCall_) {
            REQUIRE(headerWritten_, "progress after a time-out before the transfer began");
            REQUIRE(rest == 100.0 && total == 100.0,
                    "progress after a time-out is (%g, %g), not (100, 100)", rest, total);
            sawFinalProgress_ = true;
            return;
        }
        REQUIRE(progressDue_, "progress (%g, %g) without a data block written", rest, total);
        progressDue_ = false;
        REQUIRE(total == double(image_.size()), "progress total %g for an image of %d bytes", total,
                int(image_.size()));
        REQUIRE(rest == double(expectedRemaining()),
                "progress rest %g after %d blocks, expected %lld", rest, blocksSent_,
                static_cast<long long>(expectedRemaining()));
        REQUIRE(rest < lastRest_, "progress rest %g after %g", rest, lastRest_);
        lastRest_ = rest;
    }

    void onTimeOut(const UploadEvent &event)
    {
        REQUIRE(event.title == QLatin1String("Time out") && !event.text.isEmpty(),
                "time-out message titled \"%s\"", qPrintable(event.title));
        // The limit that ran out; the session's stopwatch never starts before
        // the reference time used here.
        qint64 from = 0;
        qint64 limit = 0;
        const UploadTiming &t = options_.timing;
        if (outstanding_ > 0) {
            from = sentAt_;
            limit = writeLimitOfLastFrame();
        } else {
            switch (lastSent_) {
            case Sent::Nothing:
            case Sent::FirstCommand:
                broken("time-out during the first pause");
            case Sent::SecondCommand:
                from = secondWrittenAt_ + t.secondPause;
                limit = t.receiverLimit;
                break;
            default:
                from = lastWriteNotEotAt_;
                limit = t.replyLimit;
                break;
            }
        }
        REQUIRE(now_ - from > limit,
                "time-out at t=%lld after the %s: only %lld ms since t=%lld, limit %lld",
                static_cast<long long>(now_), sentName(lastSent_),
                static_cast<long long>(now_ - from), static_cast<long long>(from),
                static_cast<long long>(limit));
        ended_ = true;
        timedOutInCall_ = true;
    }

    void afterCall()
    {
        if (stopped_) {
            REQUIRE(session_.phase() == UploadPhase::Stopped, "stopped session in phase %s",
                    phaseName(session_.phase()));
        } else if (ended_) {
            const UploadPhase want = completed_ ? UploadPhase::Completed : UploadPhase::TimedOut;
            REQUIRE(session_.phase() == want, "session ended as %s, phase is %s",
                    completed_ ? "completed" : "timed out", phaseName(session_.phase()));
        } else {
            REQUIRE(!session_.isDone(), "session done in phase %s without an end event",
                    phaseName(session_.phase()));
        }
        if (session_.isDone()) {
            REQUIRE(session_.nextDeadline() == UploadSession::NoDeadline,
                    "done, yet next deadline %lld",
                    static_cast<long long>(session_.nextDeadline()));
        } else if (started_) {
            REQUIRE(session_.awaitingWrite() == (outstanding_ > 0),
                    "awaitingWrite() is %d, %lld bytes unreported", int(session_.awaitingWrite()),
                    static_cast<long long>(outstanding_));
            const qint64 due = session_.nextDeadline();
            REQUIRE(due != UploadSession::NoDeadline, "running without a deadline (phase %s)",
                    phaseName(session_.phase()));
            REQUIRE(due <= now_ + longestWait_ + 1,
                    "deadline %lld is more than the longest wait past t=%lld",
                    static_cast<long long>(due), static_cast<long long>(now_));
            checkPhase();
        }
        REQUIRE(session_.blocksSent() == blocksSent_, "blocksSent() %d, model %d",
                session_.blocksSent(), blocksSent_);
        REQUIRE(blocksSent_ <= blockCount_, "%d blocks for an image of %d", blocksSent_,
                blockCount_);
        REQUIRE(session_.remaining() == expectedRemaining(), "remaining() %lld, expected %lld",
                static_cast<long long>(session_.remaining()),
                static_cast<long long>(expectedRemaining()));
        REQUIRE(session_.resends() == resends_, "resends() %d, model %d", session_.resends(),
                resends_);
        REQUIRE(session_.imageSize() == image_.size(), "imageSize() changed");
    }

    // The session's phase agrees with what has gone out.
    void checkPhase() const
    {
        const UploadPhase p = session_.phase();
        bool ok = false;
        switch (lastSent_) {
        case Sent::Nothing:
            ok = p == UploadPhase::NotStarted;
            break;
        case Sent::FirstCommand:
            ok = outstanding_ > 0 ? p == UploadPhase::FirstCommand : p == UploadPhase::FirstPause;
            break;
        case Sent::SecondCommand:
            ok = outstanding_ > 0
                     ? p == UploadPhase::SecondCommand
                     : (p == UploadPhase::SecondPause || p == UploadPhase::WaitReceiver);
            break;
        case Sent::Header:
            ok = outstanding_ > 0 && !lastWasResend_ ? p == UploadPhase::Header
                                                     : p == UploadPhase::Data;
            break;
        case Sent::Data:
            ok = p == UploadPhase::Data ||
                 (p == UploadPhase::EndOfFile && blocksSent_ == blockCount_ && outstanding_ == 0);
            break;
        case Sent::Eot:
            ok = p == UploadPhase::EndOfFile;
            break;
        case Sent::Closing:
            ok = p == UploadPhase::Closing;
            break;
        }
        REQUIRE(ok, "phase %s after the %s (outstanding %lld)", phaseName(p), sentName(lastSent_),
                static_cast<long long>(outstanding_));
    }

    const QByteArray image_;
    const UploadOptions options_;
    const bool drainWrites_;
    UploadSession session_;
    int blockCount_ = 0;
    qint64 laterWriteMax_ = 0;
    qint64 longestWait_ = 0;

    qint64 now_ = 1000;
    bool started_ = false;
    bool stopped_ = false;
    bool ended_ = false;
    bool completed_ = false;
    int lastCallEvents_ = 0;

    // What went out and what the port said about it.
    Sent lastSent_ = Sent::Nothing;
    QByteArray lastFrame_;
    bool lastWasResend_ = false;
    int resendsOfFrame_ = 0;
    int resends_ = 0;
    int blocksSent_ = 0;
    qint64 outstanding_ = 0;
    qint64 sentAt_ = 0;
    qint64 lastWriteAt_ = 0;
    qint64 lastWriteNotEotAt_ = 0;
    qint64 firstWrittenAt_ = 0;
    qint64 secondWrittenAt_ = 0;
    bool headerWritten_ = false;

    // What the device said since the last new frame went out.
    bool ackSinceSend_ = false;
    bool cSinceSend_ = false;
    bool nakSinceSend_ = false;
    bool cEver_ = false;

    bool progressDue_ = false;
    double lastRest_ = 1e18;
    bool timedOutInCall_ = false;
    bool sawFinalProgress_ = false;
    bool closePortPending_ = false;
};

QByteArray makeImage(int size, uint8_t seed)
{
    QByteArray image(size, '\0');
    quint32 state = 0x9E3779B9u ^ seed;
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        // Seed 0 gives an image of fill bytes only: the padding must still be
        // told apart by the block's length.
        image[i] = seed == 0 ? FILL : char(state >> 24);
    }
    return image;
}

UploadTiming scriptedTiming(Script &script)
{
    // Any limit from 0 to ~10 s; the baud rate from none (no wire time) up.
    static const int bauds[] = {0, 1, 9600, 115200};
    UploadTiming t;
    t.firstWriteLimit = script.byte() * 40;
    t.firstPause = script.byte() * 40;
    t.secondWriteLimit = script.byte() * 40;
    t.secondPause = script.byte() * 40;
    t.receiverLimit = script.byte() * 40;
    t.replyLimit = script.byte() * 40;
    t.writeLimit = script.byte() * 40;
    t.baudRate = bauds[script.byte() % 4];
    return t;
}

} // namespace

// How the inputs run so far ended; the replay program prints them.
struct FuzzOutcomes
{
    long completed = 0;
    long timedOut = 0;
    long stopped = 0;
    long resends = 0;
};
FuzzOutcomes fuzzOutcomes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return -1; // not a script; keep it out of the corpus
    traceCount = 0;
    Script script(data, size);
    const int imageSize = script.word() % MaxImageSize + 1;
    const uint8_t config = script.byte();
    const uint8_t seed = script.byte();

    UploadOptions options;
    options.retries = config & 3;
    const bool drainWrites = config & 4;
    const bool lateStart = config & 8;
    if (config & 16)
        options.timing = scriptedTiming(script);

    Harness h(makeImage(imageSize, seed), options, drainWrites);
    if (!lateStart)
        h.start();

    bool onlyGoodSteps = true;
    for (int steps = 0; steps < MaxSteps && !script.atEnd(); ++steps) {
        const uint8_t op = script.byte();
        const int low = op & 0x0F;
        if (op < 0xA0 || op >> 4 == 0xD || op == 0xE0 || op == 0xFF)
            onlyGoodSteps = false;
        switch (op >> 4) {
        case 0x0: // bytes from the device in one piece
        case 0x1: {
            QByteArray bytes;
            for (int i = 0; i <= low; ++i)
                bytes.append(deviceByte(script));
            if (op >> 4 == 0) {
                h.receive(bytes);
            } else {
                for (const char b : bytes)
                    h.receive(QByteArray(1, b));
            }
            break;
        }
        case 0x2: // the whole rest of the frame, or a stray report
            h.written(h.outstanding() > 0 ? h.outstanding() : low + 1);
            break;
        case 0x3: { // part of the frame
            const qint64 left = h.outstanding();
            h.written(left > 1 ? 1 + script.word() % (left - 1) : 1);
            break;
        }
        case 0x4: // more than the frame
            h.written(h.outstanding() + 1 + script.word());
            break;
        case 0x5: // nothing, or a negative count
            h.written(-low);
            break;
        case 0x6: // a few milliseconds
            h.advance(low * 256 + script.byte());
            h.tick();
            break;
        case 0x7: { // up to the deadline, give or take a few milliseconds
            const qint64 due = h.deadline();
            if (due != UploadSession::NoDeadline)
                h.advanceTo(due + low - 8);
            h.tick();
            break;
        }
        case 0x8: // hours, or longer
            h.advance((qint64(script.word()) << 16) % HugeStepMs + low);
            h.tick();
            break;
        case 0x9: // time passes, but the driver is late to tick
            if (low & 8) {
                const qint64 due = h.deadline();
                if (due != UploadSession::NoDeadline)
                    h.advanceTo(due + (low & 7));
            } else {
                h.advance(low * 1000 + script.byte() * 10);
            }
            break;
        case 0xD: // the same moment again
            h.tick();
            break;
        case 0xE:
            if (low == 0)
                h.start();
            else
                h.goodStep();
            break;
        case 0xF:
            if (op == 0xFF)
                h.stop();
            else
                h.goodStep();
            break;
        default: // 0xA to 0xC
            h.goodStep();
            break;
        }
    }

    if (onlyGoodSteps)
        h.finishWell();
    h.drain();
    h.countOutcome(fuzzOutcomes);
    return 0;
}
