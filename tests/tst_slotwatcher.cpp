// The slot watcher against udev's ways with /dev/serial. udev works on its
// own while the station's event loop runs, so here a second thread plays
// udev while the watcher runs on this one: an entry made while the watcher
// changes what it watches must still be heard, every time. And the station
// on a folder that is missing, or comes and goes.

#include "station/slotwatcher.h"
#include "stationfixture.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace station;
using namespace stationtest;
using namespace std::chrono_literals;

namespace {

const QByteArray Image = makeImage(5000);

// What udev does in /dev/serial for one adapter: the folders made a level
// at a time, the link made under a temporary name and renamed over the
// slot's; and back, the empty folders removed with the last link. Counts
// the calls that failed, which would make the test's own count meaningless.
class UdevTree
{
public:
    explicit UdevTree(const QString &top)
        : serial_(QFile::encodeName(top + "/serial")), folder_(serial_ + "/by-path")
    {}
    QString folder() const { return QFile::decodeName(folder_); }

    void add(const QByteArray &slot, std::chrono::microseconds holdTemporary)
    {
        const QByteArray temporary = folder_ + "/.#" + slot + "a3f9c1";
        check(::mkdir(serial_.constData(), 0755));
        check(::mkdir(folder_.constData(), 0755));
        check(::symlink("/dev/null", temporary.constData()));
        if (holdTemporary.count() > 0)
            std::this_thread::sleep_for(holdTemporary);
        check(std::rename(temporary.constData(), (folder_ + '/' + slot).constData()));
    }
    void remove(const QByteArray &slot)
    {
        check(::unlink((folder_ + '/' + slot).constData()));
        check(::rmdir(folder_.constData()));
        check(::rmdir(serial_.constData()));
    }
    int failedCalls() const { return failed_; }

private:
    void check(int result) { failed_ += result != 0; }

    const QByteArray serial_, folder_;
    std::atomic<int> failed_{0};
};

// The slots the watcher reported, for the thread that plays udev to wait on.
class Heard
{
public:
    void add(const QString &slot)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        slots_.insert(slot);
        changed_.notify_all();
    }
    bool waitFor(const QString &slot)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 1s, [&] { return slots_.contains(slot); });
    }
    int temporaries()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return int(std::count_if(slots_.cbegin(), slots_.cend(),
                                 [](const QString &slot) { return slot.startsWith(".#"); }));
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    QSet<QString> slots_;
};

// One board plugged and pulled by `tree` in the thread's own time: false
// when the watcher did not report it while it was there.
bool plugAndPull(UdevTree &tree, Heard &heard, int cycle, std::chrono::microseconds delay)
{
    const QByteArray slot = "pci-0:1." + QByteArray::number(cycle);
    std::this_thread::sleep_for(delay);
    // Now and then the temporary name stays long enough to be read.
    tree.add(slot, cycle % 10 == 0 ? 5ms : 0us);
    const bool wasHeard = heard.waitFor(QString::fromLatin1(slot));
    tree.remove(slot);
    return wasHeard;
}

