#pragma once

// kvt-records release, withdraw and releases: which images the lines may
// flash. Only the database's owner may release or withdraw; stations read.

#include "commandcontext.h"

namespace recordstool {

bool isReleaseCommand(const QString &command);
int runReleaseCommand(Context &c, Connection &connection, const QString &command,
                      const QStringList &words);

} // namespace recordstool
