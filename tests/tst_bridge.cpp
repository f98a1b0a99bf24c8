// The window's serial bridge on a real pseudo-terminal: the window's own
// QSerialPort on one side, the test playing the device on the master.

#include "sim/pty.h"
#include "upgrader.h"
#include "windowtesting.h"

#include <QSerialPort>
#include <QtTest>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

QByteArray readAvailable(int fd)
{
    QByteArray bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return bytes;
        bytes.append(buffer, int(n));
    }
}

bool writeAll(int fd, const QByteArray &bytes)
{
    return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

} // namespace

class TestBridge : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void arrivalsAreConcatenatedWithOneLinePerReport();
    void framesEmittedBackToBackReachTheLineInOrder();
    void closeRequestClosesThePort();

private:
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<Upgrader> window;
    QSerialPort *serial = nullptr;
};

void TestBridge::init()
{
    pty = std::make_unique<PtyPair>();
    QVERIFY2(pty->isOpen(), qPrintable(pty->errorString()));
    ::fcntl(pty->masterFd(), F_SETFL, ::fcntl(pty->masterFd(), F_GETFL) | O_NONBLOCK);
    window = std::make_unique<Upgrader>();
    serial = window->findChild<QSerialPort *>();
    QVERIFY(serial != nullptr);
    serial->setPortName(pty->slavePath());
    QVERIFY2(serial->open(QIODevice::ReadWrite), qPrintable(serial->errorString()));
}

void TestBridge::cleanup()
{
    window.reset();
    pty.reset();
}

void TestBridge::arrivalsAreConcatenatedWithOneLinePerReport()
{
    DebugLines debug;
    QSignalSpy reports(serial, &QSerialPort::readyRead);
    const QList<QByteArray> chunks = {"ab", QByteArray::fromHex("0643"), "\x15z"};
    QByteArray expected;
    for (const QByteArray &chunk : chunks) {
        const int before = reports.count();
        QVERIFY(writeAll(pty->masterFd(), chunk));
        expected += chunk;
        QTRY_COMPARE(window->receivedBytes(), expected);
        QCOMPARE(reports.count(), before + 1);
    }
    QCOMPARE(debug.lines(), QStringList({"6162", "0643", "157a"}));
}

void TestBridge::framesEmittedBackToBackReachTheLineInOrder()
{
    QByteArray first(1029, 'a');
    QByteArray second(133, 'b');
    const QByteArray third(1, 0x04);
    first[0] = 0x02;
    second[0] = 0x01;
    // Emitted from a worker, as the upload does: the writes are queued onto
    // the window's thread in the order of emission. (A joined std::thread,
    // unlike QThread::wait(), orders the worker's reads before the test's
    // later writes in a way ThreadSanitizer can see.)
    std::thread emitter([&] {
        emit window->request_writing(first);
        emit window->request_writing(second);
        emit window->request_writing(third);
    });
    emitter.join();
    QSignalSpy written(serial, &QSerialPort::bytesWritten);
    QByteArray line;
    auto drained = [&] { return line += readAvailable(pty->masterFd()); };
    QTRY_COMPARE(drained(), first + second + third);
    qint64 reported = 0;
    for (const QList<QVariant> &report : written)
        reported += report.at(0).toLongLong();
    QCOMPARE(reported, qint64(first.size() + second.size() + third.size()));
}

void TestBridge::closeRequestClosesThePort()
{
    std::thread([&] { emit window->request_closePort(); }).join();
    QVERIFY(serial->isOpen()); // queued: closed only when the window's loop runs
    QTRY_VERIFY(!serial->isOpen());
}

QTEST_MAIN(TestBridge)
#include "tst_bridge.moc"
