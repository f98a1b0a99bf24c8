// The simulated bootloader on a real pseudo-terminal, with a real QSerialPort
// on the host side playing the updater by hand.

#include "sim/bootloadersim.h"
#include "sim/pty.h"
#include "testdata.h"
#include "ymodem/frames.h"
#include "ymodem/line.h"

#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using namespace ymodem;
using Phase = BootloaderSim::Phase;
using Options = BootloaderSimOptions;

namespace {

const QByteArray Ack(1, ACK), Nak(1, NAK), AckC = Ack + CRC_REQUEST, CanCan(2, CAN);
constexpr int Patience = 5000; // ms for anything the device should answer
constexpr int Quiet = 300;     // ms of silence that show the device holds back

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The updater's end of the cable, in blocking calls: the device answers from
// a thread of its own.
struct Host
{
    explicit Host(const QString &portPath)
    {
        port.setPortName(portPath);
        QObject::connect(&port, &QSerialPort::readyRead, [this] { received += port.readAll(); });
    }

    // Given the device, each byte reaches its read before the next goes.
    void send(const QByteArray &bytes, const BootloaderSim *bytewise = nullptr)
    {
        for (int at = 0; at < bytes.size(); at += bytewise ? 1 : bytes.size()) {
            const qint64 expected = bytewise ? bytewise->counters().bytesRead + 1 : 0;
            port.write(bytewise ? bytes.mid(at, 1) : bytes);
            port.waitForBytesWritten(Patience);
            const QDeadlineTimer deadline(Patience);
            while (bytewise && bytewise->counters().bytesRead < expected && !deadline.hasExpired())
                QThread::yieldCurrentThread();
        }
    }

    // Waits for `count` bytes, after dropping the "C" the device sends while
    // it asks for the header, and takes them off the front.
    QByteArray take(int count)
    {
        while (received.startsWith(CRC_REQUEST) ||
               (received.size() < count && port.waitForReadyRead(Patience)))
            received.remove(0, received.startsWith(CRC_REQUEST) ? 1 : 0);
        const QByteArray taken = received.left(count);
        received.remove(0, taken.size());
        return taken;
    }

    bool quietFor(int ms) { return !port.waitForReadyRead(ms) && received.isEmpty(); }

