#pragma once

// The updater window's words for a file that is no firmware image. The
// station's window says the same, so they live apart from the window itself.

#include "firmwareimage.h"

#include <QString>

namespace firmware {

// "file cannot open", "Not a valid file", "The file is too large: ...";
// empty for a valid image.
QString windowMessage(const FirmwareImage &image);

} // namespace firmware
