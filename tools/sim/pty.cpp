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
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
}

int PtyPair::releaseMaster()
{
    const int fd = m_masterFd;
    m_masterFd = -1;
    return fd;
}

void PtyPair::closeMaster()
{
    if (m_masterFd >= 0)
        ::close(m_masterFd);
    m_masterFd = -1;
}

bool PtyPair::open()
{
    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_masterFd < 0)
        return fail("posix_openpt");
    ::fcntl(m_masterFd, F_SETFD, FD_CLOEXEC);
    if (::grantpt(m_masterFd) != 0)
        return fail("grantpt");
    if (::unlockpt(m_masterFd) != 0)
        return fail("unlockpt");
    const char *name = ::ptsname(m_masterFd);
    if (name == nullptr)
        return fail("ptsname");
    m_slavePath = QString::fromLocal8Bit(name);

    m_slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slaveFd < 0)
        return fail("open slave");
    // Raw from the start: no echo, no line editing, no CR/LF translation, so
    // that bytes pass unchanged even before the host configures the port.
    termios settings{};
    if (::tcgetattr(m_slaveFd, &settings) != 0)
        return fail("tcgetattr");
    ::cfmakeraw(&settings);
    if (::tcsetattr(m_slaveFd, TCSANOW, &settings) != 0)
        return fail("tcsetattr");
    return true;
}

bool PtyPair::fail(const char *step)
{
    m_error = QStringLiteral("%1: %2").arg(QLatin1String(step),
                                           QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}
