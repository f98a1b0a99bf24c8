// The simulated bootloader on a real pseudo-terminal, with a real QSerialPort
// on the host side playing the updater by hand.

#include "sim/bootloadersim.h"
#include "sim/pty.h"
#include "ymodem/frames.h"

#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <functional>
#include <termios.h>
#include <unistd.h>

using namespace ymodem;
using Phase = BootloaderSim::Phase;

Q_DECLARE_METATYPE(BootloaderSimOptions)

// Stops the test function when a helper it called has failed.
#define STEP(call)                                                                                 \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

namespace {

const QByteArray Ack(1, ACK);
const QByteArray Nak(1, NAK);
const QByteArray AckC = Ack + CRC_REQUEST;

constexpr int Patience = 5000; // ms for anything the device should answer
constexpr int Quiet = 300;     // ms of silence that show the device holds back

// Runs the event loop until `done` holds or the time is up.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = Patience)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // makes sure the loop wakes at the deadline
    wake.start(timeoutMs);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

QByteArray makeImage(int size)
{
    QByteArray image(size, '\0');
    QRandomGenerator random(quint32(size) + 1);
    for (char &byte : image)
        byte = char(random.bounded(256));
    return image;
}

// The updater's end of the cable.
struct Host
{
    explicit Host(const QString &portPath)
    {
        port.setPortName(portPath);
        QObject::connect(&port, &QSerialPort::readyRead, [this] { received += port.readAll(); });
        QObject::connect(&port, &QSerialPort::errorOccurred,
                         [this](QSerialPort::SerialPortError error) { errors.append(error); });
    }

    bool open() { return port.open(QIODevice::ReadWrite); }

    // With pieceSize set, each piece reaches the device's read before the next goes.
    void send(const QByteArray &bytes)
    {
        if (pieceSize <= 0 || peer == nullptr) {
            port.write(bytes);
            return;
        }
        for (int offset = 0; offset < bytes.size(); offset += pieceSize) {
            const QByteArray piece = bytes.mid(offset, pieceSize);
            const qint64 expected = peer->counters().bytesRead + piece.size();
            port.write(piece);
            port.flush();
            waitUntil([&] { return peer->counters().bytesRead >= expected; });
        }
    }

    // Waits for `count` bytes, after dropping the "C" the device sends while
    // it asks for the header, and takes them off the front.
    QByteArray take(int count)
    {
        waitUntil([&] {
            while (received.startsWith(CRC_REQUEST))
                received.remove(0, 1);
            return received.size() >= count;
        });
        const QByteArray taken = received.left(count);
        received.remove(0, taken.size());
        return taken;
    }

    bool quietFor(int ms)
    {
        QTest::qWait(ms);
        return received.isEmpty();
    }

    QSerialPort port;
    QByteArray received;
    QList<QSerialPort::SerialPortError> errors;
    int pieceSize = 0;
    const BootloaderSim *peer = nullptr;
};

// A simulated device on a fresh pty, and the host's port open on it.
struct Rig
{
    explicit Rig(const BootloaderSimOptions &options)
        : sim(pty.releaseMaster(), options), host(pty.slavePath())
    {
        host.peer = &sim;
    }
    bool start() { return sim.start() && host.open(); }

    PtyPair pty;
    BootloaderSim sim;
    Host host;
};

// Short pauses between the calls for a file, and one option set.
template <typename T = int>
BootloaderSimOptions quick(T BootloaderSimOptions::*option = nullptr, T value = {})
{
    BootloaderSimOptions options;
    options.cIntervalMs = 20;
    if (option != nullptr)
        options.*option = value;
    return options;
}

// The frames of a whole upload, from the header on, and what a device that
// accepts each one answers.
QList<QPair<QByteArray, QByteArray>> exchangeFor(const QByteArray &image)
{
    QList<QPair<QByteArray, QByteArray>> steps{
        qMakePair(makeHeaderBlock("firmware.bin", image.size()), AckC)};
    for (int offset = 0, number = 1; offset < image.size(); offset += DataFieldSize, ++number)
        steps << qMakePair(makeDataBlock(image.mid(offset, DataFieldSize), quint8(number)), Ack);
    return steps << qMakePair(QByteArray(1, EOT), AckC) << qMakePair(makeClosingBlock(), Ack);
}

void upload(Host &host, const QByteArray &image)
{
    host.send(firstCommandFrame + secondCommandFrame);
    QVERIFY2(waitUntil([&] { return host.received.contains(CRC_REQUEST); }), "no C");
    host.received.clear();
    for (const auto &[frame, answer] : exchangeFor(image)) {
        host.send(frame);
        QCOMPARE(host.take(answer.size()), answer);
    }
}

void checkReceived(const BootloaderSim &sim, const QByteArray &image)
{
    QTRY_COMPARE_WITH_TIMEOUT(sim.phase(), Phase::Completed, Patience);
    QCOMPARE(sim.fileName(), QStringLiteral("firmware.bin"));
    QCOMPARE(sim.announcedSize(), qint64(image.size()));
    QCOMPARE(sim.receivedImage(), image);
}

} // namespace

