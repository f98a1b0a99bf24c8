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
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace ymodem;
using Phase = BootloaderSim::Phase;

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
const QByteArray Eot(1, EOT);
const QByteArray CanCan(2, CAN);

constexpr int Patience = 5000; // ms for anything the device should answer
constexpr int Quiet = 300;     // ms of silence that show the device holds back

// Runs the event loop until `done` holds or the time is up. Wakes only for
// events; the timer makes sure it wakes at the deadline.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = Patience)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake;
    wake.setSingleShot(true);
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

QList<QByteArray> dataBlocksOf(const QByteArray &image)
{
    QList<QByteArray> blocks;
    for (int offset = 0, number = 1; offset < image.size(); offset += DataFieldSize, ++number)
        blocks.append(makeDataBlock(image.mid(offset, DataFieldSize), quint8(number)));
    return blocks;
}

// A header block with a field of our own making, CRC correct.
QByteArray headerWithField(const QByteArray &field, quint8 number = 0)
{
    QByteArray block = QByteArray(1, SOH) + char(number) + char(0xFF - number) + field;
    block.append(HeaderFieldSize - field.size(), '\0');
    const quint16 crc = blockCrc16(block.constData() + 3, HeaderFieldSize);
    return block + char(crc >> 8) + char(crc & 0xFF);
}

// The updater's end of the cable.
class Host
{
public:
    explicit Host(const QString &portPath)
    {
        port.setPortName(portPath);
        port.setBaudRate(QSerialPort::Baud115200);
        QObject::connect(&port, &QSerialPort::readyRead, [this] { received += port.readAll(); });
        QObject::connect(&port, &QSerialPort::errorOccurred,
                         [this](QSerialPort::SerialPortError error) {
                             if (error != QSerialPort::NoError)
                                 errors.append(error);
                         });
    }

    bool open() { return port.open(QIODevice::ReadWrite); }

    // With pieceSize set, every piece is written on its own and reaches the
    // device's read before the next one goes.
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

    // Waits for `count` bytes and takes them off the front.
    QByteArray take(int count, int timeoutMs = Patience)
    {
        waitUntil([&] { return received.size() >= count; }, timeoutMs);
        const QByteArray taken = received.left(count);
        received.remove(0, taken.size());
        return taken;
    }

