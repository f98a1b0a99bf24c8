// kvt-flash: updates the firmware of devices on serial ports without a
// window, for scripts, test benches and production lines.

#include "kvt-flash/flashcommand.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvt-flash"));
    return flash::runCommandLine(QCoreApplication::arguments());
}
