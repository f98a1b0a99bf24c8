// The simulated bootloader on a real pseudo-terminal, with a real QSerialPort
// on the host side playing the updater by hand.

#include "sim/bootloadersim.h"
#include "sim/pty.h"
#include "ymodem/frames.h"
#include "ymodem/line.h"

#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>

using namespace ymodem;
using Phase = BootloaderSim::Phase;
using Options = BootloaderSimOptions;

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
    QTimer tick; // the device's thread changes what `done` reads without an event here
    tick.start(1);
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

// The updater's end of the cable. With pieceSize set, each piece reaches
// the device's read before the next goes.
struct Host
{
    Host(const QString &portPath, const BootloaderSim *peer = nullptr, int pieceSize = 0)
        : peer(peer), pieceSize(pieceSize)
    {
        port.setPortName(portPath);
        QObject::connect(&port, &QSerialPort::readyRead, [this] { received += port.readAll(); });
    }

    void send(const QByteArray &bytes)
    {
        for (int at = 0; pieceSize > 0 && at < bytes.size(); at += pieceSize) {
            const qint64 expected = peer->counters().bytesRead + bytes.mid(at, pieceSize).size();
            port.write(bytes.mid(at, pieceSize));
            waitUntil([&] { return peer->counters().bytesRead >= expected; });
        }
        if (pieceSize <= 0)
            port.write(bytes);
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

    const BootloaderSim *peer;
    const int pieceSize;
    QSerialPort port;
    QByteArray received;
};

// Short pauses between the calls for a file, and one option set.
template <typename T = int> Options quick(T Options::*option = nullptr, T value = {})
{
    Options options;
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

// One upload of `size` bytes in steps (for 2500 bytes: 0 header, 1-3 data
// blocks, 4 EOT, 5 closing block). At `step` the host sends `badFrame`
// (empty: the right frame) and the device answers `firstAnswer` (empty:
// nothing). A device that ends in Completed then takes the right frame and
// the rest as usual; otherwise it answers nothing more.
struct Case
{
    Options options;
    int step = -1;
    QByteArray badFrame = {};
    QByteArray firstAnswer = {};
    Phase endPhase = Phase::Completed;
    int size = 2500;
    int pieceSize = 0; // 0: each frame written whole
};

} // namespace

Q_DECLARE_METATYPE(Case)

class TestBootloaderSim : public QObject
{
    Q_OBJECT

private slots:
    void upload_data();
    void upload();
    void toolServesOneUpload();
};

void TestBootloaderSim::upload_data()
{
    QTest::addColumn<Case>("run");
    const QByteArray none;
    const Phase done = Phase::Completed;
    QTest::newRow("byte by byte") << Case{quick(), -1, none, none, done, 2500, 1};
    QTest::newRow("258 blocks, numbers wrap")
        << Case{quick(), -1, none, none, done, 258 * DataFieldSize - 300};
    QTest::newRow("NAK of block 2") << Case{quick(&Options::nakBlock, 2), 2, none, Nak};
    QTest::newRow("ACK of block 2 left out, its repeat stored once")
        << Case{quick(&Options::dropAckBlock, 2), 2};
    QTest::newRow("cancel at block 2")
        << Case{quick(&Options::cancelAtBlock, 2), 2, none, QByteArray(2, CAN), Phase::Cancelled};
    QTest::newRow("the host cancels at block 2")
        << Case{quick(), 2, QByteArray(2, CAN), none, Phase::Cancelled};
    QTest::newRow("NAK of the first EOT") << Case{quick(&Options::nakFirstEot, true), 4, none, Nak};
    QTest::newRow("vanishes after block 2")
        << Case{quick(&Options::closeAfterBlock, 2), 2, none, none, Phase::LineClosed};
    QTest::newRow("silent") << Case{quick(&Options::silent, true), 0, none, none,
                                    Phase::ReceivingData};
    QTest::newRow("garbage before C") << Case{quick(&Options::garbageBeforeC, true)};
    QTest::newRow("slow device") << Case{quick(&Options::replyDelayMs, 150)};
    QTest::newRow("flash erase") << Case{quick(&Options::eraseDelayMs, 400)};
    QTest::newRow("paced at 38400 baud") << Case{quick(&Options::paceBaud, 38400)};

    // Bad frames from the host: NAKed, and the right one is taken after that.
    const auto with = [](QByteArray frame, int at, int value) {
        frame[at] = char(value);
        return frame;
    };
    const QByteArray header = makeHeaderBlock("firmware.bin", 2500);
    const auto steps = exchangeFor(makeImage(2500));
    const QByteArray block = steps.at(1).first;
    // The complement and the CRC still match.
    QTest::newRow("header numbered 1") << Case{quick(), 0, with(with(header, 1, 1), 2, 0xFE), Nak};
    QTest::newRow("data block, bad CRC") << Case{quick(), 1, with(block, 500, block[500] ^ 1), Nak};
    QTest::newRow("block 2 first") << Case{quick(), 1, steps.at(2).first, Nak};
    // This bootloader reads a 1029-byte closing block; the usual 133-byte one
    // leaves it waiting until it drops the unfinished frame.
    QTest::newRow("133-byte closing block") << Case{quick(&Options::stallTimeoutMs, 200), 5,
                                                    makeClosingBlock().left(HeaderBlockSize), Nak};
}

void TestBootloaderSim::upload()
{
    QFETCH(Case, run);
    // The device in a thread of its own, as the benchmarks run it.
    PtyPair pty;
    auto *sim = new BootloaderSim(pty.releaseMaster(), run.options);
    QThread thread;
    sim->moveToThread(&thread);
    connect(&thread, &QThread::started, sim, &BootloaderSim::start);
    connect(&thread, &QThread::finished, sim, &QObject::deleteLater);
    thread.start();
    auto stopThread = qScopeGuard([&] {
        thread.quit();
        thread.wait();
    });
    Host host(pty.slavePath(), sim, run.pieceSize);
    QVERIFY(host.port.open(QIODevice::ReadWrite));

    // The call for a file (none from a silent device), after stray bytes only
    // when asked for.
    host.send(firstCommandFrame + secondCommandFrame);
    const auto called = [&] { return host.received.contains(CRC_REQUEST); };
    QCOMPARE(waitUntil(called, run.options.silent ? Quiet : Patience), !run.options.silent);
    QCOMPARE(host.received.indexOf(CRC_REQUEST) > 0, run.options.garbageBeforeC);
    host.received.clear();

    const QByteArray image = makeImage(run.size);
    const auto steps = exchangeFor(image);
    QElapsedTimer clock;
    clock.start();
    qint64 wireBytes = 0;
    for (int i = 0; i < steps.size(); ++i) {
        const auto &[frame, answer] = steps.at(i);
        if (i == run.step) {
            host.send(run.badFrame.isEmpty() ? frame : run.badFrame);
            if (run.firstAnswer.isEmpty())
                QVERIFY(host.quietFor(Quiet));
            else
                QCOMPARE(host.take(run.firstAnswer.size()), run.firstAnswer);
            if (run.endPhase != Phase::Completed) {
                QTRY_COMPARE_WITH_TIMEOUT(sim->phase(), run.endPhase, Patience);
                QCOMPARE(sim->problems(), QStringList()); // ending early is no fault of the host's
                host.send(steps.at(i + 1).first);
                QVERIFY(host.quietFor(Quiet));
                return;
            }
        }
        host.send(frame);
        QCOMPARE(host.take(answer.size()), answer);
        wireBytes += frame.size() + answer.size();
    }
    // Each answer late, the first one after the erase as well; and as each
    // frame waits for the answer to the one before, the wire time of both
    // directions adds up.
    const Options &options = run.options;
    const qint64 minMs = steps.size() * options.replyDelayMs + options.eraseDelayMs +
                         line::wireTimeMs(wireBytes, options.paceBaud);
    QVERIFY2(clock.elapsed() >= minMs, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(sim->phase(), Phase::Completed, Patience);
    QCOMPARE(sim->fileName(), QStringLiteral("firmware.bin"));
    QCOMPARE(sim->receivedImage(), image);
    QCOMPARE(sim->counters().naksSent, run.firstAnswer == Nak ? 1 : 0);
    // What the host did wrong, and nothing else, is on record.
    QCOMPARE(sim->problems().isEmpty(), run.badFrame.isEmpty());
    QVERIFY(host.quietFor(50)); // nothing after the last ACK
    sim->closeLine();           // from this thread: done by the time it returns
    QCOMPARE(sim->phase(), Phase::LineClosed);
}

// The tool as the README uses it: a demo image of its own making, uploaded
// through the link it makes, which goes when the tool ends.
void TestBootloaderSim::toolServesOneUpload()
{
    const QString tool = qEnvironmentVariable("KVT_BOOTLOADER_SIM");
    if (tool.isEmpty())
        QSKIP("KVT_BOOTLOADER_SIM does not name the tool");
    QTemporaryDir dir;
    const QString made = dir.filePath("firmware.kvt"), link = dir.filePath("board");
    QCOMPARE(QProcess::execute(tool, {"--make-image", made, "--image-size", "2100"}), 0);
    QFile madeFile(made);
    QVERIFY(madeFile.open(QIODevice::ReadOnly));
    const QByteArray image = madeFile.readAll();
    QCOMPARE(image.size(), 2100);
    QVERIFY(image.startsWith(QByteArray::fromHex("00400020")));

    // True once its first line names the pty the link points at.
    const auto startTool = [&](QProcess &process, const QStringList &arguments) {
        process.start(tool, arguments + QStringList{"--link", link, "--c-interval", "20"});
        return waitUntil([&] { return process.canReadLine(); }) &&
               QString::fromLocal8Bit(process.readLine()).trimmed() ==
                   "kvt-bootloader-sim: listening on " + QFile::symLinkTarget(link);
    };
    QProcess process; // killed, if still running, when it goes
    QVERIFY(startTool(process, {"--once", "--output", dir.filePath("received")}));
    QCOMPARE(QProcess::execute(tool, {"--link", link, "--timeout", "1"}), 1); // taken: left alone
    Host host(link);
    QVERIFY(host.port.open(QIODevice::ReadWrite));
    host.send(firstCommandFrame + secondCommandFrame);
    for (const auto &[frame, answer] : exchangeFor(image)) {
        host.send(frame);
        QCOMPARE(host.take(answer.size()), answer);
    }
    QVERIFY(waitUntil([&] { return process.state() == QProcess::NotRunning; }));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAll().count('\n'), 1); // the upload's line, none per block
    QVERIFY(!QFileInfo(link).isSymLink());
    QFile written(dir.filePath("received"));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), image);

    // Ended by SIGTERM, the tool takes its link along too.
    QProcess second;
    QVERIFY(startTool(second, {}));
    second.terminate();
    QVERIFY(second.waitForFinished(Patience));
    QVERIFY(!QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestBootloaderSim)
#include "tst_bootloadersim.moc"
