#pragma once

// What the end of an upload means to kvt-flash: its words for how the device
// behaved, the status word of JSON events and records, and the process exit
// status.

#include "flash/portflasher.h"

#include <QVector>

namespace flash {

// The outcome of a session that ended by itself.
FlashResult::Outcome outcomeOf(const ymodem::UploadEnd &end);
// "Time out: no answer to block 3", "the device refused block 3 (NAK)", ...
QString describeEnd(const ymodem::UploadEnd &end);

} // namespace flash