    // Like take(), after dropping the "C" the device sent while asking for
    // the header: one may cross the header on the line.
    QByteArray takeAfterPolls(int count)
    {
        waitUntil([&] {
            while (received.startsWith(CRC_REQUEST))
                received.remove(0, 1);
            return received.size() >= count;
        });
        return take(count, 0);
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

BootloaderSimOptions quick()
{
    BootloaderSimOptions options;
    options.cIntervalMs = 20;
    return options;
}

} // namespace

class TestBootloaderSim : public QObject
{
    Q_OBJECT

private slots:
    void ptyPairIsRawAndStaysUp();
    void uploadDeliversTheImage_data();
    void uploadDeliversTheImage();
    void framesSplitAnyway_data();
    void framesSplitAnyway();
    void commandFramesMustComeInOrder();
    void headerStopsTheCalls();
    void badHeaderGetsNak_data();
    void badHeaderGetsNak();
    void badDataBlockGetsNak_data();
    void badDataBlockGetsNak();
    void blockNumbersWrapAround();
    void repeatedBlocksAreAcknowledgedOnce();
    void unfinishedBlockIsDroppedAfterSilence();
    void closingBlockMustBeFull();
    void silentDeviceSendsNothing();
    void nakOfDataBlock();
    void droppedAck();
    void cancelAtDataBlock();
    void nakOfFirstEot();
    void garbageBeforeFirstC();
    void replyDelays_data();
    void replyDelays();
    void pacedTransferTakesWireTime_data();
    void pacedTransferTakesWireTime();
    void closedLineIsSeenByTheHost_data();
    void closedLineIsSeenByTheHost();
    void hostReopensPortBetweenUploads();
    void runsInItsOwnThread();
    void toolServesOneUpload();

private:
    void enterBootloader(Host &host);
    void sendHeader(Host &host, qint64 size);
    void sendBlocks(Host &host, const QList<QByteArray> &blocks, int from = 0);
    void finishFile(Host &host);
    void upload(Host &host, const QByteArray &image);
    void checkReceived(const BootloaderSim &sim, const QByteArray &image);
};

void TestBootloaderSim::enterBootloader(Host &host)
{
    host.send(firstCommandFrame);
    host.send(secondCommandFrame);
    QVERIFY2(waitUntil([&] { return host.received.contains(CRC_REQUEST); }),
             "no C from the device");
    host.received.clear();
}

void TestBootloaderSim::sendHeader(Host &host, qint64 size)
{
    host.send(makeHeaderBlock("firmware.bin", size));
    QCOMPARE(host.takeAfterPolls(2), AckC);
}

void TestBootloaderSim::sendBlocks(Host &host, const QList<QByteArray> &blocks, int from)
{
    for (int i = from; i < blocks.size(); ++i) {
        host.send(blocks.at(i));
        QCOMPARE(host.take(1), Ack);
    }
}

void TestBootloaderSim::finishFile(Host &host)
{
    host.send(Eot);
    QCOMPARE(host.take(2), AckC);
    host.send(makeClosingBlock());
    QCOMPARE(host.take(1), Ack);
}

void TestBootloaderSim::upload(Host &host, const QByteArray &image)
{
    STEP(enterBootloader(host));
    STEP(sendHeader(host, image.size()));
    STEP(sendBlocks(host, dataBlocksOf(image)));
    STEP(finishFile(host));
}

void TestBootloaderSim::checkReceived(const BootloaderSim &sim, const QByteArray &image)
{
    QTRY_COMPARE_WITH_TIMEOUT(sim.phase(), Phase::Completed, Patience);
    QCOMPARE(sim.fileName(), QStringLiteral("firmware.bin"));
    QCOMPARE(sim.announcedSize(), qint64(image.size()));
    QCOMPARE(sim.receivedImage(), image);
    QCOMPARE(sim.counters().dataBlocks, (image.size() + DataFieldSize - 1) / DataFieldSize);
    QVERIFY(sim.counters().closingBlockReceived);
}

void TestBootloaderSim::ptyPairIsRawAndStaysUp()
{
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QVERIFY(pty.slavePath().startsWith("/dev/"));
    const auto slaveIsRaw = [&pty] {
        const int fd = ::open(qPrintable(pty.slavePath()), O_RDWR | O_NOCTTY);
        termios settings{};
        const bool read = fd >= 0 && ::tcgetattr(fd, &settings) == 0;
        if (fd >= 0)
            ::close(fd);
        return read && (settings.c_lflag & (ICANON | ECHO | ISIG)) == 0 &&
               (settings.c_iflag & (ICRNL | IXON)) == 0 && (settings.c_oflag & OPOST) == 0;
    };
    const auto masterHungUp = [&pty] {
        pollfd master{pty.masterFd(), POLLIN, 0};
        return ::poll(&master, 1, 0) > 0 && (master.revents & POLLHUP) != 0;
    };
    QVERIFY(slaveIsRaw());

    // Bytes that a cooked terminal would change or swallow come through
    // unchanged both ways, and opening the port again does not hang the
    // master up.
    const QByteArray awkward("\r\n\x03\x04\x11\x13\x7f\x00\xff", 9);
    for (int round = 0; round < 2; ++round) {
        Host host(pty.slavePath());
        QVERIFY2(host.open(), qPrintable(host.port.errorString()));
        QCOMPARE(::write(pty.masterFd(), awkward.constData(), size_t(awkward.size())),
                 ssize_t(awkward.size()));
        QCOMPARE(host.take(awkward.size()), awkward);

        host.port.write(awkward);
        QVERIFY(host.port.waitForBytesWritten(Patience));
        QByteArray atMaster;
        char buffer[64];
        while (atMaster.size() < awkward.size()) {
            const ssize_t count = ::read(pty.masterFd(), buffer, sizeof buffer);
            QVERIFY(count > 0);
            atMaster.append(buffer, int(count));
        }
        QCOMPARE(atMaster, awkward);
        host.port.close();
        QVERIFY(!masterHungUp());
        QVERIFY(slaveIsRaw());
    }

    pty.closeMaster();
    QCOMPARE(pty.masterFd(), -1);
}

void TestBootloaderSim::uploadDeliversTheImage_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::newRow("2500 bytes") << makeImage(2500);
    QTest::newRow("exactly one block") << makeImage(1024);
    QTest::newRow("one block and a byte") << makeImage(1025);
    QTest::newRow("one byte") << makeImage(1);
    QTest::newRow("empty") << QByteArray();
    // The fill byte inside the image is data and must stay.
    QTest::newRow("ends in fill bytes") << makeImage(1500) + QByteArray(10, FILL);
}

