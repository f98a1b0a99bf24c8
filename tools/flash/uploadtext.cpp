#include "flash/uploadtext.h"

#include <QtGlobal>

namespace uploadtext {

using ymodem::UploadPhase;

const QString SuccessMessage = QStringLiteral("Firmware has been updated successfully.");

int percentSent(double rest, double total)
{
    if (!(total > 0))
        return -1;
    double share = rest / total;
    if (!(share >= 0)) // NaN too
        share = 0;
    share = qMin(share, 1.0);
    return 100 - int(share * 100.0);
}

QString phaseName(UploadPhase phase)
{
    switch (phase) {
    case UploadPhase::NotStarted:
        return QStringLiteral("not started");
    case UploadPhase::FirstCommand:
    case UploadPhase::FirstPause:
    case UploadPhase::SecondCommand:
    case UploadPhase::SecondPause:
        return QStringLiteral("bootloader handshake");
    case UploadPhase::WaitReceiver:
        return QStringLiteral("waiting for the receiver");
    case UploadPhase::Header:
        return QStringLiteral("header block");
    case UploadPhase::Data:
        return QStringLiteral("data blocks");
    case UploadPhase::EndOfFile:
        return QStringLiteral("end of file");
    case UploadPhase::Closing:
        return QStringLiteral("closing block");
    }
    return {};
}

QString duringPhase(UploadPhase phase)
{
    switch (phase) {
    case UploadPhase::WaitReceiver:
        return QStringLiteral("while waiting for the receiver");
    case UploadPhase::Header:
        return QStringLiteral("while sending the header block");
    case UploadPhase::Data:
        return QStringLiteral("during the data blocks");
    case UploadPhase::EndOfFile:
        return QStringLiteral("at the end of file");
    case UploadPhase::Closing:
        return QStringLiteral("at the closing block");
    default:
        return QStringLiteral("during the ") + phaseName(phase);
    }
}

QString stepName(UploadPhase phase)
{
    switch (phase) {
    case UploadPhase::FirstCommand:
        return QStringLiteral("first command frame");
    case UploadPhase::FirstPause:
        return QStringLiteral("pause while the device restarts");
    case UploadPhase::SecondCommand:
        return QStringLiteral("second command frame");
    case UploadPhase::SecondPause:
        return QStringLiteral("pause before the transfer");
    default:
        return phaseName(phase);
    }
}

} // namespace uploadtext
