#include "kvt-flash/scaninput.h"

#include "station/station.h"

#include <QSocketNotifier>

#include <unistd.h>

namespace flash {

namespace {

constexpr int LongestCode = 256; // a line longer than any label is no code

} // namespace

ScanInput::ScanInput(station::Station &station, QObject *parent)
    : QObject(parent), station_(station)
{
    terminal_ = ::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &saved_) == 0;
    if (terminal_) {
        termios quiet = saved_;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    notifier_ = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ScanInput::read);
}

ScanInput::~ScanInput()
{
    if (terminal_)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

void ScanInput::read()
{
    char bytes[512];
    const ssize_t count = ::read(STDIN_FILENO, bytes, sizeof bytes);
    if (count <= 0) { // the end of the input: nothing more will come
        notifier_->setEnabled(false);
        return;
    }
    for (ssize_t i = 0; i < count; ++i) {
        const char byte = bytes[i];
        if (byte == '\n' || byte == '\r' || byte == '\t') {
            station_.scan(QString::fromUtf8(partial_));
            partial_.clear();
        } else if (partial_.size() < LongestCode) {
            partial_.append(byte);
        }
    }
}

} // namespace flash
