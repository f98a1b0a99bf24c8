// kvt-flash's event loop: timers and descriptor notifiers behave as under
// Qt's own loop, with the handlers changing what is watched as they run.

#include "flash/epolldispatcher.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

struct Pipe
{
    int ends[2] = {-1, -1};
    Pipe() { QVERIFY(::pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0); }
    ~Pipe()
    {
        ::close(ends[0]);
        ::close(ends[1]);
    }
    void put(char byte) { QCOMPARE(::write(ends[1], &byte, 1), ssize_t(1)); }
};

} // namespace

class TestEpollDispatcher : public QObject
{
    Q_OBJECT
private slots:
    // A handler that runs an event loop of its own is not entered again by
    // its timer from inside that loop.
    void timersFireInTheOrderTheyAreDue()
    {
        QStringList fired;
        for (int ms : {30, 10, 20, 0})
            QTimer::singleShot(ms, Qt::PreciseTimer,
                               [&fired, ms] { fired << QString::number(ms); });
        QTimer repeating, nesting;
        int repeats = 0, repeatsAt100Ms = -1, nestingEntries = 0;
        QObject::connect(&repeating, &QTimer::timeout, [&repeats] { ++repeats; });
        QObject::connect(&nesting, &QTimer::timeout, [&] {
            ++nestingEntries;
            QEventLoop inner; // the ticks of the others go on meanwhile
            QTimer::singleShot(30, Qt::PreciseTimer, &inner, &QEventLoop::quit);
            inner.exec();
            nesting.stop();
        });
        nesting.start(1);
        QEventLoop loop; // not QTest::qWait, which sleeps between its passes
        QTimer::singleShot(100, Qt::PreciseTimer, [&] {
            repeatsAt100Ms = repeats;
            loop.quit();
        });
        repeating.start(5);
        QVERIFY(repeating.remainingTime() > 0 && repeating.remainingTime() <= 5);
        loop.exec();
        QCOMPARE(fired, QStringList({"0", "10", "20", "30"}));
        QCOMPARE(nestingEntries, 1);
        // Late wakeups may cost a tick, never add one.
        QVERIFY2(repeatsAt100Ms >= 12 && repeatsAt100Ms <= 20,
                 qPrintable(QString::number(repeatsAt100Ms)));
    }

    void notifiersFollowTheirDescriptors()
    {
        Pipe pipe;
        QSocketNotifier reader(pipe.ends[0], QSocketNotifier::Read);
        QSocketNotifier writer(pipe.ends[1], QSocketNotifier::Write);
        QSignalSpy read(&reader, &QSocketNotifier::activated);
        QSignalSpy writable(&writer, &QSocketNotifier::activated);
        QVERIFY(writable.wait(1000));
        writer.setEnabled(false);
        QVERIFY(!read.wait(30)); // nothing written yet
        pipe.put('x');
        QVERIFY(read.wait(1000));
        char byte = 0;
        QCOMPARE(::read(pipe.ends[0], &byte, 1), ssize_t(1));
        reader.setEnabled(false);
        pipe.put('y');
        QVERIFY(!read.wait(30));
        reader.setEnabled(true);
        QVERIFY(read.wait(1000));
        ::close(std::exchange(pipe.ends[1], -1)); // a hang-up wakes the reader too
        QCOMPARE(::read(pipe.ends[0], &byte, 1), ssize_t(1));
        QVERIFY(read.wait(1000));
        // epoll refuses what is always ready; poll() says it is readable.
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        QSocketNotifier nullReader(null, QSocketNotifier::Read);
        QSignalSpy nullRead(&nullReader, &QSocketNotifier::activated);
        QVERIFY(nullRead.wait(1000));
        nullReader.setEnabled(false);
        ::close(null);
        // Two descriptors ready in the same pass: the first handler deletes the
        // second notifier, which must then not be sent anything.
        Pipe first, second;
        auto *doomed = new QSocketNotifier(second.ends[0], QSocketNotifier::Read);
        QSocketNotifier killer(first.ends[0], QSocketNotifier::Read);
        int doomedFired = 0;
        QObject::connect(doomed, &QSocketNotifier::activated, [&] { ++doomedFired; });
        QObject::connect(&killer, &QSocketNotifier::activated, [&] {
            delete std::exchange(doomed, nullptr);
            killer.setEnabled(false);
        });
        first.put('a');
        second.put('b');
        QTRY_VERIFY(!doomed);
        QTest::qWait(20);
        QVERIFY(doomedFired <= 1); // sent before the killer, or never
    }

    void otherThreadsWakeTheLoop()
    {
        QEventLoop loop;
        std::atomic<bool> woken{false};
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
        QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, &loop, [&] {
            if (woken)
                loop.quit();
        });
        QTimer::singleShot(5000, &loop, [&loop] { loop.exit(1); });
        std::thread waker([&] {
            woken = true;
            dispatcher->wakeUp();
        });
        QCOMPARE(loop.exec(), 0);
        waker.join();
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication::setEventDispatcher(new flash::EpollDispatcher);
    QCoreApplication app(argc, argv);
    TestEpollDispatcher test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_epolldispatcher.moc"