    QSerialPort port;
    QByteArray received;
};

template <typename T> Options with(T Options::*option, T value)
{
    Options options;
    options.*option = value;
    return options;
}

// The frames of a whole upload, from the header on, and what a device that
// accepts each one answers.
QList<QPair<QByteArray, QByteArray>> exchangeFor(const QByteArray &image)
{
    QList<QPair<QByteArray, QByteArray>> steps;
    for (const QByteArray &frame : testdata::canonicalFrames(image).mid(2))
        steps << qMakePair(
            frame, frame.size() == HeaderBlockSize || frame == QByteArray(1, EOT) ? AckC : Ack);
    return steps;
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
    bool bytewise = false; // each frame a byte at a time
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
    QTest::newRow("byte by byte") << Case{Options(), -1, {}, {}, Phase::Completed, 2500, true};
    QTest::newRow("258 blocks, numbers wrap")
        << Case{Options(), -1, {}, {}, Phase::Completed, 258 * DataFieldSize - 300};
    QTest::newRow("NAK of block 2") << Case{with(&Options::nakBlock, 2), 2, {}, Nak};
    QTest::newRow("ACK of block 2 left out") << Case{with(&Options::dropAckBlock, 2), 2};
    QTest::newRow("CAN at block 2")
        << Case{with(&Options::cancelAtBlock, 2), 2, {}, CanCan, Phase::Cancelled};
    QTest::newRow("the host cancels") << Case{Options(), 2, CanCan, {}, Phase::Cancelled};
    QTest::newRow("NAK of the first EOT") << Case{with(&Options::nakFirstEot, true), 4, {}, Nak};
    QTest::newRow("vanishes after block 2")
        << Case{with(&Options::closeAfterBlock, 2), 2, {}, {}, Phase::LineClosed};
    QTest::newRow("silent") << Case{with(&Options::silent, true), 0, {}, {}, Phase::ReceivingData};
    QTest::newRow("garbage before C") << Case{with(&Options::garbageBeforeC, true)};
    QTest::newRow("slow device") << Case{with(&Options::replyDelayMs, 150)};
    QTest::newRow("flash erase") << Case{with(&Options::eraseDelayMs, 400)};
    QTest::newRow("paced at 38400 baud") << Case{with(&Options::paceBaud, 38400)};
    QTest::newRow("behind an adapter") << Case{with(&Options::adapterLatencyMs, 40)};

    // Bad frames from the host: NAKed, and the right one is taken after that.
    const QByteArray block2 = makeDataBlock(QByteArray(DataFieldSize, 'x'), 2);
    QTest::newRow("block 2 first") << Case{Options(), 1, block2, Nak};
    QTest::newRow("block 2, bad CRC")
        << Case{Options(), 2, block2.chopped(1) + char(block2.back() ^ 1), Nak};
    // This bootloader reads a 1029-byte closing block; the usual 133-byte one
    // leaves it waiting until it drops the unfinished frame.
    QTest::newRow("133-byte closing block") << Case{with(&Options::stallTimeoutMs, 200), 5,
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
    const auto stopThread = qScopeGuard([&] { thread.quit(), thread.wait(); });
    Host host(pty.slavePath());
    QVERIFY(host.port.open(QIODevice::ReadWrite));

    // The call for a file (none from a silent device), after stray bytes only
    // when asked for.
    host.send(firstCommandFrame + secondCommandFrame, run.bytewise ? sim : nullptr);
    QVERIFY(!run.options.silent || host.quietFor(Quiet));
    QTRY_COMPARE_WITH_TIMEOUT(host.received.contains(CRC_REQUEST), !run.options.silent, Patience);
    QCOMPARE(host.received.indexOf(CRC_REQUEST) > 0, run.options.garbageBeforeC);
    host.received.clear();

    QByteArray image;
    for (QRandomGenerator random; image.size() < run.size;)
        image += char(random.bounded(256));
    const auto steps = exchangeFor(image);
    QElapsedTimer clock;
    clock.start();
    qint64 wireBytes = 0;
    for (int i = 0; i < steps.size(); ++i) {
        const auto &[frame, answer] = steps.at(i);
        if (i == run.step) {
            host.send(run.badFrame.isEmpty() ? frame : run.badFrame);
            QCOMPARE(host.take(run.firstAnswer.size()), run.firstAnswer);
            QVERIFY(!run.firstAnswer.isEmpty() || host.quietFor(Quiet));
            if (run.endPhase != Phase::Completed) {
                QTRY_COMPARE_WITH_TIMEOUT(sim->phase(), run.endPhase, Patience);
                host.send(steps.at(i + 1).first);
                QVERIFY(host.quietFor(Quiet));
                return;
            }
        }
        host.send(frame, run.bytewise ? sim : nullptr);
        QCOMPARE(host.take(answer.size()), answer);
        wireBytes += frame.size() + answer.size();
    }
    // Each answer late (by the delay, and held in the adapter), the first one
    // after the erase as well; and as each frame waits for the answer to the
    // one before, the wire time of both directions adds up.
    const qint64 minMs = steps.size() * (run.options.replyDelayMs + run.options.adapterLatencyMs) +
                         run.options.eraseDelayMs +
                         line::wireTimeMs(wireBytes, run.options.paceBaud);
    QVERIFY2(clock.elapsed() >= minMs, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(sim->phase(), Phase::Completed, Patience);
    QCOMPARE(sim->receivedImage(), image);
    // What the host did wrong, and nothing else, is on record.
    QCOMPARE(sim->problems().isEmpty(), run.badFrame.isEmpty());
    QVERIFY(host.quietFor(50)); // nothing after the last ACK
}

// The tool as the README uses it: a demo image of its own making, uploaded
// through the link it makes, which goes when the tool ends.
void TestBootloaderSim::toolServesOneUpload()
{
    const QString tool = KVT_BOOTLOADER_SIM;
    QTemporaryDir dir;
    const QString made = dir.filePath("firmware.kvt"), link = dir.filePath("board");
    QCOMPARE(QProcess::execute(tool, {"--make-image", made, "--image-size", "2100"}), 0);
    const QByteArray image = contents(made);
    QVERIFY(image.size() == 2100 && image.startsWith(QByteArray::fromHex("00400020")));
    QProcess process; // killed, if still running, when it goes
    process.start(tool, {"--once", "--output", dir.filePath("received"), "--link", link});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(link).isSymLink(), Patience);
    Host host(link);
    QVERIFY(host.port.open(QIODevice::ReadWrite));
    host.send(firstCommandFrame + secondCommandFrame);
    for (const auto &[frame, answer] : exchangeFor(image)) {
        host.send(frame);
        QCOMPARE(host.take(answer.size()), answer);
    }
    QVERIFY(process.waitForFinished(Patience) && process.exitCode() == 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(contents(dir.filePath("received")), image);

    // Ended by SIGTERM, the tool takes its link along too.
    process.start(tool, {"--link", link});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(link).isSymLink(), Patience);
    process.terminate();
    QVERIFY(process.waitForFinished(Patience) && !QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestBootloaderSim)
#include "tst_bootloadersim.moc"