void TestBootloaderSim::uploadDeliversTheImage()
{
    QFETCH(QByteArray, image);
    Rig rig(quick());
    QSignalSpy entered(&rig.sim, &BootloaderSim::commandFramesReceived);
    QSignalSpy header(&rig.sim, &BootloaderSim::headerReceived);
    QSignalSpy blocks(&rig.sim, &BootloaderSim::blockReceived);
    QSignalSpy eot(&rig.sim, &BootloaderSim::eotReceived);
    QSignalSpy completed(&rig.sim, &BootloaderSim::transferCompleted);
    QVERIFY(rig.start());

    STEP(upload(rig.host, image));
    STEP(checkReceived(rig.sim, image));

    QTRY_COMPARE_WITH_TIMEOUT(completed.count(), 1, Patience);
    QCOMPARE(entered.count(), 1);
    QCOMPARE(header.count(), 1);
    QCOMPARE(header.at(0).at(0).toString(), QStringLiteral("firmware.bin"));
    QCOMPARE(header.at(0).at(1).toLongLong(), qint64(image.size()));
    QCOMPARE(blocks.count(), rig.sim.counters().dataBlocks);
    if (!blocks.isEmpty())
        QCOMPARE(blocks.last().at(0).toInt(), blocks.count());
    QCOMPARE(eot.count(), 1);
    QCOMPARE(rig.sim.counters().naksSent, 0);
    QVERIFY2(rig.sim.problems().isEmpty(), qPrintable(rig.sim.problems().join('\n')));
    QVERIFY(rig.host.quietFor(50)); // nothing after the last ACK
}

void TestBootloaderSim::framesSplitAnyway_data()
{
    QTest::addColumn<int>("pieceSize");
    QTest::newRow("byte by byte") << 1;
    QTest::newRow("3 bytes") << 3;
    QTest::newRow("100 bytes") << 100;
    QTest::newRow("1000 bytes") << 1000;
}

void TestBootloaderSim::framesSplitAnyway()
{
    QFETCH(int, pieceSize);
    Rig rig(quick());
    QVERIFY(rig.start());
    rig.host.pieceSize = pieceSize;
    const QByteArray image = makeImage(2500);

    STEP(upload(rig.host, image));
    STEP(checkReceived(rig.sim, image));

    // Every piece arrived in reads of its own.
    const BootloaderSimCounters counters = rig.sim.counters();
    const qint64 hostBytes = 2 * 7 + HeaderBlockSize + 3 * DataBlockSize + 1 + DataBlockSize;
    QCOMPARE(counters.bytesRead, hostBytes);
    QVERIFY2(counters.reads >= (hostBytes + pieceSize - 1) / pieceSize,
             qPrintable(QString::number(counters.reads)));
    QVERIFY(rig.sim.problems().isEmpty());
}

void TestBootloaderSim::commandFramesMustComeInOrder()
{
    Rig rig(quick());
    QSignalSpy entered(&rig.sim, &BootloaderSim::commandFramesReceived);
    QVERIFY(rig.start());

    rig.host.send(QByteArray("noise") + secondCommandFrame + firstCommandFrame.left(6));
    QVERIFY(rig.host.quietFor(Quiet));
    QCOMPARE(entered.count(), 0);
    QCOMPARE(rig.sim.phase(), Phase::WaitingForCommands);

    // The first frame completes, then the second one makes it enter.
    rig.host.send(firstCommandFrame.right(1) + secondCommandFrame);
    QVERIFY(entered.wait(Patience));
    QCOMPARE(rig.host.take(1), QByteArray(1, CRC_REQUEST));
    QCOMPARE(rig.sim.phase(), Phase::WaitingForHeader);
    QVERIFY(!rig.sim.problems().isEmpty()); // the noise and the lone second frame
}

