#pragma once

// The station's tests on a folder of simulated boards: where the record and
// the image go, and the engine's settings, quick for tests.

#include "records/journal.h"
#include "sim/boardfolder.h"
#include "station/station.h"
#include "testdata.h"

#include <QFile>
#include <QtTest>

namespace stationtest {

using testdata::makeImage;

using sim::Board;

class Fixture : public sim::BoardFolder
{
public:
    using BoardFolder::BoardFolder;
    QString record() const { return folder() + QStringLiteral("/record.jsonl"); }
    QString image() const { return folder() + QStringLiteral("/app.kvt"); }
    void writeImage(int size) const { QVERIFY(testdata::writeFile(image(), makeImage(size))); }

    using BoardFolder::plug;
    // A board answering `replyDelayMs` late.
    Board &plug(const QString &slot, int replyDelayMs, bool plugged = true)
    {
        BootloaderSimOptions options;
        options.replyDelayMs = replyDelayMs;
        return BoardFolder::plug(slot, options, QString(), plugged);
    }

    station::StationConfig config() const
    {
        station::StationConfig config;
        config.folder = slotFolder();
        config.settleMs = 30;
        config.recordPath = record();
        config.recordRetryMs = 50;
        config.upload.retries = 3;
        config.upload.stopOnCancel = true;
        config.upload.timing.firstPause = 30;
        config.upload.timing.secondPause = 10;
        config.identify = [this](const QString &device) {
            return flash::UsbIdentity{"0403", "6001", serialOf(device)};
        };
        return config;
    }
};

// The records in the file as JSON: what the journal holds, key by key.
inline QVector<QJsonObject> recordsOf(const QString &path, const QString &slot = {})
{
    records::JournalContents contents;
    QString ignored;
    records::readJournal(path, &contents, &ignored);
    QVector<QJsonObject> found;
    for (const records::BoardRecord &record : contents.records)
        if (slot.isEmpty() || record.slot == slot)
            found.append(record.toJson());
    return found;
}

inline QStringList statusesOf(const QString &path)
{
    QStringList statuses;
    for (const QJsonObject &record : recordsOf(path))
        statuses.append(record.value("status").toString());
    return statuses;
}

} // namespace stationtest
