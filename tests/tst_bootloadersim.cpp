// The simulated bootloader: its receiver against bad frames, in memory; the
// kvt-bootloader-sim program with each of its fault options against the
// flasher on its pty, keeping what it received; and its demo image.

#include "flash/portflasher.h"
#include "sim/bootloadercore.h"
#include "testdata.h"
#include "ymodem/frames.h"
#include "ymodem/line.h"

#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace ymodem;
using Outcome = flash::FlashResult::Outcome;

namespace {

const QByteArray Ack(1, ACK), Nak(1, NAK), AckC = Ack + CRC_REQUEST;
constexpr int Patience = 10000; // ms for anything the device should do
constexpr qint64 NsPerMs = 1000000;

// Feeds the core at `now` (a byte at a time if asked), lets `waitMs` pass,
// and returns what it answered meanwhile.
QByteArray exchange(sim::BootloaderCore &core, qint64 &now, const QByteArray &bytes,
                    bool byteByByte = false, int waitMs = 0)
{
    for (int at = 0; at < bytes.size(); at += byteByByte ? 1 : bytes.size())
        core.receive(bytes.mid(at, byteByByte ? 1 : -1), now);
    core.tick(now += waitMs * NsPerMs);
    QByteArray answer;
    for (const sim::BootloaderOutput &output : core.takeOutput())
        answer += output.bytes;
    return answer;
}

// A bad frame from the host at step `step` of the upload (0 the header, then
// the blocks, EOT, the closing block), answered with `answer`; the right
// frame is taken after it.
struct Receive
{
    int step = -1;
    QByteArray badFrame = {};
    QByteArray answer = {};
    bool byteByByte = false;
};

// One run of the program with a fault option, and what only it does to an
// upload of 2500 bytes: frame 4 is data block 2, frame 6 EOT.
struct Fault
{
    QStringList options;
    Outcome outcome = Outcome::Succeeded;
    int resentFrame = 0;          // the one frame sent twice
    bool resentOnTimeOut = false; // after the reply limit rather than at once
    int slowFrame = 0;            // its answer came at least slowMs after it
    qint64 slowMs = 0;
    int callsBeforeHeader = 1;    // "C" before the header went out, at least
    bool strayBeforeCall = false; // bytes before the first "C"
    qint64 stalledFrameNakMs = 0; // a header cut short: its NAK after this long
};

// The host's side of one upload: each frame sent and each read, with its
// time; a read also counts the frames sent before it.
struct Trace
{
    QVector<QPair<qint64, QByteArray>> sent;
    QVector<std::tuple<qint64, int, QByteArray>> heard;

    qint64 answerAfter(int frame) const // ms from it to the first ACK that follows
    {
        for (const auto &[at, sentBefore, bytes] : heard)
            if (sentBefore > frame && bytes.contains(ACK))
                return at - sent[frame].first;
        return -1;
    }
};

constexpr qint64 ReplyLimitMs = 300;

} // namespace

Q_DECLARE_METATYPE(Receive)
Q_DECLARE_METATYPE(Fault)

