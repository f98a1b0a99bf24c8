#pragma once

// --verbose: on the error stream, beside any other view, each upload's own
// lines, its phases, and a hex dump of every frame sent (">") and of the
// bytes received ("<"), 32 bytes a row with their offset, each stamped with
// the seconds since its port was opened; how each board ended, with the
// system's own words when its port failed.

#include "station/station.h"

#include <QHash>
#include <QTextStream>

namespace flash {

class TraceView : public QObject
{
    Q_OBJECT

public:
    TraceView(station::Station &station, QTextStream &err, QObject *parent = nullptr);

private:
    void line(const station::Slot &slot, const QString &text);

    QTextStream &err_;
    QHash<QString, ymodem::UploadPhase> phases_;
};

} // namespace flash
