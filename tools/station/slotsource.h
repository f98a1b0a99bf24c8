#pragma once

// Where a station's boards come from: a watched folder of port entries
// (SlotWatcher), or ports given by name (PortList). A fixed list is a folder
// whose entries are all there at start and never change: the same engine
// flashes both, and ends by itself once every board of a fixed list has.

#include <QObject>
#include <QString>
#include <QStringList>

namespace station {

class SlotSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // False, with the reason, only when the source can never give a board.
    virtual bool start(QString *why) = 0;
    virtual bool isWaitingForFolder() const { return false; }
    // Every board is there at start and none comes or goes after.
    virtual bool isFixed() const { return false; }

signals:
    // `entry` is what names the slot (a path in the folder, a port as
    // given); `device` what it leads to. Whether that is a board is for the
    // station to say.
    void plugged(const QString &slot, const QString &entry, const QString &device);
    void unplugged(const QString &slot);
    // The watched folder is missing (true), or there again (false).
    void folderWaiting(bool waiting);
};

// Ports given by name, each a slot called by its name: "ttyUSB0" is
// /dev/ttyUSB0, a name with a "/" a path; links are followed to the device.
class PortList : public SlotSource
{
    Q_OBJECT

public:
    explicit PortList(const QStringList &ports, QObject *parent = nullptr);

    // Every port is plugged from the event loop, in the order given.
    bool start(QString *why) override;
    bool isFixed() const override { return true; }

private:
    const QStringList ports_;
};

} // namespace station