class TestBootloaderSim : public QObject
{
    Q_OBJECT

private slots:
    void receiver_data()
    {
        QTest::addColumn<Receive>("run");
        QTest::newRow("byte by byte") << Receive{-1, {}, {}, true};
        const QByteArray block2 = makeDataBlock(QByteArray(DataFieldSize, 'x'), 2);
        QTest::newRow("block 2 first") << Receive{1, block2, Nak};
        QTest::newRow("block 2, bad CRC")
            << Receive{2, block2.chopped(1) + char(block2.back() ^ 1), Nak};
        QTest::newRow("block 1 again")
            << Receive{2, testdata::canonicalFrames(testdata::makeImage(2500))[3], Ack};
        // This bootloader reads a 1029-byte closing block; the usual 133-byte one
        // leaves it waiting until it drops the unfinished frame.
        QTest::newRow("133-byte closing block")
            << Receive{5, makeClosingBlock().left(HeaderBlockSize), Nak};
        QTest::newRow("the host cancels") << Receive{2, QByteArray(2, CAN), {}};
    }
    void receiver()
    {
        QFETCH(Receive, run);
        sim::BootloaderCore core;
        qint64 now = 0;
        QCOMPARE(exchange(core, now, firstCommandFrame + secondCommandFrame, run.byteByByte),
                 QByteArray(1, CRC_REQUEST));
        const QByteArray image = testdata::makeImage(2500);
        const QVector<QByteArray> frames = testdata::canonicalFrames(image).mid(2);
        for (int i = 0; i < frames.size(); ++i) {
            if (i == run.step) {
                // An unfinished frame waits out the stall time-out for its NAK.
                QCOMPARE(exchange(core, now, run.badFrame, false, 1000), run.answer);
                if (run.badFrame.startsWith(CAN)) {
                    QCOMPARE(core.phase(), sim::BootloaderPhase::Cancelled);
                    QCOMPARE(exchange(core, now, frames[i], false, 1000), QByteArray());
                    return;
                }
            }
            // The header and EOT are answered with ACK and "C", the rest with ACK.
            const bool asksAgain =
                frames[i].size() == HeaderBlockSize || frames[i] == QByteArray(1, EOT);
            QCOMPARE(exchange(core, now, frames[i], run.byteByByte), asksAgain ? AckC : Ack);
        }
        QCOMPARE(core.phase(), sim::BootloaderPhase::Completed);
        QCOMPARE(core.receivedImage(), image);
        // What the host did wrong, and nothing else, is on record.
        QCOMPARE(core.problems().isEmpty(), run.badFrame.isEmpty() || run.answer == Ack);
    }
    void faultOption_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::newRow("--silent") << Fault{{"--silent"}, Outcome::TimedOut, 0, false, 0, 0, 0};
        QTest::newRow("--nak-block") << Fault{{"--nak-block", "2"}, Outcome::Succeeded, 4};
        QTest::newRow("--drop-ack") << Fault{{"--drop-ack", "2"}, Outcome::Succeeded, 4, true};
        QTest::newRow("--nak-first-eot") << Fault{{"--nak-first-eot"}, Outcome::Succeeded, 6};
        QTest::newRow("--cancel-at") << Fault{{"--cancel-at", "2"}, Outcome::Cancelled};
        QTest::newRow("--close-after") << Fault{{"--close-after", "2"}, Outcome::Unplugged};
        QTest::newRow("--garbage")
            << Fault{{"--garbage"}, Outcome::Succeeded, 0, false, 0, 0, 1, true};
        QTest::newRow("--reply-delay")
            << Fault{{"--reply-delay", "150"}, Outcome::Succeeded, 0, false, 3, 150};
        QTest::newRow("--erase-delay")
            << Fault{{"--erase-delay", "150"}, Outcome::Succeeded, 0, false, 2, 150};
        // A block and its ACK take 89 ms on the wire at 115200 baud.
        const qint64 blockOnTheWireMs = line::wireTimeUs(DataBlockSize + 1) / 1000;
        QTest::newRow("--pace") << Fault{{"--pace", "115200"}, Outcome::Succeeded, 0, false, 3,
                                         blockOnTheWireMs};
        QTest::newRow("--adapter-latency")
            << Fault{{"--adapter-latency", "40"}, Outcome::Succeeded, 0, false, 3, 40};
        QTest::newRow("--c-interval")
            << Fault{{"--c-interval", "20"}, Outcome::Succeeded, 0, false, 0, 0, 5};
        QTest::newRow("--stall-timeout")
            << Fault{{"--stall-timeout", "200"}, Outcome::Succeeded, 0, false, 0, 0, 1, false, 200};
    }
    // The program with one fault option, on its pty, against the flasher (the
    // robust exchange on short limits) with the program's demo image, or by
    // hand for a header cut short.
    void faultOption()
    {
        QFETCH(Fault, fault);
        QTemporaryDir dir;
        QProcess tool; // killed, if still running, when it goes
        const QString link = dir.filePath("board"), made = dir.filePath("firmware.kvt");
        tool.start(KVT_BOOTLOADER_SIM,
                   fault.options +
                       QStringList{"--once", "--output", dir.filePath("got"), "--link", link});
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo(link).isSymLink(); }, Patience));
        const auto stopTool = qScopeGuard([&tool] { tool.kill(), tool.waitForFinished(); });
        if (fault.stalledFrameNakMs > 0) {
            QSerialPort host;
            host.setPortName(link);
            QVERIFY(host.open(QIODevice::ReadWrite));
            host.write(firstCommandFrame + secondCommandFrame);
            QVERIFY(host.waitForReadyRead(Patience) && host.readAll().endsWith(CRC_REQUEST));
            host.write(makeHeaderBlock("firmware.bin", 10).left(60));
            QElapsedTimer clock;
            clock.start();
            QByteArray heard;
            while (!heard.contains(NAK) && host.waitForReadyRead(Patience))
                heard += host.readAll();
            // Dropped after the stall time-out, well before the default 1000 ms.
            QVERIFY2(clock.elapsed() >= fault.stalledFrameNakMs - 5 && clock.elapsed() < 700,
                     qPrintable(QString::number(clock.elapsed())));
            return;
        }
        QCOMPARE(
            QProcess::execute(KVT_BOOTLOADER_SIM, {"--make-image", made, "--image-size", "2500"}),
            0);
        const QByteArray image = testdata::readFile(made);
        QVERIFY(image.size() == 2500 && image.startsWith(QByteArray::fromHex("00400020")));
        const QVector<QByteArray> frames = testdata::canonicalFrames(image);
        ymodem::UploadOptions robust{flash::scaledTiming({}, 0.05), 3, true};
        robust.timing.secondPause = 200; // time for a few "C"
        robust.timing.replyLimit = ReplyLimitMs;
        robust.timing.receiverLimit = 1000;
        flash::PortFlasher flasher(link, image, robust);
        Trace trace;
        QElapsedTimer clock;
        connect(&flasher, &flash::PortFlasher::frameSent, [&](const QByteArray &frame) {
            trace.sent.append({clock.elapsed(), frame});
        });
        connect(&flasher, &flash::PortFlasher::bytesReceived, [&](const QByteArray &bytes) {
            trace.heard.append({clock.elapsed(), trace.sent.size(), bytes});
        });
        QSignalSpy finished(&flasher, &flash::PortFlasher::finished);
        clock.start();
        flasher.start();
        QVERIFY(finished.wait(Patience));
        const flash::FlashResult &result = flasher.result();
        QCOMPARE(result.outcome, fault.outcome);
        if (result.outcome != Outcome::Succeeded) {
            // Ended by SIGTERM, or on its own once it closed the line (--once):
            // either way it takes its link along.
            tool.terminate();
            QVERIFY(tool.state() == QProcess::NotRunning || tool.waitForFinished(Patience));
            QVERIFY(!QFileInfo(link).isSymLink());
            return;
        }
        // Which frame went twice, and when.
        QCOMPARE(result.resends, fault.resentFrame > 0 ? 1 : 0);
        int again = -1;
        for (int i = 1; i < trace.sent.size(); ++i)
            again = trace.sent[i].second == trace.sent[i - 1].second ? i : again;
        QCOMPARE(again < 0 ? 0 : frames.indexOf(trace.sent[again].second), fault.resentFrame);
        if (again >= 0)
            QCOMPARE(trace.sent[again].first - trace.sent[again - 1].first >= ReplyLimitMs,
                     fault.resentOnTimeOut);
        // How late the answers came.
        QVERIFY2(trace.answerAfter(fault.slowFrame) >= fault.slowMs,
                 qPrintable(QString::number(trace.answerAfter(fault.slowFrame))));
        // What the device said before the header.
        QByteArray beforeHeader;
        for (const auto &[at, sentBefore, bytes] : trace.heard)
            beforeHeader += sentBefore <= 2 ? bytes : QByteArray();
        QVERIFY2(beforeHeader.count(CRC_REQUEST) >= fault.callsBeforeHeader,
                 beforeHeader.toHex().constData());
        QCOMPARE(beforeHeader.indexOf(CRC_REQUEST) > 0, fault.strayBeforeCall);
        // With --once the tool keeps the image, ends and takes its link along.
        QVERIFY(tool.waitForFinished(Patience) && tool.exitCode() == 0);
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(testdata::readFile(dir.filePath("got")), image);
    }
};

QTEST_GUILESS_MAIN(TestBootloaderSim)
#include "tst_bootloadersim.moc"
