#include "flash/outcomes.h"

#include "flash/uploadtext.h"

namespace flash {

using Outcome = FlashResult::Outcome;
using ymodem::UploadAwaited;
using ymodem::UploadEnd;

const char *outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Succeeded:
        return "ok";
    case Outcome::TimedOut:
        return "timeout";
    case Outcome::Refused:
        return "refused";
    case Outcome::Cancelled:
        return "cancelled";
    case Outcome::OpenFailed:
        return "open-failed";
    case Outcome::PortFailed:
        return "port-failed";
    case Outcome::Unplugged:
        return "unplugged";
    case Outcome::Stopped:
        return "stopped";
    case Outcome::NoBoot:
        return "no-boot";
    case Outcome::Mismatch:
        return "mismatch";
    }
    return "";
}

Outcome outcomeOf(const UploadEnd &end)
{
    switch (end.outcome) {
    case ymodem::UploadOutcome::Completed:
        return Outcome::Succeeded;
    case ymodem::UploadOutcome::TimedOut:
        return Outcome::TimedOut;
    case ymodem::UploadOutcome::Refused:
        return Outcome::Refused;
    case ymodem::UploadOutcome::Cancelled:
        return Outcome::Cancelled;
    case ymodem::UploadOutcome::Stopped:
        break;
    }
    return Outcome::Stopped;
}

namespace {

// "block 3", "the header block", "EOT", ...
QString awaitedFrame(const UploadEnd &end)
{
    switch (end.awaited) {
    case UploadAwaited::Nothing:
        break;
    case UploadAwaited::Header:
        return QStringLiteral("the header block");
    case UploadAwaited::Block:
        return QStringLiteral("block %1").arg(end.block);
    case UploadAwaited::Eot:
        return QStringLiteral("EOT");
    case UploadAwaited::Closing:
        return QStringLiteral("the closing block");
    }
    return {};
}

QString describeTimeOut(const UploadEnd &end)
{
    QString what;
    if (end.limit == ymodem::UploadLimit::Write)
        what = QStringLiteral("the port did not take a frame %1")
                   .arg(uploadtext::duringPhase(end.phase));
    else if (end.limit == ymodem::UploadLimit::Receiver)
        what = QStringLiteral("the device never asked for the file; is it in its bootloader?");
    else if (end.awaited == UploadAwaited::Nothing)
        what = QStringLiteral("no answer ") + uploadtext::duringPhase(end.phase);
    else
        what = QStringLiteral("no answer to ") + awaitedFrame(end);
    return QStringLiteral("Time out: ") + what;
}

} // namespace

QString describeEnd(const UploadEnd &end)
{
    switch (end.outcome) {
    case ymodem::UploadOutcome::Completed:
        return uploadtext::SuccessMessage;
    case ymodem::UploadOutcome::TimedOut:
        return describeTimeOut(end);
    case ymodem::UploadOutcome::Refused:
        return QStringLiteral("the device refused %1 (NAK)").arg(awaitedFrame(end));
    case ymodem::UploadOutcome::Cancelled:
        return end.block > 0
                   ? QStringLiteral("the device cancelled the transfer at block %1").arg(end.block)
                   : QStringLiteral("the device cancelled the transfer %1")
                         .arg(uploadtext::duringPhase(end.phase));
    case ymodem::UploadOutcome::Stopped:
        break;
    }
    return QStringLiteral("stopped ") + uploadtext::duringPhase(end.phase);
}

QString traceText(const ymodem::UploadTrace &trace)
{
    using What = ymodem::UploadTrace::What;
    switch (trace.what) {
    case What::GotAck:
        return QStringLiteral("got ACK");
    case What::GotC:
        return QStringLiteral("got C");
    case What::GotNak:
        return QStringLiteral("got NAK");
    case What::TimedOut:
        return QStringLiteral("timeout!");
    case What::BlockWritten:
        return QStringLiteral("remaining data: %1").arg(trace.value);
    case What::ReceiverReady:
        return QStringLiteral("start ymodem transmission");
    case What::NotReceiverCall:
        return QStringLiteral("first data is not 'C'!, it is %1").arg(trace.value);
    case What::LastBlockSent:
        return QStringLiteral("finish!");
    case What::LastAck:
        return QStringLiteral("Got last ACK");
    case What::Resending:
        return QStringLiteral("resending");
    case What::CancelledByDevice:
        return QStringLiteral("cancelled by the device");
    case What::CannotEncode:
        return QStringLiteral("cannot encode the next frame");
    case What::Cancelling:
        return QStringLiteral("cancelling the transfer");
    }
    return {};
}

} // namespace flash
