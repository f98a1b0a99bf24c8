#pragma once

// What the end of an upload means to kvt-flash: its words for how the device
// behaved and for each step, the status word of JSON events and records, and the process exit
// status.

#include "flash/portflasher.h"

#include <QVector>

namespace flash {

// The outcome of a session that ended by itself.
FlashResult::Outcome outcomeOf(const ymodem::UploadEnd &end);
// "Time out: no answer to block 3", "the device refused block 3 (NAK)", ...
QString describeEnd(const ymodem::UploadEnd &end);
// A step of the upload as a diagnostic line: "got ACK", "remaining data: 2048",
// ... The flasher's log and the window's debug output say it so, word for word.
QString traceText(const ymodem::UploadTrace &trace);

} // namespace flash
