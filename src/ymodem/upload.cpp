#include "ymodem/upload.h"

#include "ymodem/frames.h"
#include "ymodem/line.h"

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
// step sent a frame and so restarted the limit. Bytes that arrive while a
// write report is awaited are examined by the next pass.

namespace ymodem {

UploadSession::UploadSession(QByteArray image, UploadOptions options)
    : image_(std::move(image)), options_(options), remaining_(image_.size())
{}

void UploadSession::start(qint64 now)
{
    if (phase_ != UploadPhase::NotStarted)
        return;
    phase_ = UploadPhase::FirstCommand;
    write_ = Deadline::limit(now, options_.timing.firstWriteLimit);
    send(firstCommandFrame, Frame::FirstCommand, now);
}

void UploadSession::receive(const QByteArray &bytes, qint64 now)
{
    if (done_)
        return;
    pending_.append(bytes);
    runPendingPasses(now);
}

void UploadSession::written(qint64 count, qint64 now)
{
    // A report while nothing is awaited (the rest of an earlier frame, or the
    // port catching up during a pause) releases nothing.
    if (done_ || writeOutstanding_ <= 0 || count <= 0)
        return;
    writeOutstanding_ -= count;
    if (writeOutstanding_ > 0)
        return;
    writeOutstanding_ = 0;
    write_.clear();
    onFrameWritten(now);
}

void UploadSession::tick(qint64 now)
{
    if (done_ || phase_ == UploadPhase::NotStarted)
        return;
    if (write_.expired(now))
        return timeOut(UploadLimit::Write);
    if (!step_.expired(now))
        return;
    if (phase_ == UploadPhase::FirstPause || phase_ == UploadPhase::SecondPause)
        finishPause(now);
    else
        replyLimitRanOut(now);
}

void UploadSession::stop()
{
    if (!done_)
        finish(UploadOutcome::Stopped);
}

qint64 UploadSession::nextDeadline() const
{
    if (done_)
        return NoDeadline;
    return Deadline::earliest(write_.due(), step_.due());
}

QVector<UploadEvent> UploadSession::takeEvents()
{
    QVector<UploadEvent> events;
    events.swap(events_);
    return events;
}

// --- Writing --------------------------------------------------------------

// The caller has set write_ for command frames; later frames get the common
// write limit plus their time on the wire.
void UploadSession::send(const QByteArray &frame, Frame kind, qint64 now)
{
    if (frame.isEmpty()) {
        // The encoder refused (a block that would be wrong); never send it.
        log(QStringLiteral("cannot encode the next frame"));
        timeOut(UploadLimit::None);
        return;
    }
    if (kind != Frame::FirstCommand && kind != Frame::SecondCommand) {
        const qint64 wire = line::wireTimeMs(frame.size(), options_.timing.baudRate);
        write_ = Deadline::limit(now, options_.timing.writeLimit + wire);
    }
    // Frames whose write report restarts the limit on the answer suspend it;
    // in the end of file, EOT is answered within the phase's one limit.
    if (phase_ != UploadPhase::EndOfFile)
        step_.clear();
    writeFrame_ = kind;
    writeOutstanding_ = frame.size();
    UploadEvent event{UploadEvent::Kind::Send, frame, 0, 0, {}, {}};
    emitEvent(std::move(event));
}

void UploadSession::onFrameWritten(qint64 now)
{
    switch (writeFrame_) {
    case Frame::FirstCommand:
        phase_ = UploadPhase::FirstPause;
        step_ = Deadline::pause(now, options_.timing.firstPause);
        return;
    case Frame::SecondCommand:
        phase_ = UploadPhase::SecondPause;
        step_ = Deadline::pause(now, options_.timing.secondPause);
        return;
    case Frame::Header:
        enterData(now);
        break;
    case Frame::DataBlock:
        log(QStringLiteral("remaining data: %1").arg(remaining_));
        gotAck_ = false;
        emitEvent({UploadEvent::Kind::Progress, {}, remaining_, image_.size(), {}, {}});
        startReplyLimit(now);
        break;
    case Frame::Eot:
        eotSent_ = true;
        gotAck_ = false;
        break;
    case Frame::Resend:
        if (phase_ == UploadPhase::Data)
            startReplyLimit(now);
        break;
    case Frame::Closing:
        gotAck_ = false;
        startReplyLimit(now);
        break;
    }
    // The write finished the pass that sent the frame.
    if (afterPass(now))
        runPendingPasses(now);
}

void UploadSession::finishPause(qint64 now)
{
    step_.clear();
    if (phase_ == UploadPhase::FirstPause) {
        phase_ = UploadPhase::SecondCommand;
        write_ = Deadline::limit(now, options_.timing.secondWriteLimit);
        send(secondCommandFrame, Frame::SecondCommand, now);
    } else {
        enterWaitReceiver(now);
    }
}

// --- Phases ---------------------------------------------------------------

void UploadSession::enterWaitReceiver(qint64 now)
{
    phase_ = UploadPhase::WaitReceiver;
    step_ = Deadline::limit(now, options_.timing.receiverLimit);
    // Whatever the device said during the handshake is examined now.
    runPendingPasses(now);
}

void UploadSession::enterData(qint64 now)
{
    phase_ = UploadPhase::Data;
    blockNumber_ = 1;
    gotC_ = gotAck_ = gotNak_ = false;
    retriesLeft_ = options_.retries;
    startReplyLimit(now);
}

void UploadSession::enterEndOfFile(qint64 now)
{
    phase_ = UploadPhase::EndOfFile;
    eotSent_ = eotAcknowledged_ = gotAck_ = gotC_ = gotNak_ = false;
    retriesLeft_ = options_.retries;
    startReplyLimit(now);
}

void UploadSession::enterClosing(qint64 now)
{
    phase_ = UploadPhase::Closing;
    send(makeClosingBlock(), Frame::Closing, now);
}

void UploadSession::finish(UploadOutcome outcome, UploadLimit limit)
{
    done_ = true;
    pending_.clear();
    step_.clear();
    write_.clear();
    end_ = {outcome, phase_, limit, blocksSent_};
    UploadEvent event{UploadEvent::Kind::Ended, {}, 0, 0, {}, end_};
    emitEvent(std::move(event));
}

void UploadSession::timeOut(UploadLimit limit)
{
    log(QStringLiteral("timeout!"));
    finish(UploadOutcome::TimedOut, limit);
}

// --- Passes ---------------------------------------------------------------

bool UploadSession::inReplyPhase() const
{
    return phase_ == UploadPhase::WaitReceiver || phase_ == UploadPhase::Data ||
           phase_ == UploadPhase::EndOfFile || phase_ == UploadPhase::Closing;
}

void UploadSession::startReplyLimit(qint64 now)
{
    step_ = Deadline::limit(now, options_.timing.replyLimit);
}

void UploadSession::runPendingPasses(qint64 now)
{
    while (!pending_.isEmpty() && inReplyPhase() && !awaitingWrite() && !done_) {
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
    if (!awaitingWrite() && !done_)
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
    send(frame, Frame::DataBlock, now);
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
        lastFrame_ = QByteArray(1, EOT);
        send(lastFrame_, Frame::Eot, now);
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
    send(lastFrame_, Frame::Resend, now);
}

// Ends a pass: tests the limit, then the phase's exit condition. Returns false
// when the upload has ended.
bool UploadSession::afterPass(qint64 now)
{
    if (step_.expired(now)) {
        replyLimitRanOut(now);
        return !done_;
    }
    switch (phase_) {
    case UploadPhase::WaitReceiver:
        if (gotC_) {
            phase_ = UploadPhase::Header;
            lastFrame_ = makeHeaderBlock(FileNameOnLine, image_.size());
            send(lastFrame_, Frame::Header, now);
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
            finish(UploadOutcome::Completed);
        break;
    default:
        break;
    }
    return !done_;
}

void UploadSession::replyLimitRanOut(qint64 now)
{
    if (resendInsteadOfTimeOut(now))
        return;
    timeOut(phase_ == UploadPhase::WaitReceiver ? UploadLimit::Receiver : UploadLimit::Reply);
}

bool UploadSession::resendInsteadOfTimeOut(qint64 now)
{
    if (phase_ != UploadPhase::Data || retriesLeft_ <= 0 || lastFrame_.isEmpty() || awaitingWrite())
        return false;
    resendLastFrame(now);
    return true;
}

void UploadSession::log(const QString &line)
{
    UploadEvent event{UploadEvent::Kind::Log, {}, 0, 0, line, {}};
    emitEvent(std::move(event));
}

} // namespace ymodem
