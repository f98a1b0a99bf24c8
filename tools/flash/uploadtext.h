#pragma once

// How an upload is put into words and figures for people, shared by the
// window and kvt-flash: the share of the image sent, the success text, and
// the names of the upload's phases.

#include "ymodem/upload.h"

#include <QString>

namespace uploadtext {

extern const QString SuccessMessage; // "Firmware has been updated successfully."

// The percentage the bar shows when `rest` of `total` bytes are still to go:
// divide first, then scale and truncate, so 29 of 100 shows 72. -1 when the
// total is not positive (nothing to show).
int percentSent(double rest, double total);

// "data blocks", "end of file", ...; the handshake's four steps share one.
QString phaseName(ymodem::UploadPhase phase);
// "while waiting for the receiver", "during the data blocks", ...
QString duringPhase(ymodem::UploadPhase phase);
// Like phaseName, but tells the handshake's steps apart.
QString stepName(ymodem::UploadPhase phase);

} // namespace uploadtext
