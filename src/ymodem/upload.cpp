#include "ymodem/upload.h"

#include "ymodem/frames.h"

#include <utility>

// The road of one upload, in order:
//
//   FirstCommand   send the first command frame; its write report must come
//                  within firstWriteLimit of the start
//   FirstPause     firstPause, while the device restarts into its bootloader
//   SecondCommand  send the second command frame; write report within
//                  secondWriteLimit
//   SecondPause    secondPause
//   WaitReceiver   passes until a "C" was examined (receiverLimit)
//   Header         send block 0 and await its write report
//   Data           passes; a block goes out at the end of a pass that holds
//                  ACK and "C" (the "C" is kept, so after the first block an
//                  ACK alone releases the next); replyLimit per block
//   EndOfFile      the last block's ACK releases EOT, sent once; then ACK and
//                  "C" in either order; replyLimit for the whole phase
//   Closing        send the closing block; its ACK completes the upload
//
// A pass examines every byte that arrived since the last one, then takes the
// phase's end-of-pass step, then tests the phase's limit: a wanted byte that
// arrives after the limit still ends in the time-out, unless the end-of-pass
// step sent a frame and so restarted the stopwatch. Bytes that arrive while a
// write report is awaited are examined by the next pass.

namespace ymodem {

namespace {

const QString TimeOutTitle = QStringLiteral("Time out");
const QString TimeOutText = QStringLiteral("Please try again or change port.");

qint64 wireTimeMs(qint64 bytes, int baudRate)
{
    if (baudRate <= 0)
        return 0;
    const qint64 bits = bytes * 10; // start bit, 8 data bits, stop bit
    return (bits * 1000 + baudRate - 1) / baudRate;
}

} // namespace

const char *phaseName(UploadPhase phase)
{
    switch (phase) {
    case UploadPhase::NotStarted:
        return "not started";
    case UploadPhase::FirstCommand:
    case UploadPhase::FirstPause:
    case UploadPhase::SecondCommand:
    case UploadPhase::SecondPause:
        return "bootloader handshake";
    case UploadPhase::WaitReceiver:
        return "waiting for the receiver";
    case UploadPhase::Header:
        return "header block";
    case UploadPhase::Data:
        return "data blocks";
    case UploadPhase::EndOfFile:
        return "end of file";
    case UploadPhase::Closing:
        return "closing block";
    case UploadPhase::Completed:
        return "completed";
    case UploadPhase::TimedOut:
        return "timed out";
    case UploadPhase::Stopped:
        return "stopped";
    }
    return "";
}

UploadSession::UploadSession(QByteArray image, UploadOptions options)
    : image_(std::move(image)), options_(options), remaining_(image_.size())
{}

void UploadSession::start(qint64 now)
{
    if (phase_ != UploadPhase::NotStarted)
        return;
    remaining_ = image_.size();
    blockNumber_ = 0;
    gotC_ = gotAck_ = false;
    timerStart_ = now;
    phase_ = UploadPhase::FirstCommand;
    send(firstCommandFrame, Frame::FirstCommand, timerStart_, options_.timing.firstWriteLimit);
}

void UploadSession::receive(const QByteArray &bytes, qint64 now)
{
    if (isDone())
        return;
    pending_.append(bytes);
    runPendingPasses(now);
}

void UploadSession::written(qint64 count, qint64 now)
{
    // A report while nothing is awaited (the rest of an earlier frame, or the
    // port catching up during a pause) releases nothing.
    if (isDone() || writeOutstanding_ <= 0 || count <= 0)
        return;
    writeOutstanding_ -= count;
    if (writeOutstanding_ > 0)
        return;
    writeOutstanding_ = 0;
    onFrameWritten(now);
}

void UploadSession::tick(qint64 now)
{
    if (isDone() || phase_ == UploadPhase::NotStarted)
        return;
    if (awaitingWrite()) {
        if (now - writeLimitFrom_ > writeLimit_)
            timeOut();
        return;
    }
    switch (phase_) {
    case UploadPhase::FirstPause:
        if (now - timerStart_ >= options_.timing.firstPause)
            finishPause(now);
        break;
    case UploadPhase::SecondPause:
        if (now - timerStart_ >= options_.timing.secondPause)
            finishPause(now);
        break;
    default:
        if (inReplyPhase())
            checkReplyLimit(now);
        break;
    }
}

void UploadSession::stop()
{
    if (!isDone())
        phase_ = UploadPhase::Stopped;
}

qint64 UploadSession::nextDeadline() const
{
    if (isDone() || phase_ == UploadPhase::NotStarted)
        return NoDeadline;
    if (awaitingWrite())
        return writeLimitFrom_ + writeLimit_ + 1;
    switch (phase_) {
    case UploadPhase::FirstPause:
        return timerStart_ + options_.timing.firstPause;
    case UploadPhase::SecondPause:
        return timerStart_ + options_.timing.secondPause;
    default:
        return timerStart_ + replyPhaseLimit() + 1;
    }
}

bool UploadSession::isDone() const
{
    return phase_ == UploadPhase::Completed || phase_ == UploadPhase::TimedOut ||
           phase_ == UploadPhase::Stopped;
}

QVector<UploadEvent> UploadSession::takeEvents()
{
    QVector<UploadEvent> events;
    events.swap(events_);
    return events;
}

// --- Writing --------------------------------------------------------------

void UploadSession::send(const QByteArray &frame, Frame kind, qint64 limitFrom, qint64 limit)
{
    if (frame.isEmpty()) {
        // The encoder refused (a block that would be wrong); never send it.
        log(QStringLiteral("cannot encode the next frame"));
        timeOut();
        return;
    }
    writeFrame_ = kind;
    writeOutstanding_ = frame.size();
    writeLimitFrom_ = limitFrom;
    writeLimit_ = limit;
    emitEvent({UploadEvent::Kind::Send, frame, 0, 0, {}, {}});
}

static qint64 laterFrameWriteLimit(const UploadTiming &timing, const QByteArray &frame)
{
    return timing.writeLimit + wireTimeMs(frame.size(), timing.baudRate);
}

void UploadSession::onFrameWritten(qint64 now)
{
    switch (writeFrame_) {
    case Frame::FirstCommand:
        phase_ = UploadPhase::FirstPause;
        timerStart_ = now;
        return;
    case Frame::SecondCommand:
        phase_ = UploadPhase::SecondPause;
        timerStart_ = now;
        return;
    case Frame::Header:
        enterData(now);
        break;
    case Frame::DataBlock:
        log(QStringLiteral("remaining data: %1").arg(remaining_));
        gotAck_ = false;
        emitEvent(
            {UploadEvent::Kind::Progress, {}, double(remaining_), double(image_.size()), {}, {}});
        timerStart_ = now;
        break;
    case Frame::Eot:
        eotSent_ = true;
        gotAck_ = false;
        break;
    case Frame::Resend:
        if (phase_ == UploadPhase::Data)
            timerStart_ = now;
        break;
    case Frame::Closing:
        gotAck_ = false;
        timerStart_ = now;
        break;
    }
    // The write finished the pass that sent the frame.
    if (afterPass(now))
        runPendingPasses(now);
}

void UploadSession::finishPause(qint64 now)
{
    timerStart_ = now;
    if (phase_ == UploadPhase::FirstPause) {
        phase_ = UploadPhase::SecondCommand;
        send(secondCommandFrame, Frame::SecondCommand, timerStart_,
             options_.timing.secondWriteLimit);
    } else {
        enterWaitReceiver(now);
    }
}

// --- Phases ---------------------------------------------------------------

void UploadSession::enterWaitReceiver(qint64 now)
{
    phase_ = UploadPhase::WaitReceiver;
    // Whatever the device said during the handshake is examined now.
    runPendingPasses(now);
}

void UploadSession::enterData(qint64 now)
{
    phase_ = UploadPhase::Data;
    blockNumber_ = 1;
    gotC_ = gotAck_ = gotNak_ = false;
    retriesLeft_ = options_.retries;
    timerStart_ = now;
}

void UploadSession::enterEndOfFile(qint64 now)
{
    phase_ = UploadPhase::EndOfFile;
    eotSent_ = eotAcknowledged_ = gotAck_ = gotC_ = gotNak_ = false;
    retriesLeft_ = options_.retries;
    timerStart_ = now;
}

void UploadSession::enterClosing(qint64 now)
{
    phase_ = UploadPhase::Closing;
    const QByteArray frame = makeClosingBlock();
    send(frame, Frame::Closing, now, laterFrameWriteLimit(options_.timing, frame));
}

void UploadSession::complete()
{
    phase_ = UploadPhase::Completed;
    pending_.clear();
    emitEvent({UploadEvent::Kind::ClosePort, {}, 0, 0, {}, {}});
    emitEvent({UploadEvent::Kind::Finished, {}, 0, 0, {}, {}});
}

void UploadSession::timeOut()
{
    const bool transferBegun = phase_ == UploadPhase::Data || phase_ == UploadPhase::EndOfFile ||
                               phase_ == UploadPhase::Closing;
    phase_ = UploadPhase::TimedOut;
    log(QStringLiteral("timeout!"));
    emitEvent({UploadEvent::Kind::Message, {}, 0, 0, TimeOutTitle, TimeOutText});
    if (transferBegun)
        emitEvent({UploadEvent::Kind::Progress, {}, 100.0, 100.0, {}, {}});
}

// --- Passes ---------------------------------------------------------------

bool UploadSession::inReplyPhase() const
{
    return phase_ == UploadPhase::WaitReceiver || phase_ == UploadPhase::Data ||
           phase_ == UploadPhase::EndOfFile || phase_ == UploadPhase::Closing;
}

qint64 UploadSession::replyPhaseLimit() const
{
    return phase_ == UploadPhase::WaitReceiver ? options_.timing.receiverLimit
                                               : options_.timing.replyLimit;
}

void UploadSession::runPendingPasses(qint64 now)
{
    while (!pending_.isEmpty() && inReplyPhase() && !awaitingWrite()) {
        QByteArray bytes;
        bytes.swap(pending_);
        runPass(bytes, now);
    }
}

void UploadSession::runPass(const QByteArray &bytes, qint64 now)
{
    for (const char byte : bytes) {
        if (phase_ == UploadPhase::WaitReceiver)
            examineWaitingForReceiver(byte);
        else
            examineReply(byte);
    }
    endOfPass(now);
    // A frame sent by the end-of-pass step finishes the pass when its write
    // is reported.
    if (!awaitingWrite() && !isDone())
        afterPass(now);
}

void UploadSession::examineWaitingForReceiver(char byte)
{
    if (byte == CRC_REQUEST) {
        log(QStringLiteral("start ymodem transmission"));
        gotC_ = true;
    } else {
        log(QStringLiteral("first data is not 'C'!, it is %1").arg(quint8(byte)));
    }
}

void UploadSession::examineReply(char byte)
{
    if (byte == ACK) {
        gotAck_ = true;
        log(QStringLiteral("got ACK"));
    } else if (byte == CRC_REQUEST) {
        gotC_ = true;
        log(QStringLiteral("got C"));
    } else if (byte == NAK && options_.retries > 0) {
        gotNak_ = true;
        log(QStringLiteral("got NAK"));
    }
}

void UploadSession::endOfPass(qint64 now)
{
    switch (phase_) {
    case UploadPhase::Data:
        if (gotC_ && gotAck_)
            sendNextDataBlock(now);
        else if (gotNak_ && retriesLeft_ > 0 && !lastFrame_.isEmpty())
            resendLastFrame(now);
        break;
    case UploadPhase::EndOfFile:
        endOfFileStep(now);
        break;
    case UploadPhase::Closing:
        if (gotAck_)
            log(QStringLiteral("Got last ACK"));
        break;
    default:
        break;
    }
    gotNak_ = false;
}

void UploadSession::sendNextDataBlock(qint64 now)
{
    const qint64 offset = image_.size() - remaining_;
    const bool last = remaining_ <= DataFieldSize;
    const int length = last ? int(remaining_) : DataFieldSize;
    const QByteArray frame = makeDataBlock(image_.mid(int(offset), length), blockNumber_);
    lastFrame_ = frame;
    retriesLeft_ = options_.retries;
    ++blocksSent_;
    send(frame, Frame::DataBlock, now, laterFrameWriteLimit(options_.timing, frame));
    if (last) {
        log(QStringLiteral("finish!"));
        remaining_ = 0;
    } else {
        remaining_ -= DataFieldSize;
        ++blockNumber_; // wraps from 255 to 0
    }
}

void UploadSession::endOfFileStep(qint64 now)
{
    if (gotAck_ && !gotC_ && !eotSent_) {
        const QByteArray frame(1, EOT);
        lastFrame_ = frame;
        send(frame, Frame::Eot, now, laterFrameWriteLimit(options_.timing, frame));
    } else if (gotAck_ && gotC_ && eotSent_) {
        eotAcknowledged_ = true;
    } else if (gotNak_ && eotSent_ && retriesLeft_ > 0) {
        // Some receivers answer the first EOT with NAK and want it again.
        resendLastFrame(now);
    }
}

void UploadSession::resendLastFrame(qint64 now)
{
    --retriesLeft_;
    ++resends_;
    log(QStringLiteral("resending"));
    send(lastFrame_, Frame::Resend, now, laterFrameWriteLimit(options_.timing, lastFrame_));
}

// Ends a pass: tests the limit, then the phase's exit condition. Returns false
// when the upload ended in a time-out.
bool UploadSession::afterPass(qint64 now)
{
    if (now - timerStart_ > replyPhaseLimit()) {
        if (!resendInsteadOfTimeOut(now))
            timeOut();
        return !isDone();
    }
    switch (phase_) {
    case UploadPhase::WaitReceiver:
        if (gotC_) {
            phase_ = UploadPhase::Header;
            const QByteArray frame = makeHeaderBlock(FileNameOnLine, image_.size());
            lastFrame_ = frame;
            send(frame, Frame::Header, now, laterFrameWriteLimit(options_.timing, frame));
        }
        break;
    case UploadPhase::Data:
        if (remaining_ == 0)
            enterEndOfFile(now);
        break;
    case UploadPhase::EndOfFile:
        if (eotAcknowledged_)
            enterClosing(now);
        break;
    case UploadPhase::Closing:
        if (gotAck_)
            complete();
        break;
    default:
        break;
    }
    return !isDone();
}

void UploadSession::checkReplyLimit(qint64 now)
{
    if (now - timerStart_ > replyPhaseLimit() && !resendInsteadOfTimeOut(now))
        timeOut();
}

bool UploadSession::resendInsteadOfTimeOut(qint64 now)
{
    if (phase_ != UploadPhase::Data || retriesLeft_ <= 0 || lastFrame_.isEmpty())
        return false;
    resendLastFrame(now);
    return true;
}

void UploadSession::log(const QString &line)
{
    emitEvent({UploadEvent::Kind::Log, {}, 0, 0, {}, line});
}

} // namespace ymodem