// Runs this thread's event loop until `udev` has done its work on the other.
void runWhile(const std::function<void()> &udev)
{
    QEventLoop loop;
    std::thread thread([&] {
        udev();
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    thread.join();
}

} // namespace

class TestSlotWatcher : public QObject
{
    Q_OBJECT

private slots:
    void neverDeaf_data()
    {
        QTest::addColumn<bool>("freshStarts"); // else one watcher for every cycle
        QTest::addColumn<int>("cycles");
        QTest::newRow("started while udev makes the folder") << true << 400;
        QTest::newRow("folder made and removed while running") << false << 1000;
    }
    // Settle 0, so a cycle takes a millisecond and the temporary name would be
    // taken for a slot the moment it is read.
    void neverDeaf()
    {
        QFETCH(bool, freshStarts);
        QFETCH(int, cycles);
        QTemporaryDir top;
        UdevTree tree(top.path());
        Heard heard;
        std::atomic<int> missed{0};
        std::unique_ptr<SlotWatcher> watcher;
        const auto watch = [&] {
            watcher = std::make_unique<SlotWatcher>(tree.folder(), 0);
            connect(watcher.get(), &SlotWatcher::plugged, watcher.get(),
                    [&heard](const QString &slot) { heard.add(slot); });
            return watcher->start();
        };
        if (freshStarts) {
            for (int cycle = 0; cycle < cycles; ++cycle) {
                // The thread starts udev's work as the watcher starts, a few
                // microseconds later each time, across the window of start().
                std::thread udev([&, cycle] {
                    missed +=
                        !plugAndPull(tree, heard, cycle, std::chrono::microseconds(cycle % 200));
                });
                const bool started = watch();
                runWhile([&udev] { udev.join(); });
                QVERIFY(started);
            }
        } else {
            QVERIFY(watch());
            runWhile([&] {
                for (int cycle = 0; cycle < cycles; ++cycle)
                    missed += !plugAndPull(tree, heard, cycle, 0us);
            });
        }
        QCOMPARE(tree.failedCalls(), 0);
        QCOMPARE(missed.load(), 0);
        QCOMPARE(heard.temporaries(), 0); // udev's temporary names are no slots
    }
    // An entry counts once it stayed the settle time; one that went before is
    // forgotten without a word.
    void settleWait()
    {
        stationtest::Fixture fixture;
        SlotWatcher watcher(fixture.slotFolder(), 400);
        QSignalSpy plugged(&watcher, &SlotWatcher::plugged);
        QSignalSpy unplugged(&watcher, &SlotWatcher::unplugged);
        QVERIFY(watcher.start());
        QElapsedTimer clock;
        clock.start();
        fixture.plug("brief");
        fixture.plug("stays");
        QTest::qWait(150);
        fixture.pull("brief");
        QTRY_COMPARE_WITH_TIMEOUT(plugged.size(), 1, 5000);
        QVERIFY2(clock.elapsed() >= 400, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(plugged.first().first().toString(), QStringLiteral("stays"));
        QTest::qWait(400);
        QCOMPARE(plugged.size(), 1);
        QCOMPARE(unplugged.size(), 0);
    }
    void folderComesAndGoes_data()
    {
        QTest::addColumn<bool>("thereAtStart");
        QTest::newRow("missing at start") << false;
        QTest::newRow("folder and parent removed and made again") << true;
    }
    void folderComesAndGoes()
    {
        QFETCH(bool, thereAtStart);
        Fixture fixture(QStringLiteral("serial/by-path"));
        const QString removed = QFileInfo(fixture.slotFolder()).path(); // serial, with by-path
        // Only what can never work is refused at start, with its reason: a
        // file where the folder or one above it should be.
        QFile file(fixture.folder() + "/plain");
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (const QString &folder : {file.fileName(), file.fileName() + "/by-path"}) {
            StationConfig config = fixture.config();
            config.folder = folder;
            QString why;
            QVERIFY(!Station(config, Image).start(&why));
            QCOMPARE(why, file.fileName() + " is not a folder");
        }
        Station station(fixture.config(), Image);
        QSignalSpy finished(&station, &Station::boardFinished);
        QSignalSpy waiting(&station, &Station::folderWaiting);
        if (thereAtStart)
            fixture.plug("first");
        else
            QVERIFY(QDir(removed).removeRecursively());
        QString why;
        QVERIFY2(station.start(&why), qPrintable(why));
        if (thereAtStart) {
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
            fixture.pull("first"); // udev removes the folders with the last entry
            QVERIFY(QDir(removed).removeRecursively());
        }
        QTRY_VERIFY(station.isWaitingForFolder());
        QCOMPARE(waiting.size(), 1);
        QVERIFY(QDir().mkpath(fixture.slotFolder()));
        fixture.plug("second");
        QTRY_COMPARE_WITH_TIMEOUT(recordsOf(fixture.record(), "second").size(), 1, 10000);
        QVERIFY(!station.isWaitingForFolder());
        QCOMPARE(fixture.board("second").sim.receivedImage(), Image);
    }
};

QTEST_GUILESS_MAIN(TestSlotWatcher)
#include "tst_slotwatcher.moc"
