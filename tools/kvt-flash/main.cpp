// kvt-flash: updates the firmware of devices on serial ports without a
// window, for scripts, test benches and production lines.

#include "flash/epolldispatcher.h"
#include "kvt-flash/flashcommand.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    // A station serves dozens of ports from this thread: see EpollDispatcher.
    QCoreApplication::setEventDispatcher(new flash::EpollDispatcher);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvt-flash"));
    return flash::runCommandLine(QCoreApplication::arguments());
}