void TestBootloaderSim::headerStopsTheCalls()
{
    Rig rig(quick());
    QVERIFY(rig.start());
    STEP(enterBootloader(rig.host));

    const QByteArray header = makeHeaderBlock("firmware.bin", 2500);
    const qint64 expected = rig.sim.counters().bytesRead + 40;
    rig.host.send(header.left(40));
    QVERIFY(waitUntil([&] { return rig.sim.counters().bytesRead == expected; }));
    const int calls = rig.sim.counters().cSent;
    QTest::qWait(10 * quick().cIntervalMs);
    QCOMPARE(rig.sim.counters().cSent, calls);

    rig.host.send(header.mid(40));
    QCOMPARE(rig.host.takeAfterPolls(2), AckC);
}

void TestBootloaderSim::badHeaderGetsNak_data()
{
    QTest::addColumn<QByteArray>("header");
    QByteArray badCrc = makeHeaderBlock("firmware.bin", 2500);
    badCrc[HeaderBlockSize - 1] = char(badCrc.at(HeaderBlockSize - 1) ^ 0x01);
    QByteArray badComplement = makeHeaderBlock("firmware.bin", 2500);
    badComplement[2] = char(0xFE);

    QTest::newRow("bad CRC") << badCrc;
    QTest::newRow("bad complement") << badComplement;
    QTest::newRow("block 1 instead of 0") << headerWithField(QByteArray("firmware.bin\0"
                                                                        "2500 ",
                                                                        18),
                                                             1);
    QTest::newRow("no file name") << headerWithField(QByteArray("\0"
                                                                "2500 ",
                                                                6));
    QTest::newRow("no space after the size") << headerWithField(QByteArray("firmware.bin\0"
                                                                           "2500",
                                                                           17));
    QTest::newRow("size not decimal") << headerWithField(QByteArray("firmware.bin\0"
                                                                    "0x9C4 ",
                                                                    19));
    QTest::newRow("leading zero") << headerWithField(QByteArray("firmware.bin\0"
                                                                "02500 ",
                                                                19));
    QTest::newRow("no size") << headerWithField(QByteArray("firmware.bin\0"
                                                           " ",
                                                           14));
}

void TestBootloaderSim::badHeaderGetsNak()
{
    QFETCH(QByteArray, header);
    QCOMPARE(header.size(), HeaderBlockSize);
    Rig rig(quick());
    QVERIFY(rig.start());
    STEP(enterBootloader(rig.host));

    rig.host.send(header);
    QCOMPARE(rig.host.takeAfterPolls(1), Nak);
    QCOMPARE(rig.sim.announcedSize(), qint64(-1));
    QCOMPARE(rig.sim.phase(), Phase::WaitingForHeader);
    // Still asking for the header, and a good one is taken.
    QVERIFY(waitUntil([&] { return rig.host.received.contains(CRC_REQUEST); }));
    const QByteArray image = makeImage(2500);
    STEP(sendHeader(rig.host, image.size()));
    STEP(sendBlocks(rig.host, dataBlocksOf(image)));
    STEP(finishFile(rig.host));
    STEP(checkReceived(rig.sim, image));
}

void TestBootloaderSim::badDataBlockGetsNak_data()
{
    QTest::addColumn<QByteArray>("badBlock");
    const QByteArray good = makeDataBlock(makeImage(2500).left(DataFieldSize), 1);
    QByteArray badCrc = good;
    badCrc[DataBlockSize - 2] = char(badCrc.at(DataBlockSize - 2) ^ 0x10);
    QByteArray badData = good;
    badData[500] = char(badData.at(500) ^ 0x01);
    QByteArray badComplement = good;
    badComplement[2] = char(0xFF);

    QTest::newRow("bad CRC") << badCrc;
    QTest::newRow("damaged data") << badData;
    QTest::newRow("bad complement") << badComplement;
    QTest::newRow("block 2 instead of 1") << makeDataBlock(makeImage(2500).mid(1024, 1024), 2);
}

