#pragma once

// Simulated boards in a fixture, for the station's tests: each board is a
// simulated bootloader on a pseudo-terminal, plugged by making an entry that
// leads to it in a temporary folder and pulled by removing the entry, as udev
// does in /dev/serial/by-path.

#include "sim/bootloadersim.h"
#include "sim/pty.h"
#include "station/recordfile.h"
#include "station/station.h"
#include "testdata.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <memory>

namespace stationtest {

using testdata::makeImage;

// A board: the simulated bootloader, ready before its entry appears.
struct Board
{
    explicit Board(const BootloaderSimOptions &options) : sim(pty.releaseMaster(), options)
    {
        sim.start();
    }
    PtyPair pty;
    BootloaderSim sim;
};

class Fixture
{
public:
    explicit Fixture(const QString &slotFolder = QStringLiteral("slots"))
        : slots_(folder_.filePath(slotFolder))
    {
        QDir().mkpath(slots_);
    }
    QString folder() const { return folder_.path(); }
    QString slotFolder() const { return slots_; }
    QString record() const { return folder_.filePath(QStringLiteral("record.jsonl")); }
    QString slotPath(const QString &slot) const { return slots_ + '/' + slot; }

    QString image() const { return folder_.filePath(QStringLiteral("app.kvt")); }
    void writeImage(int size) const
    {
        const QByteArray bytes = makeImage(size);
        QFile file(image());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }

    // A board answering `replyDelayMs` late; not plugged when `plugged` is
    // false (a board that a link is later turned to). Its adapter's serial
    // number is "SN-" and the slot's name.
    Board &plug(const QString &slot, int replyDelayMs = 0, bool plugged = true)
    {
        BootloaderSimOptions options;
        options.replyDelayMs = replyDelayMs;
        return plug(slot, options, plugged);
    }
    Board &plug(const QString &slot, const BootloaderSimOptions &options, bool plugged = true)
    {
        auto &board = boards_[slot] = std::make_unique<Board>(options);
        serials_->insert(board->pty.slavePath(), QStringLiteral("SN-") + slot);
        if (plugged)
            QFile::link(board->pty.slavePath(), slotPath(slot));
        return *board;
    }
    void pull(const QString &slot) { QFile::remove(slotPath(slot)); }
    Board &board(const QString &slot) { return *boards_.at(slot); }

    // What udev does on every change event: a new link under a temporary
    // name, renamed over the old one.
    void relink(const QString &slot, const QString &target)
    {
        const QString temporary = slots_ + QStringLiteral("/.#") + slot + QStringLiteral("x1");
        QVERIFY(QFile::link(target, temporary));
        QVERIFY(::rename(QFile::encodeName(temporary).constData(),
                         QFile::encodeName(slotPath(slot)).constData()) == 0);
    }

    station::StationConfig config() const
    {
        station::StationConfig config;
        config.folder = slots_;
        config.settleMs = 30;
        config.recordPath = record();
        config.recordRetryMs = 50;
        config.upload.retries = 3;
        config.upload.stopOnCancel = true;
        config.upload.timing.firstPause = 30;
        config.upload.timing.secondPause = 10;
        config.identify = [serials = serials_](const QString &device) {
            return flash::UsbIdentity{"0403", "6001", serials->value(device)};
        };
        return config;
    }

private:
    QTemporaryDir folder_;
    QString slots_;
    std::map<QString, std::unique_ptr<Board>> boards_;
    std::shared_ptr<QHash<QString, QString>> serials_ = std::make_shared<QHash<QString, QString>>();
};

inline QVector<QJsonObject> recordsOf(const QString &path, const QString &slot = {})
{
    QVector<QJsonObject> found;
    for (const QJsonObject &record : station::RecordFile::read(path))
        if (slot.isEmpty() || record.value("slot").toString() == slot)
            found.append(record);
    return found;
}

inline QStringList statusesOf(const QString &path)
{
    QStringList statuses;
    for (const QJsonObject &record : station::RecordFile::read(path))
        statuses.append(record.value("status").toString());
    return statuses;
}

} // namespace stationtest
