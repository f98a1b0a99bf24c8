#include "slotsource.h"

#include "flash/serialports.h"

#include <QTimer>

namespace station {

PortList::PortList(const QStringList &ports, QObject *parent) : SlotSource(parent), ports_(ports) {}

bool PortList::start(QString *)
{
    QTimer::singleShot(0, this, [this] {
        for (const QString &port : ports_)
            emit plugged(port, flash::portPath(port), flash::resolvePort(port));
    });
    return true;
}

} // namespace station