void TestBootloaderSim::badDataBlockGetsNak()
{
    QFETCH(QByteArray, badBlock);
    Rig rig(quick());
    QVERIFY(rig.start());
    const QByteArray image = makeImage(2500);
    STEP(enterBootloader(rig.host));
    STEP(sendHeader(rig.host, image.size()));

    rig.host.send(badBlock);
    QCOMPARE(rig.host.take(1), Nak);
    QCOMPARE(rig.sim.counters().dataBlocks, 0);
    QVERIFY(rig.sim.receivedImage().isEmpty());

    STEP(sendBlocks(rig.host, dataBlocksOf(image)));
    STEP(finishFile(rig.host));
    STEP(checkReceived(rig.sim, image));
    QCOMPARE(rig.sim.counters().naksSent, 1);
    QCOMPARE(rig.sim.problems().size(), 1);
}

void TestBootloaderSim::blockNumbersWrapAround()
{
    Rig rig(quick());
    QSignalSpy blocks(&rig.sim, &BootloaderSim::blockReceived);
    QVERIFY(rig.start());
    const QByteArray image = makeImage(258 * DataFieldSize - 300);
    const QList<QByteArray> dataBlocks = dataBlocksOf(image);
    QCOMPARE(quint8(dataBlocks.at(254).at(1)), quint8(255));
    QCOMPARE(quint8(dataBlocks.at(255).at(1)), quint8(0));
    QCOMPARE(quint8(dataBlocks.at(256).at(1)), quint8(1));

    STEP(enterBootloader(rig.host));
    STEP(sendHeader(rig.host, image.size()));
    STEP(sendBlocks(rig.host, dataBlocks));
    STEP(finishFile(rig.host));
    STEP(checkReceived(rig.sim, image));
    QCOMPARE(blocks.count(), 258);
    QCOMPARE(rig.sim.counters().repeatedBlocks, 0);
}

void TestBootloaderSim::repeatedBlocksAreAcknowledgedOnce()
{
    Rig rig(quick());
    QVERIFY(rig.start());
    const QByteArray image = makeImage(2500);
    const QList<QByteArray> blocks = dataBlocksOf(image);
    STEP(enterBootloader(rig.host));
    STEP(sendHeader(rig.host, image.size()));

    // A host that missed our answer sends the same block again.
    rig.host.send(makeHeaderBlock("firmware.bin", image.size()));
    QCOMPARE(rig.host.take(2), AckC);
    rig.host.send(blocks.at(0));
    QCOMPARE(rig.host.take(1), Ack);
    rig.host.send(blocks.at(0));
    QCOMPARE(rig.host.take(1), Ack);

    STEP(sendBlocks(rig.host, blocks, 1));
    STEP(finishFile(rig.host));
    STEP(checkReceived(rig.sim, image));
    QCOMPARE(rig.sim.counters().repeatedBlocks, 2);
}

void TestBootloaderSim::unfinishedBlockIsDroppedAfterSilence()
{
    BootloaderSimOptions options = quick();
    options.stallTimeoutMs = 100;
    Rig rig(options);
    QVERIFY(rig.start());
    const QByteArray image = makeImage(2500);
    const QList<QByteArray> blocks = dataBlocksOf(image);
    STEP(enterBootloader(rig.host));
    STEP(sendHeader(rig.host, image.size()));

    rig.host.send(blocks.at(0).left(600));
    QCOMPARE(rig.host.take(1), Nak);
    QCOMPARE(rig.sim.counters().dataBlocks, 0);

    STEP(sendBlocks(rig.host, blocks));
    STEP(finishFile(rig.host));
    STEP(checkReceived(rig.sim, image));
}

