#pragma once

// --scan: the codes a barcode scanner types, read from standard input. A
// scanner is a keyboard: it types the code and Enter (some Tab), faster than
// a person. Each line goes to the station. On a terminal the typing is not
// echoed: it would write over the live picture.

#include <QObject>

#include <memory>
#include <termios.h>

class QSocketNotifier;

namespace station {
class Station;
}

namespace flash {

class ScanInput : public QObject
{
    Q_OBJECT

public:
    explicit ScanInput(station::Station &station, QObject *parent = nullptr);
    ~ScanInput() override; // the terminal as it was

private:
    void read();

    station::Station &station_;
    QSocketNotifier *notifier_ = nullptr;
    QByteArray partial_;
    bool terminal_ = false;
    termios saved_{};
};

} // namespace flash
