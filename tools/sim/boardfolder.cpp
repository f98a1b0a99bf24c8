#include "sim/boardfolder.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace sim {

Board::Board(const BootloaderSimOptions &options) : sim(pty.releaseMaster(), options)
{
    sim.start();
}

BoardFolder::BoardFolder(const QString &slotFolder) : slots_(folder_.filePath(slotFolder))
{
    QDir().mkpath(slots_);
}

BoardFolder::~BoardFolder() = default;

Board &BoardFolder::plug(const QString &slot, const BootloaderSimOptions &options,
                         const QString &serial, bool plugged)
{
    auto &board = boards_[slot] = std::make_unique<Board>(options);
    serials_.insert(board->pty.slavePath(),
                    serial.isEmpty() ? QStringLiteral("SN-") + slot : serial);
    if (plugged)
        QFile::link(board->pty.slavePath(), slotPath(slot));
    return *board;
}

void BoardFolder::pull(const QString &slot)
{
    QFile::remove(slotPath(slot));
}

bool BoardFolder::relink(const QString &slot, const QString &target)
{
    const QString temporary = slots_ + QStringLiteral("/.#") + slot + QStringLiteral("x1");
    return QFile::link(target, temporary) &&
           std::rename(QFile::encodeName(temporary).constData(),
                       QFile::encodeName(slotPath(slot)).constData()) == 0;
}

} // namespace sim