void TestBootloaderSim::closingBlockMustBeFull()
{
    // This bootloader reads a 1029-byte closing block; the usual 133-byte
    // one leaves it waiting for the rest.
    BootloaderSimOptions options = quick();
    options.stallTimeoutMs = 200;
    Rig rig(options);
    QVERIFY(rig.start());
    const QByteArray image = makeImage(2500);
    STEP(enterBootloader(rig.host));
    STEP(sendHeader(rig.host, image.size()));
    STEP(sendBlocks(rig.host, dataBlocksOf(image)));
    rig.host.send(Eot);
    QCOMPARE(rig.host.take(2), AckC);

    rig.host.send(makeClosingBlock().left(HeaderBlockSize));
    QCOMPARE(rig.host.take(1), Nak);
    QVERIFY(rig.sim.phase() != Phase::Completed);

    rig.host.send(makeClosingBlock());
    QCOMPARE(rig.host.take(1), Ack);
    STEP(checkReceived(rig.sim, image));
}

void TestBootloaderSim::silentDeviceSendsNothing()
{
    BootloaderSimOptions options = quick();
    options.silent = true;
    Rig rig(options);
    QSignalSpy entered(&rig.sim, &BootloaderSim::commandFramesReceived);
    QSignalSpy header(&rig.sim, &BootloaderSim::headerReceived);
    QVERIFY(rig.start());

    rig.host.send(firstCommandFrame + secondCommandFrame);
    QVERIFY(entered.wait(Patience));
    // It goes through the motions of asking for a file, yet nothing leaves.
    QVERIFY(waitUntil([&] { return rig.sim.counters().cSent >= 5; }));
    rig.host.send(makeHeaderBlock("firmware.bin", 2500));
    QVERIFY(header.wait(Patience));
    QVERIFY(rig.host.quietFor(Quiet));
    QVERIFY(rig.host.received.isEmpty());
}

void TestBootloaderSim::nakOfDataBlock()
{
    BootloaderSimOptions options = quick();
    options.nakBlock = 2;
    Rig rig(options);
    QVERIFY(rig.start());
    const QByteArray image = makeImage(2500);
    const QList<QByteArray> blocks = dataBlocksOf(image);
    STEP(enterBootloader(rig.host));
    STEP(sendHeader(rig.host, image.size()));
    STEP(sendBlocks(rig.host, blocks.mid(0, 1)));

    rig.host.send(blocks.at(1));
    QCOMPARE(rig.host.take(1), Nak);
    QCOMPARE(rig.sim.counters().dataBlocks, 1);

    STEP(sendBlocks(rig.host, blocks, 1));
    STEP(finishFile(rig.host));
    STEP(checkReceived(rig.sim, image));
    QCOMPARE(rig.sim.counters().naksSent, 1);
}

void TestBootloaderSim::droppedAck()
{
    BootloaderSimOptions options = quick();
    options.dropAckBlock = 2;
    Rig rig(options);
    QVERIFY(rig.start());
    const QByteArray image = makeImage(2500);
    const QList<QByteArray> blocks = dataBlocksOf(image);
    STEP(enterBootloader(rig.host));
    STEP(sendHeader(rig.host, image.size()));
    STEP(sendBlocks(rig.host, blocks.mid(0, 1)));

    rig.host.send(blocks.at(1));
    QVERIFY(rig.host.quietFor(Quiet));
    QCOMPARE(rig.sim.counters().dataBlocks, 2);

    STEP(sendBlocks(rig.host, blocks, 1)); // block 2 again, then the rest
    STEP(finishFile(rig.host));
    STEP(checkReceived(rig.sim, image));
    QCOMPARE(rig.sim.counters().repeatedBlocks, 1);
}

