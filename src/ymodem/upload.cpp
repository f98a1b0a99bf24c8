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
//
// With retries (the robust exchange), the last block's ACK is awaited in the
// data phase and releases EOT at once; a NAK or a silent device gets the
// frame again; EOT's write restarts the limit on its answer.

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
    if (done_ || aborting_)
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
    nakLast_ = false; // a NAK answers the frame before this one
    if (writeFrame_ == Frame::Abort)
        return finish(UploadOutcome::Stopped);
    if (aborting_)
        return sendAbort(now);
    onFrameWritten(now);
}

void UploadSession::tick(qint64 now)
{
    if (done_ || phase_ == UploadPhase::NotStarted)
        return;
    if (write_.expired(now) && aborting_)
        return finish(UploadOutcome::Stopped);
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

void UploadSession::abort(qint64 now)
{
    if (done_ || aborting_)
        return;
    if (phase_ < UploadPhase::WaitReceiver)
        return stop();
    aborting_ = true;
    step_.clear();
    pending_.clear();
    if (!awaitingWrite())
        sendAbort(now);
}

void UploadSession::sendAbort(qint64 now)
{
    trace(UploadTrace::What::Cancelling);
    send(QByteArray(2, CAN), Frame::Abort, now);
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
        trace(UploadTrace::What::CannotEncode);
        timeOut(UploadLimit::None);
        return;
    }
    if (kind != Frame::FirstCommand && kind != Frame::SecondCommand) {
        const qint64 wire = line::wireTimeMs(frame.size(), options_.timing.baudRate);
        write_ = Deadline::limit(now, options_.timing.writeLimit + wire);
    }
    // A frame whose write report restarts the limit on the answer suspends it.
    if (restartsReplyLimit(kind))
        step_.clear();
    writeFrame_ = kind;
    writeOutstanding_ = frame.size();
    UploadEvent event{UploadEvent::Kind::Send, frame};
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
        trace(UploadTrace::What::BlockWritten, remaining_);
        gotAck_ = false;
        blockUnacknowledged_ = true;
        emitEvent({UploadEvent::Kind::Progress, {}, remaining_, image_.size()});
        startReplyLimit(now);
        break;
    case Frame::Eot:
        eotSent_ = true;
        gotAck_ = false;
        if (restartsReplyLimit(Frame::Eot))
            startReplyLimit(now);
        break;
    case Frame::Resend:
        if (restartsReplyLimit(Frame::Resend))
            startReplyLimit(now);
        break;
    case Frame::Closing:
        gotAck_ = false;
        startReplyLimit(now);
        break;
    case Frame::Abort:
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

// --- Limits and the end ----------------------------------------------------

// In the window's exchange, the end of file has one limit for the whole
// phase, and only a resent block restarts its limit.
bool UploadSession::restartsReplyLimit(Frame kind) const
{
    if (kind == Frame::Eot)
        return robust();
    if (kind == Frame::Resend)
        return phase_ == UploadPhase::Data || robust();
    return true;
}

void UploadSession::startReplyLimit(qint64 now)
{
    step_ = Deadline::limit(now, options_.timing.replyLimit);
}

void UploadSession::finish(UploadOutcome outcome, UploadLimit limit)
{
    done_ = true;
    pending_.clear();
    step_.clear();
    write_.clear();
    end_ = {outcome, phase_, limit, blocksSent_, nakLast_, awaited()};
    UploadEvent event{UploadEvent::Kind::Ended, {}, 0, 0, {}, end_};
    emitEvent(std::move(event));
}

UploadAwaited UploadSession::awaited() const
{
    switch (phase_) {
    case UploadPhase::Header:
        return UploadAwaited::Header;
    case UploadPhase::Data:
        return blocksSent_ == 0 ? UploadAwaited::Header : UploadAwaited::Block;
    case UploadPhase::EndOfFile:
        return eotSent_ ? UploadAwaited::Eot : UploadAwaited::Block;
    case UploadPhase::Closing:
        return UploadAwaited::Closing;
    default:
        return UploadAwaited::Nothing;
    }
}

void UploadSession::timeOut(UploadLimit limit)
{
    trace(UploadTrace::What::TimedOut);
    finish(UploadOutcome::TimedOut, limit);
}

void UploadSession::trace(UploadTrace::What what, qint64 value)
{
    emitEvent({UploadEvent::Kind::Trace, {}, 0, 0, {what, value}});
}

} // namespace ymodem