class TestBootloaderSim : public QObject
{
    Q_OBJECT

private slots:
    void ptyStaysRawAndUpForTwoUploadsToThreadedSim();
    void uploadDeliversTheImage_data();
    void uploadDeliversTheImage();
    void faultsAndRecovery_data();
    void faultsAndRecovery();
    void toolServesOneUpload();
};

void TestBootloaderSim::uploadDeliversTheImage_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("pieceSize"); // 0: each frame written whole
    QTest::newRow("2500 bytes, byte by byte") << makeImage(2500) << 1;
    QTest::newRow("exactly one block") << makeImage(1024) << 0;
    QTest::newRow("one block and a byte") << makeImage(1025) << 0;
    QTest::newRow("empty") << QByteArray() << 0;
    // The fill byte inside the image is data and must stay.
    QTest::newRow("ends in fill bytes") << makeImage(1500) + QByteArray(10, FILL) << 0;
    // Block numbers 255, 0, 1 follow one another.
    QTest::newRow("258 blocks") << makeImage(258 * DataFieldSize - 300) << 0;
}

void TestBootloaderSim::uploadDeliversTheImage()
{
    QFETCH(QByteArray, image);
    QFETCH(int, pieceSize);
    Rig rig(quick());
    QVERIFY(rig.start());
    rig.host.pieceSize = pieceSize;

    STEP(upload(rig.host, image));
    STEP(checkReceived(rig.sim, image));

    const BootloaderSimCounters counters = rig.sim.counters();
    QCOMPARE(counters.dataBlocks, (image.size() + DataFieldSize - 1) / DataFieldSize);
    QCOMPARE(counters.naksSent, 0);
    QCOMPARE(counters.repeatedBlocks, 0);
    QVERIFY2(rig.sim.problems().isEmpty(), qPrintable(rig.sim.problems().join('\n')));
    if (pieceSize > 0) // the pieces really arrived in reads of their own
        QVERIFY(counters.reads >= (counters.bytesRead + pieceSize - 1) / pieceSize);
    QVERIFY(rig.host.quietFor(50)); // nothing after the last ACK
}

