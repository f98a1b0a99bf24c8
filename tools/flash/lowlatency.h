#pragma once

// Asks a serial driver to hand on what the device sends at once. USB-serial
// chips such as FTDI's hold received bytes for up to their latency timer
// (16 ms by default) before the driver sees them; YMODEM waits for a one-byte
// answer after every block, so that hold is added to every block. A driver
// that knows ASYNC_LOW_LATENCY drops to 1 ms while the flag is set, and any
// user may set it. Pseudo-terminals and many drivers refuse the request; the
// line then works as before, only no faster.
//
// Every front end (the window, kvt-flash, the station) opens its port, hands
// the descriptor to request(), and calls restore() before it closes the port,
// so the next program finds the flags as they were.

#include <QString>

struct serial_struct;

namespace serialdriver {

class LowLatency
{
public:
    enum class Answer
    {
        NotAsked,
        Granted,    // the flag was clear and is set now
        AlreadyLow, // the flag was set before; nothing to put back
        Refused,    // the driver does not offer it
    };

    // How the driver is asked: ::ioctl() with TIOCGSERIAL or TIOCSSERIAL.
    // A test stands in for a driver with its own; nullptr means the system's.
    using DriverCall = int (*)(int fd, unsigned long request, serial_struct *info);
    static void setDriverCall(DriverCall call);

    LowLatency() = default;
    LowLatency(const LowLatency &) = delete;
    LowLatency &operator=(const LowLatency &) = delete;

    // Sets ASYNC_LOW_LATENCY on the open tty `fd`, keeping its other flags
    // and remembering the ones it had.
    Answer request(int fd);
    // Puts the flags back as request() found them. Call it while the port is
    // still open: the descriptor may name another file once it is closed.
    void restore();

    // One line for a trace: what the driver said.
    QString description() const;

private:
    int fd_ = -1;
    int flagsBefore_ = 0;
    int refusal_ = 0; // errno of the refused call
    Answer answer_ = Answer::NotAsked;
};

} // namespace serialdriver
