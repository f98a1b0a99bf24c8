#pragma once

// A pseudo-terminal pair standing in for a serial cable. The host side opens
// slavePath() like any serial device; the simulated device reads and writes
// the master.

#include <QString>

class PtyPair
{
public:
    // Opens the pair at once; isOpen() tells whether that worked.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isOpen() const { return masterFd_ >= 0; }
    QString errorString() const { return error_; }

    // -1 once the master has been closed or handed over.
    int masterFd() const { return masterFd_; }
    QString slavePath() const { return slavePath_; }

    // Hands the master over; the caller closes it from then on.
    int releaseMaster();

    // The far end vanishes, like a USB adapter pulled out: the host's port
    // sees a hang-up.
    void closeMaster();

private:
    bool open();
    bool fail(const char *step);

    int masterFd_ = -1;
    // Held open for the pair's lifetime: as long as one slave descriptor
    // exists, the master never reads EIO when the host closes and reopens
    // the slave path, and the raw settings survive in between.
    int slaveFd_ = -1;
    QString slavePath_;
    QString error_;
};