void TestBootloaderSim::faultsAndRecovery_data()
{
    // The upload of 2500 bytes in steps: 0 header, 1-3 data blocks, 4 EOT,
    // 5 closing block. At `step` the host sends `badFrame` (empty: the right
    // frame) and the device answers `firstAnswer` (empty: nothing). A device
    // that ends in Completed then takes the right frame and the rest as usual;
    // otherwise it answers nothing more.
    QTest::addColumn<BootloaderSimOptions>("options");
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("badFrame");
    QTest::addColumn<QByteArray>("firstAnswer");
    QTest::addColumn<Phase>("endPhase");
    using O = BootloaderSimOptions;
    const QByteArray none;
    const Phase completed = Phase::Completed;

    QTest::newRow("NAK of block 2") << quick(&O::nakBlock, 2) << 2 << none << Nak << completed;
    QTest::newRow("ACK of block 2 left out")
        << quick(&O::dropAckBlock, 2) << 2 << none << none << completed;
    QTest::newRow("cancel at block 2")
        << quick(&O::cancelAtBlock, 2) << 2 << none << QByteArray(2, CAN) << Phase::Cancelled;
    QTest::newRow("NAK of the first EOT")
        << quick(&O::nakFirstEot, true) << 4 << none << Nak << completed;
    QTest::newRow("vanishes after block 2")
        << quick(&O::closeAfterBlock, 2) << 2 << none << none << Phase::LineClosed;
    QTest::newRow("silent") << quick(&O::silent, true) << 0 << none << none << Phase::ReceivingData;
    QTest::newRow("garbage before C")
        << quick(&O::garbageBeforeC, true) << -1 << none << none << completed;
    QTest::newRow("slow device") << quick(&O::replyDelayMs, 150) << -1 << none << none << completed;
    QTest::newRow("flash erase") << quick(&O::eraseDelayMs, 400) << -1 << none << none << completed;
    QTest::newRow("paced at 38400 baud")
        << quick(&O::paceBaud, 38400) << -1 << none << none << completed;

    // Bad frames from the host: NAKed, and the right one is taken after that.
    const auto with = [](QByteArray frame, int at, int value) {
        frame[at] = char(value);
        return frame;
    };
    const QByteArray header = makeHeaderBlock("firmware.bin", 2500);
    const QByteArray block = exchangeFor(makeImage(2500)).at(1).first;
    QTest::newRow("header with a bad CRC")
        << quick() << 0 << with(header, 132, header.at(132) ^ 1) << Nak << completed;
    QTest::newRow("header numbered 1") // complement and CRC still right
        << quick() << 0 << with(with(header, 1, 1), 2, 0xFE) << Nak << completed;
    QTest::newRow("header without a name")
        << quick() << 0 << makeHeaderBlock("", 2500) << Nak << completed;
    QTest::newRow("damaged data block")
        << quick() << 1 << with(block, 500, block.at(500) ^ 1) << Nak << completed;
    QTest::newRow("data block, bad complement")
        << quick() << 1 << with(block, 2, 0xFF) << Nak << completed;
    QTest::newRow("block 2 first")
        << quick() << 1 << exchangeFor(makeImage(2500)).at(2).first << Nak << completed;
    // This bootloader reads a 1029-byte closing block; the usual 133-byte one
    // leaves it waiting until it drops the unfinished frame.
    QTest::newRow("133-byte closing block")
        << quick(&O::stallTimeoutMs, 200) << 5 << makeClosingBlock().left(HeaderBlockSize) << Nak
        << completed;
}

void TestBootloaderSim::faultsAndRecovery()
{
    QFETCH(BootloaderSimOptions, options);
    QFETCH(int, step);
    QFETCH(QByteArray, badFrame);
    QFETCH(QByteArray, firstAnswer);
    QFETCH(Phase, endPhase);
    Rig rig(options);
    QVERIFY(rig.start());
    const QByteArray image = makeImage(2500);
    const auto steps = exchangeFor(image);

    // The call for a file (none from a silent device), and stray bytes before
    // it only when asked for, never an ACK.
    rig.host.send(firstCommandFrame + secondCommandFrame);
    const auto called = [&] { return rig.host.received.contains(CRC_REQUEST); };
    QCOMPARE(waitUntil(called, options.silent ? Quiet : Patience), !options.silent);
    const QByteArray noise = rig.host.received.left(rig.host.received.indexOf(CRC_REQUEST));
    QCOMPARE(!noise.isEmpty(), options.garbageBeforeC);
    QVERIFY(!noise.contains(ACK));
    rig.host.received.clear();

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < steps.size(); ++i) {
        if (i == step) {
            rig.host.send(badFrame.isEmpty() ? steps.at(i).first : badFrame);
            if (firstAnswer.isEmpty())
                QVERIFY(rig.host.quietFor(Quiet));
            else
                QCOMPARE(rig.host.take(firstAnswer.size()), firstAnswer);
            if (endPhase != Phase::Completed) {
                QTRY_COMPARE_WITH_TIMEOUT(rig.sim.phase(), endPhase, Patience);
                rig.host.send(steps.at(i + 1).first);
                if (endPhase == Phase::LineClosed) // and the host's port notices
                    QVERIFY(waitUntil(
                        [&] { return rig.host.errors.contains(QSerialPort::ResourceError); }));
                QVERIFY(rig.host.quietFor(Quiet));
                return;
            }
        }
        rig.host.send(steps.at(i).first);
        QCOMPARE(rig.host.take(steps.at(i).second.size()), steps.at(i).second);
    }
    // Six answers, each late; the first one after the erase; and as each
    // frame waits for the answer to the one before, the wire time of both
    // directions adds up, 10 bits a byte.
    const int wireBytes = HeaderBlockSize + 4 * DataBlockSize + 1 + 2 + 3 + 2 + 1;
    const qint64 minMs = 6 * options.replyDelayMs + options.eraseDelayMs +
                         (options.paceBaud > 0 ? wireBytes * 10 * 1000 / options.paceBaud : 0);
    QVERIFY2(clock.elapsed() >= minMs, qPrintable(QString::number(clock.elapsed())));
    STEP(checkReceived(rig.sim, image));
    QCOMPARE(rig.sim.counters().naksSent, firstAnswer == Nak ? 1 : 0);
    // What the host did wrong, and nothing else, is on record.
    QCOMPARE(rig.sim.problems().isEmpty(), badFrame.isEmpty());
}

