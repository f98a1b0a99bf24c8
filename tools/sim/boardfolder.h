#pragma once

// Simulated boards in a fixture: each board is a simulated bootloader on a
// pseudo-terminal, plugged by making an entry that leads to it in a
// temporary folder and pulled by removing the entry, as udev does in
// /dev/serial/by-path. The station's tests and its screenshots use it.

#include "sim/bootloadersim.h"
#include "sim/pty.h"

#include <QHash>
#include <QString>
#include <QTemporaryDir>

#include <map>
#include <memory>

namespace sim {

// A board: the simulated bootloader, ready before its entry appears.
struct Board
{
    explicit Board(const BootloaderSimOptions &options);
    PtyPair pty;
    BootloaderSim sim;
};

class BoardFolder
{
public:
    explicit BoardFolder(const QString &slotFolder = QStringLiteral("slots"));
    ~BoardFolder();

    QString folder() const { return folder_.path(); } // holds the slot folder, removed at the end
    QString slotFolder() const { return slots_; }
    QString slotPath(const QString &slot) const { return slots_ + '/' + slot; }

    // A board in `slot` whose adapter has the USB serial number `serial`
    // ("SN-" and the slot's name when empty); not plugged when `plugged` is
    // false (a board that a link is later turned to).
    Board &plug(const QString &slot, const BootloaderSimOptions &options = {},
                const QString &serial = QString(), bool plugged = true);
    void pull(const QString &slot);
    // What udev does on every change event: a new link under a temporary
    // name, renamed over the old one.
    bool relink(const QString &slot, const QString &target);
    Board &board(const QString &slot) { return *boards_.at(slot); }
    // The serial number of the adapter behind a board's terminal.
    QString serialOf(const QString &device) const { return serials_.value(device); }

private:
    QTemporaryDir folder_;
    QString slots_;
    std::map<QString, std::unique_ptr<Board>> boards_;
    QHash<QString, QString> serials_;
};

} // namespace sim
