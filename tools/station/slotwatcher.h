#pragma once

// Watches a folder of serial port entries, such as /dev/serial/by-path, where
// each entry (a device node or a symlink to one) is a board in the slot named
// by the entry. An entry counts as plugged once it has stayed for the settle
// time, so the system has finished setting the port up; entries present at
// start are plugged too. Event-driven through inotify (QFileSystemWatcher):
// the folder is read again only when it changed.

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

class QFileSystemWatcher;
class QTimer;

namespace station {

class SlotWatcher : public QObject
{
    Q_OBJECT

public:
    SlotWatcher(const QString &folder, int settleMs, QObject *parent = nullptr);

    // Starts watching; false (with a reason) when the folder cannot be read.
    bool start(QString *why = nullptr);
    QString folder() const { return folder_; }

signals:
    // `entry` is the path of the entry in the folder; `device` what it leads to.
    void plugged(const QString &slot, const QString &entry, const QString &device);
    // Only for slots that were plugged; an entry that went before it settled
    // is forgotten quietly.
    void unplugged(const QString &slot);

private:
    // What an entry is: a new target or a new node under the same name is a
    // new board, even when both changes fell between two reads.
    struct Entry
    {
        QString device;
        quint64 identity = 0; // inode of the entry and of its target
        QTimer *settle = nullptr;
        bool plugged = false;
    };

    void rescan();
    QHash<QString, Entry> readFolder() const;
    void forget(const QString &slot);
    void settled(const QString &slot);

    const QString folder_;
    const int settleMs_;
    QFileSystemWatcher *watcher_ = nullptr;
    QHash<QString, Entry> entries_;
};

} // namespace station
