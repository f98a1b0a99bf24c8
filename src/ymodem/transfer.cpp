#include "ymodem/upload.h"

#include "ymodem/frames.h"

// What each phase of the transfer does with the device's answers: the passes
// over received bytes, the step at the end of each pass, and the resends.
// The order of the phases and the rules of a pass are told in upload.cpp.

namespace ymodem {

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

void UploadSession::sendEot(qint64 now)
{
    lastFrame_ = QByteArray(1, EOT);
    send(lastFrame_, Frame::Eot, now);
}

void UploadSession::enterClosing(qint64 now)
{
    phase_ = UploadPhase::Closing;
    retriesLeft_ = options_.retries;
    lastFrame_ = makeClosingBlock();
    send(lastFrame_, Frame::Closing, now);
}

// --- Passes ---------------------------------------------------------------

bool UploadSession::inReplyPhase() const
{
    return phase_ == UploadPhase::WaitReceiver || phase_ == UploadPhase::Data ||
           phase_ == UploadPhase::EndOfFile || phase_ == UploadPhase::Closing;
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
        noteCancel(byte);
        if (phase_ == UploadPhase::WaitReceiver)
            examineWaitingForReceiver(byte);
        else
            examineReply(byte);
    }
    if (options_.stopOnCancel && cansInARow_ >= 2) {
        trace(UploadTrace::What::CancelledByDevice);
        return finish(UploadOutcome::Cancelled);
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
        trace(UploadTrace::What::ReceiverReady);
        gotC_ = true;
    } else {
        trace(UploadTrace::What::NotReceiverCall, quint8(byte));
    }
}

void UploadSession::noteCancel(char byte)
{
    cansInARow_ = byte == CAN ? cansInARow_ + 1 : 0;
}

void UploadSession::examineReply(char byte)
{
    if (byte == ACK) {
        gotAck_ = true;
        nakLast_ = false;
        if (blockUnacknowledged_)
            acknowledged_ = image_.size() - remaining_;
        blockUnacknowledged_ = false;
        trace(UploadTrace::What::GotAck);
    } else if (byte == CRC_REQUEST) {
        gotC_ = true;
        trace(UploadTrace::What::GotC);
    } else if (byte == NAK) {
        nakLast_ = true;
        // The window's exchange passes a NAK over.
        if (robust()) {
            gotNak_ = true;
            trace(UploadTrace::What::GotNak);
        }
    }
}

void UploadSession::endOfPass(qint64 now)
{
    switch (phase_) {
    case UploadPhase::Data:
        if (gotC_ && gotAck_ && remaining_ > 0)
            sendNextDataBlock(now);
        else if (gotNak_ && !gotAck_)
            answerNak(now);
        break;
    case UploadPhase::EndOfFile:
        endOfFileStep(now);
        break;
    case UploadPhase::Closing:
        if (gotAck_)
            trace(UploadTrace::What::LastAck);
        else if (gotNak_)
            answerNak(now);
        break;
    default:
        break;
    }
    gotNak_ = false;
}

// Robust exchange only: the frame again, or the end when no resend is left.
void UploadSession::answerNak(qint64 now)
{
    if (retriesLeft_ > 0 && !lastFrame_.isEmpty())
        resendLastFrame(now);
    else
        finish(UploadOutcome::Refused);
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
        trace(UploadTrace::What::LastBlockSent);
        remaining_ = 0;
    } else {
        remaining_ -= DataFieldSize;
        ++blockNumber_; // wraps from 255 to 0
    }
}

void UploadSession::endOfFileStep(qint64 now)
{
    if (gotAck_ && !gotC_ && !eotSent_) {
        sendEot(now);
    } else if (gotAck_ && gotC_ && eotSent_) {
        eotAcknowledged_ = true;
    } else if (gotNak_ && eotSent_) {
        // Some receivers answer the first EOT with NAK and want it again.
        answerNak(now);
    }
}

void UploadSession::resendLastFrame(qint64 now)
{
    --retriesLeft_;
    ++resends_;
    trace(UploadTrace::What::Resending);
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
        // The window's exchange awaits the last block's ACK in the end of
        // file; the robust one resends the block until it is acknowledged.
        if (remaining_ == 0 && !robust())
            enterEndOfFile(now);
        else if (remaining_ == 0 && gotAck_) {
            enterEndOfFile(now);
            sendEot(now);
        }
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
    if (nakLast_ && phase_ != UploadPhase::WaitReceiver) {
        trace(UploadTrace::What::TimedOut);
        return finish(UploadOutcome::Refused, UploadLimit::Reply);
    }
    timeOut(phase_ == UploadPhase::WaitReceiver ? UploadLimit::Receiver : UploadLimit::Reply);
}

// A silent device gets the frame again: a data block in either exchange;
// EOT and the closing block in the robust one.
bool UploadSession::resendInsteadOfTimeOut(qint64 now)
{
    if (retriesLeft_ <= 0 || lastFrame_.isEmpty() || awaitingWrite())
        return false;
    const bool resendable = phase_ == UploadPhase::Data ||
                            (robust() && ((phase_ == UploadPhase::EndOfFile && eotSent_) ||
                                          phase_ == UploadPhase::Closing));
    if (resendable)
        resendLastFrame(now);
    return resendable;
}

} // namespace ymodem
