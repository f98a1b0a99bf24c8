#pragma once

// The station's tests on a folder of simulated boards: where the record and
// the image go, and the engine's settings, quick for tests; the station
// programs run as processes, and what they leave in the record and the
// database.

#include "databaserows.h"
#include "records/journal.h"
#include "sim/boardfolder.h"
#include "station/station.h"
#include "testdata.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

#include <csignal>

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

// A station program run as its operator runs it: what it prints read as
// JSON events as they come, and its end awaited while this thread's loop
// keeps the simulated boards answering.
class Program
{
public:
    void start(const QString &binary, const QStringList &arguments)
    {
        process.start(binary, arguments);
        QVERIFY2(process.waitForStarted(), qPrintable(binary));
    }
    // All it has printed on its standard output so far.
    QByteArray output() { return out_ += process.readAllStandardOutput(); }
    // The events named so far, as they came; of one slot if `slot` is given.
    QVector<QJsonObject> events(const QString &name, const QString &slot = {})
    {
        QVector<QJsonObject> found;
        for (const QByteArray &line : output().split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (event.value("event").toString() == name &&
                (slot.isEmpty() || event.value("slot").toString() == slot))
                found.append(event);
        }
        return found;
    }
    bool awaits(const QString &event, int count = 1)
    {
        return QTest::qWaitFor([&] { return events(event).size() >= count; }, 20000);
    }
    // Its exit status once it has ended after `signal` (0: none sent); -1
    // when it did not end in time or crashed.
    int end(int signal = SIGINT)
    {
        if (signal != 0)
            ::kill(pid_t(process.processId()), signal);
        const auto ended = [this] { return process.state() == QProcess::NotRunning; };
        if (!QTest::qWaitFor(ended, 60000) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }

    QProcess process;

private:
    QByteArray out_;
};

} // namespace stationtest
