// The request for low latency against a stand-in for the driver on a real
// pty, and against the pty's own driver, which refuses it.

#include "fakeserialdriver.h"
#include "lowlatency.h"
#include "sim/pty.h"

#include <QtTest>

#include <optional>

#include <fcntl.h>
#include <unistd.h>

using serialdriver::LowLatency;
using Answer = LowLatency::Answer;

Q_DECLARE_METATYPE(LowLatency::Answer)

class TestLowLatency : public QObject
{
    Q_OBJECT

private slots:
    void requestAndRestore_data();
    void requestAndRestore();
};

void TestLowLatency::requestAndRestore_data()
{
    QTest::addColumn<bool>("fakeDriver");
    QTest::addColumn<int>("flagsBefore");
    QTest::addColumn<int>("refuseSetWith");
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<int>("flagsWhileOpen");
    QTest::addColumn<QString>("says");

    const int other = ASYNC_SKIP_TEST | ASYNC_SPD_HI; // flags that must stay as they are
    const int low = ASYNC_LOW_LATENCY;
    QTest::newRow("granted, the rest kept")
        << true << other << 0 << Answer::Granted << (other | low) << "granted by the driver";
    QTest::newRow("already set, left set")
        << true << (other | low) << 0 << Answer::AlreadyLow << (other | low) << "already set";
    QTest::newRow("set refused") << true << other << EPERM << Answer::Refused << other
                                 << "not offered by the driver (Operation not permitted)";
    QTest::newRow("a pty's own driver")
        << false << 0 << 0 << Answer::Refused << 0
        << "not offered by the driver (Inappropriate ioctl for device)";
}

void TestLowLatency::requestAndRestore()
{
    QFETCH(bool, fakeDriver);
    QFETCH(int, flagsBefore);
    QFETCH(int, refuseSetWith);
    QFETCH(Answer, answer);
    QFETCH(int, flagsWhileOpen);
    QFETCH(QString, says);

    PtyPair pty;
    std::optional<FakeSerialDriver> driver;
    if (fakeDriver)
        driver.emplace(pty.slavePath(), flagsBefore);
    if (driver)
        driver->refuseSetWith = refuseSetWith;
    const int fd = ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    LowLatency lowLatency;
    QCOMPARE(lowLatency.request(fd), answer);
    QCOMPARE(lowLatency.description(), "low latency: " + says);
    QCOMPARE(driver ? driver->flags() : 0, flagsWhileOpen);
    lowLatency.restore();
    ::close(fd);
    QCOMPARE(driver ? driver->flags() : 0, flagsBefore);
}

QTEST_GUILESS_MAIN(TestLowLatency)
#include "tst_lowlatency.moc"
