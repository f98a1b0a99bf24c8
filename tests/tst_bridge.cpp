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

class TestBridge : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        pty = std::make_unique<PtyPair>();
        QVERIFY2(pty->isOpen(), qPrintable(pty->errorString()));
        ::fcntl(pty->masterFd(), F_SETFL, ::fcntl(pty->masterFd(), F_GETFL) | O_NONBLOCK);
        window = std::make_unique<Upgrader>();
        serial = window->findChild<QSerialPort *>();
        serial->setPortName(pty->slavePath());
        QVERIFY2(serial->open(QIODevice::ReadWrite), qPrintable(serial->errorString()));
    }

    void cleanup()
    {
        window.reset();
        pty.reset();
    }

    // Each report of the port is appended whole and logged as one hex line.
    void arrivalsAreConcatenated()
    {
        DebugLines debug;
        QByteArray expected;
        for (const QByteArray &chunk :
             {QByteArray("ab"), QByteArray("\x06\x43"), QByteArray("z")}) {
            QCOMPARE(::write(pty->masterFd(), chunk.constData(), size_t(chunk.size())),
                     ssize_t(chunk.size()));
            expected += chunk;
            QTRY_COMPARE(window->receivedBytes(), expected);
        }
        QCOMPARE(debug.lines(), QStringList({"6162", "0643", "7a"}));
    }

    // Emitted from a worker, as the upload does: queued onto the window's
    // thread, the frames reach the line whole and in the order of emission.
    void framesFromAnotherThreadKeepTheirOrder()
    {
        const QByteArray first = QByteArray(1028, 'a').prepend('\x02');
        const QByteArray second = QByteArray(132, 'b').prepend('\x01');
        const QByteArray third(1, '\x04');
        // A joined std::thread, unlike QThread::wait(), orders the worker's
        // reads before the test's later writes in a way ThreadSanitizer sees.
        std::thread([&] {
            for (const QByteArray &frame : {first, second, third})
                emit window->request_writing(frame);
        }).join();
        QByteArray line;
        const auto drained = [&] {
            char buffer[4096];
            const ssize_t count = ::read(pty->masterFd(), buffer, sizeof buffer);
            return line += QByteArray(buffer, int(qMax<ssize_t>(count, 0)));
        };
        QTRY_COMPARE(drained(), first + second + third);
    }

    void closeRequestClosesThePort()
    {
        std::thread([&] { emit window->request_closePort(); }).join();
        QVERIFY(serial->isOpen()); // queued: closed only when the window's loop runs
        QTRY_VERIFY(!serial->isOpen());
    }

private:
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<Upgrader> window;
    QSerialPort *serial = nullptr;
};

QTEST_MAIN(TestBridge)
#include "tst_bridge.moc"