void TestBootloaderSim::ptyStaysRawAndUpForTwoUploadsToThreadedSim()
{
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    auto *sim = new BootloaderSim(pty.releaseMaster(), quick());
    QThread thread;
    sim->moveToThread(&thread);
    connect(&thread, &QThread::started, sim, &BootloaderSim::start);
    connect(&thread, &QThread::finished, sim, &QObject::deleteLater);
    thread.start();
    auto stopThread = qScopeGuard([&] {
        thread.quit();
        thread.wait();
    });
    // Raw before the host's port sets it up, and again after the port was
    // closed and restored the settings it found; and the device's end stays
    // up while no port is open, so a second upload goes through.
    const auto slaveIsRaw = [&pty] {
        const int fd = ::open(qPrintable(pty.slavePath()), O_RDWR | O_NOCTTY);
        termios settings{};
        const bool read = fd >= 0 && ::tcgetattr(fd, &settings) == 0;
        if (fd >= 0)
            ::close(fd);
        return read && (settings.c_lflag & (ICANON | ECHO | ISIG)) == 0 &&
               (settings.c_iflag & (ICRNL | IXON)) == 0 && (settings.c_oflag & OPOST) == 0;
    };
    Host host(pty.slavePath());
    for (const QByteArray &image : {makeImage(3000), makeImage(1800)}) {
        QVERIFY(slaveIsRaw());
        QVERIFY(host.open());
        STEP(upload(host, image));
        STEP(checkReceived(*sim, image));
        host.port.close();
    }
    QCOMPARE(sim->counters().sessions, 2);
    QVERIFY(sim->problems().isEmpty());

    sim->closeLine(); // from this thread: done by the time it returns
    QCOMPARE(sim->phase(), Phase::LineClosed);
}

void TestBootloaderSim::toolServesOneUpload()
{
    const QString tool = qEnvironmentVariable("KVT_BOOTLOADER_SIM");
    if (tool.isEmpty())
        QSKIP("KVT_BOOTLOADER_SIM does not name the tool");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString output = dir.filePath("received.bin");

    QProcess process;
    process.start(tool, {"--once", "--output", output, "--c-interval", "20"});
    QVERIFY(process.waitForStarted(Patience));
    auto stopTool = qScopeGuard([&] {
        process.kill();
        process.waitForFinished(Patience);
    });
    QVERIFY(waitUntil([&] { return process.canReadLine(); }));
    const QString firstLine = QString::fromLocal8Bit(process.readLine()).trimmed();
    const QString prefix = QStringLiteral("kvt-bootloader-sim: listening on ");
    QVERIFY2(firstLine.startsWith(prefix), qPrintable(firstLine));

    Host host(firstLine.mid(prefix.size()));
    QVERIFY(host.open());
    const QByteArray image = makeImage(2100);
    STEP(upload(host, image));

    QVERIFY(waitUntil([&] { return process.state() == QProcess::NotRunning; }));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QFile written(output);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), image);
}

QTEST_GUILESS_MAIN(TestBootloaderSim)
#include "tst_bootloadersim.moc"