void TestBootloaderSim::cancelAtDataBlock()
{
    BootloaderSimOptions options = quick();
    options.cancelAtBlock = 2;
    Rig rig(options);
    QSignalSpy cancelled(&rig.sim, &BootloaderSim::transferCancelled);
    QSignalSpy completed(&rig.sim, &BootloaderSim::transferCompleted);
    QVERIFY(rig.start());
    const QByteArray image = makeImage(2500);
    const QList<QByteArray> blocks = dataBlocksOf(image);
    STEP(enterBootloader(rig.host));
    STEP(sendHeader(rig.host, image.size()));
    STEP(sendBlocks(rig.host, blocks.mid(0, 1)));

    rig.host.send(blocks.at(1));
    QCOMPARE(rig.host.take(2), CanCan);
    QTRY_COMPARE_WITH_TIMEOUT(cancelled.count(), 1, Patience);
    QCOMPARE(rig.sim.phase(), Phase::Cancelled);
    QCOMPARE(rig.sim.counters().dataBlocks, 1);

    // Whatever the host sends after that is not answered.
    rig.host.send(blocks.at(2) + Eot);
    QVERIFY(rig.host.quietFor(Quiet));
    QCOMPARE(completed.count(), 0);
}

void TestBootloaderSim::nakOfFirstEot()
{
    BootloaderSimOptions options = quick();
    options.nakFirstEot = true;
    Rig rig(options);
    QVERIFY(rig.start());
    const QByteArray image = makeImage(2500);
    STEP(enterBootloader(rig.host));
    STEP(sendHeader(rig.host, image.size()));
    STEP(sendBlocks(rig.host, dataBlocksOf(image)));

    rig.host.send(Eot);
    QCOMPARE(rig.host.take(1), Nak);
    QCOMPARE(rig.sim.phase(), Phase::ReceivingData);
    STEP(finishFile(rig.host));
    STEP(checkReceived(rig.sim, image));
    QCOMPARE(rig.sim.counters().eotsReceived, 2);
}

void TestBootloaderSim::garbageBeforeFirstC()
{
    BootloaderSimOptions options = quick();
    options.garbageBeforeC = true;
    Rig rig(options);
    QVERIFY(rig.start());

    rig.host.send(firstCommandFrame + secondCommandFrame);
    QVERIFY(waitUntil([&] { return rig.host.received.contains(CRC_REQUEST); }));
    const QByteArray noise = rig.host.received.left(rig.host.received.indexOf(CRC_REQUEST));
    QVERIFY(!noise.isEmpty());
    QVERIFY(!noise.contains(ACK));

    // The transfer goes on as usual.
    rig.host.received.clear();
    const QByteArray image = makeImage(2500);
    STEP(sendHeader(rig.host, image.size()));
    STEP(sendBlocks(rig.host, dataBlocksOf(image)));
    STEP(finishFile(rig.host));
    STEP(checkReceived(rig.sim, image));
}

void TestBootloaderSim::replyDelays_data()
{
    QTest::addColumn<int>("replyDelayMs");
    QTest::addColumn<int>("eraseDelayMs");
    QTest::newRow("slow device") << 150 << 0;
    QTest::newRow("flash erase") << 0 << 400;
    QTest::newRow("both") << 100 << 300;
}

void TestBootloaderSim::replyDelays()
{
    QFETCH(int, replyDelayMs);
    QFETCH(int, eraseDelayMs);
    BootloaderSimOptions options = quick();
    options.replyDelayMs = replyDelayMs;
    options.eraseDelayMs = eraseDelayMs;
    Rig rig(options);
    QVERIFY(rig.start());
    const QByteArray image = makeImage(2500);
    const QList<QByteArray> blocks = dataBlocksOf(image);
    STEP(enterBootloader(rig.host));

    QElapsedTimer clock;
    clock.start();
    STEP(sendHeader(rig.host, image.size()));
    QVERIFY2(clock.elapsed() >= replyDelayMs + eraseDelayMs,
             qPrintable(QString::number(clock.elapsed())));

    for (const QByteArray &block : blocks) {
        clock.restart();
        STEP(sendBlocks(rig.host, {block}));
        QVERIFY(clock.elapsed() >= replyDelayMs);
    }
    clock.restart();
    STEP(finishFile(rig.host));
    QVERIFY(clock.elapsed() >= 2 * replyDelayMs);
    STEP(checkReceived(rig.sim, image));
}

void TestBootloaderSim::pacedTransferTakesWireTime_data()
{
    QTest::addColumn<int>("baud");
    QTest::newRow("115200") << 115200;
    QTest::newRow("38400") << 38400;
}

