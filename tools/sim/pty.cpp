#include "sim/pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    if (!open())
        closeMaster();
}

PtyPair::~PtyPair()
{
    closeMaster();
    if (slaveFd_ >= 0)
        ::close(slaveFd_);
}

int PtyPair::releaseMaster()
{
    const int fd = masterFd_;
    masterFd_ = -1;
    return fd;
}

void PtyPair::closeMaster()
{
    if (masterFd_ >= 0)
        ::close(masterFd_);
    masterFd_ = -1;
}

bool PtyPair::open()
{
    masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (masterFd_ < 0)
        return fail("posix_openpt");
    ::fcntl(masterFd_, F_SETFD, FD_CLOEXEC);
    if (::grantpt(masterFd_) != 0)
        return fail("grantpt");
    if (::unlockpt(masterFd_) != 0)
        return fail("unlockpt");
    const char *name = ::ptsname(masterFd_);
    if (name == nullptr)
        return fail("ptsname");
    slavePath_ = QString::fromLocal8Bit(name);

    slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd_ < 0)
        return fail("open slave");
    // Raw from the start: no echo, no line editing, no CR/LF translation, so
    // that bytes pass unchanged even before the host configures the port.
    termios settings{};
    if (::tcgetattr(slaveFd_, &settings) != 0)
        return fail("tcgetattr");
    ::cfmakeraw(&settings);
    if (::tcsetattr(slaveFd_, TCSANOW, &settings) != 0)
        return fail("tcsetattr");
    return true;
}

bool PtyPair::fail(const char *step)
{
    error_ = QStringLiteral("%1: %2").arg(QLatin1String(step),
                                          QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}
