#pragma once

// Watches a folder of serial port entries, such as /dev/serial/by-path, where
// each entry (a device node or a symlink to one) is a board in the slot named
// by the entry. Entries that lead to no device are reported too, for the
// station to tell the operator why they are no board. An entry counts as plugged once it has stayed
// for the settle time, so the system has finished setting the port up; entries present at start are
// plugged too. Event-driven through inotify, used directly so that what is watched is known
// exactly: the folder is read again only when it (or a folder on the way to it) changed.
//
// A board is the device its entry leads to, not the entry: udev replaces a
// link with a new one to the same device on every change event, and that is
// still the same board. udev also removes the folder with its last entry,
// and its parents up to /dev, so the folder may be missing at start and may
// come and go; the nearest folder above it that exists tells when it is back.
// A watch covers only what happens after it is armed, so every change of
// what is watched is followed by a look at what exists now.

#include "slotsource.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <sys/types.h>

class QSocketNotifier;
class QTimer;

namespace station {

class SlotWatcher : public SlotSource
{
    Q_OBJECT

public:
    // What tells one plug of a device from the next where the device number
    // and the tty name are reused (a USB device's bus and device numbers);
    // empty when the system does not know.
    using DeviceTag = std::function<QString(const QString &device)>;

    SlotWatcher(const QString &folder, int settleMs, DeviceTag tag = {}, QObject *parent = nullptr);
    ~SlotWatcher() override;

    // Starts watching, the folder there or not; false (with a reason) only
    // for a path that can never be a folder of entries, or one above it that
    // cannot be read.
    bool start(QString *why = nullptr) override;
    bool isWaitingForFolder() const override { return waiting_; }

    // plugged(): `entry` is the path of the entry in the folder; `device`
    // what it leads to: a device node, or for an entry that is none, the
    // file it names (a link to nothing: its target).
    // unplugged(): only for slots that were plugged; an entry that went
    // before it settled is forgotten quietly.

private:
    // Which file a path named when its watch was armed: a folder removed and
    // made again under the same name is another file, whose events the old
    // watch never gets.
    struct FileId
    {
        dev_t device = 0;
        ino_t inode = 0;
        bool operator==(const FileId &other) const
        {
            return device == other.device && inode == other.inode;
        }
    };
    struct Watch
    {
        int descriptor = -1;
        FileId file;
    };

    struct Entry
    {
        QString device;  // the device node the entry leads to, or what it names
        dev_t rdev = 0;  // 0 when it leads to no device
        mode_t type = 0; // of what it leads to; 0 for a link to nothing
        QString tag;
        quint64 linkStamp = 0; // the entry's own inode and change time
        QTimer *settle = nullptr;
        bool plugged = false;

        bool sameBoard(const Entry &other) const
        {
            return device == other.device && rdev == other.rdev && type == other.type &&
                   tag == other.tag;
        }
    };

    void onEvents();
    void rescan();
    QStringList foldersToWatch() const;
    void watchFolderOrAbove();
    bool arm(const QString &path);
    void unwatch(const QString &path);
    QHash<QString, Entry> readFolder() const;
    bool readEntry(const QString &name, Entry *entry) const;
    void add(const QString &slot, Entry entry);
    void forget(const QString &slot);
    void settled(const QString &slot);
    void setWaiting(bool waiting);

    const QString folder_;
    const int settleMs_;
    const DeviceTag tag_;
    int inotify_ = -1;
    QSocketNotifier *notifier_ = nullptr;
    QHash<QString, Watch> watches_; // by the folder's path
    QHash<QString, Entry> entries_;
    bool waiting_ = false;
};

// Why `folder` can never be watched: a path above it (or itself) that is no
// folder, or the nearest one that exists cannot be read. Empty when it can.
QString unwatchableFolder(const QString &folder);

} // namespace station