void TestBootloaderSim::pacedTransferTakesWireTime()
{
    QFETCH(int, baud);
    BootloaderSimOptions options = quick();
    options.paceBaud = baud;
    Rig rig(options);
    QVERIFY(rig.start());
    const QByteArray image = makeImage(2500);
    STEP(enterBootloader(rig.host));

    // Each frame waits for the answer to the one before, so the wire time of
    // both directions adds up.
    QElapsedTimer clock;
    clock.start();
    STEP(sendHeader(rig.host, image.size()));
    STEP(sendBlocks(rig.host, dataBlocksOf(image)));
    STEP(finishFile(rig.host));
    const qint64 elapsed = clock.elapsed();

    const qint64 hostBytes = HeaderBlockSize + 3 * DataBlockSize + 1 + DataBlockSize;
    const qint64 deviceBytes = 2 + 3 + 2 + 1;
    const qint64 wireMs = (hostBytes + deviceBytes) * 10 * 1000 / baud;
    QVERIFY2(elapsed >= wireMs,
             qPrintable(QStringLiteral("%1 ms < %2 ms").arg(elapsed).arg(wireMs)));
    STEP(checkReceived(rig.sim, image));
}

void TestBootloaderSim::closedLineIsSeenByTheHost_data()
{
    QTest::addColumn<bool>("byOption");
    QTest::newRow("closeLine()") << false;
    QTest::newRow("after data block 2") << true;
}

void TestBootloaderSim::closedLineIsSeenByTheHost()
{
    QFETCH(bool, byOption);
    BootloaderSimOptions options = quick();
    options.closeAfterBlock = byOption ? 2 : 0;
    Rig rig(options);
    QSignalSpy closed(&rig.sim, &BootloaderSim::lineClosed);
    QVERIFY(rig.start());
    const QByteArray image = makeImage(5000);
    const QList<QByteArray> blocks = dataBlocksOf(image);
    STEP(enterBootloader(rig.host));
    STEP(sendHeader(rig.host, image.size()));
    STEP(sendBlocks(rig.host, blocks.mid(0, 1)));

    if (byOption)
        rig.host.send(blocks.at(1));
    else
        rig.sim.closeLine();
    QVERIFY(closed.count() == 1 || closed.wait(Patience));
    QCOMPARE(rig.sim.phase(), Phase::LineClosed);
    QCOMPARE(rig.sim.counters().dataBlocks, byOption ? 2 : 1);

    // The host's port reports the loss, and nothing more arrives.
    rig.host.send(blocks.at(2));
    QVERIFY2(waitUntil([&] { return rig.host.errors.contains(QSerialPort::ResourceError); }),
             "the host's port did not notice the line going away");
    QVERIFY(rig.host.received.isEmpty());
}

void TestBootloaderSim::hostReopensPortBetweenUploads()
{
    Rig rig(quick());
    QVERIFY(rig.start());
    const QByteArray first = makeImage(3000);
    const QByteArray second = makeImage(1800);

    STEP(upload(rig.host, first));
    STEP(checkReceived(rig.sim, first));
    rig.host.port.close();
    QVERIFY(rig.host.quietFor(100));
    QVERIFY(rig.host.open());

    STEP(upload(rig.host, second));
    STEP(checkReceived(rig.sim, second));
    QCOMPARE(rig.sim.counters().sessions, 2);
    QVERIFY(rig.sim.problems().isEmpty());
}

void TestBootloaderSim::runsInItsOwnThread()
{
    PtyPair pty;
    QVERIFY(pty.isOpen());
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

    Host host(pty.slavePath());
    QVERIFY(host.open());
    const QByteArray image = makeImage(4000);
    STEP(upload(host, image));
    STEP(checkReceived(*sim, image));

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
    const QString said = QString::fromLocal8Bit(process.readAll());
    QVERIFY2(said.contains("firmware.bin") && said.contains("transfer complete"), qPrintable(said));
    QFile written(output);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), image);
}

QTEST_GUILESS_MAIN(TestBootloaderSim)
#include "tst_bootloadersim.moc"
