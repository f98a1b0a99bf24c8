// The upload logic against a fake clock: every limit is reached by setting the
// time, so a 60 s wait costs nothing.

#include "ymodem/frames.h"
#include "ymodem/upload.h"

#include <QtTest>

using namespace ymodem;
using Kind = UploadEvent::Kind;

namespace {

const QByteArray Ack(1, ACK);
const QByteArray C(1, CRC_REQUEST);
const QByteArray AckC = Ack + C;
const QByteArray Nak(1, NAK);

QByteArray makeImage(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 31 + 7) & 0xFF);
    if (size >= 4)
        image.replace(0, 4, QByteArray::fromHex("00400020"));
    return image;
}

// Drives one session the way a port would, keeping every event.
struct Link
{
    explicit Link(QByteArray image, UploadOptions options = {}) : session(std::move(image), options)
    {}

    void collect()
    {
        const auto fresh = session.takeEvents();
        for (const UploadEvent &e : fresh)
            events.append(e);
    }
    void at(qint64 t)
    {
        now = t;
        session.tick(now);
        collect();
    }
    void start()
    {
        session.start(now);
        collect();
    }
    // Reports the whole of the last frame written.
    void written()
    {
        session.written(frames().last().size(), now);
        collect();
    }
    void reply(const QByteArray &bytes, bool byteByByte = false)
    {
        if (byteByByte) {
            for (char b : bytes) {
                session.receive(QByteArray(1, b), now);
                collect();
            }
        } else {
            session.receive(bytes, now);
            collect();
        }
    }
    // Answers and reports each new frame's write at once.
    void replyAndWrite(const QByteArray &bytes, bool byteByByte = false)
    {
        const int before = frames().size();
        reply(bytes, byteByByte);
        if (frames().size() > before)
            written();
    }

    QVector<QByteArray> frames() const
    {
        QVector<QByteArray> out;
        for (const UploadEvent &e : events)
            if (e.kind == Kind::Send)
                out.append(e.frame);
        return out;
    }
    QVector<QPair<double, double>> progress() const
    {
        QVector<QPair<double, double>> out;
        for (const UploadEvent &e : events)
            if (e.kind == Kind::Progress)
                out.append({e.rest, e.total});
        return out;
    }
    QStringList logs() const
    {
        QStringList out;
        for (const UploadEvent &e : events)
            if (e.kind == Kind::Log)
                out.append(e.text);
        return out;
    }
    QVector<Kind> kinds() const
    {
        QVector<Kind> out;
        for (const UploadEvent &e : events)
            out.append(e.kind);
        return out;
    }
    bool timedOut() const { return session.phase() == UploadPhase::TimedOut; }
    int messages() const { return int(kinds().count(Kind::Message)); }

    // The command frames, both pauses, and the wait for the receiver begins
    // at t = 6000.
    void handshake()
    {
        start();
        written();
        at(5000);
        written();
        at(6000);
        QCOMPARE(session.phase(), UploadPhase::WaitReceiver);
    }
    // Handshake, "C", header block; data block 1 is released next.
    void throughHeader()
    {
        handshake();
        replyAndWrite(C);
        QCOMPARE(session.phase(), UploadPhase::Data);
    }

    UploadSession session;
    qint64 now = 0;
    QVector<UploadEvent> events;
};

} // namespace

class TestUpload : public QObject
{
    Q_OBJECT

private slots:
    void handshakeFramesAndPauses();
    void eachLimitRunsOutOneMillisecondAfterIt_data();
    void eachLimitRunsOutOneMillisecondAfterIt();
    void endOfFile_data();
    void endOfFile();
    void wantedByteAfterLimitStillTimesOut();
    void bytesBeforeTheFirstC();
    void wholeUpload_data();
    void wholeUpload();
    void imageOfExactlyOneBlock();
    void imageOneByteOverABlock();
    void blockNumbersWrap();
    void firstBlockNeedsAckAndC_data();
    void firstBlockNeedsAckAndC();
    void successOrder();
    void writeReportedInParts();
    void replyDuringWriteIsNotLost();
    void stopSendsNothing();
    void retriesResendOnNakAndTimeOut();
};

void TestUpload::handshakeFramesAndPauses()
{
    Link link(makeImage(100));
    link.now = 100;
    link.start();
    QCOMPARE(link.frames(), QVector<QByteArray>{firstCommandFrame});
    QCOMPARE(link.session.nextDeadline(), 100 + 5001);
    link.now = 300;
    link.written(); // the pause counts from the write report
    link.at(5299);
    QCOMPARE(link.frames().size(), 1);
    link.at(5300);
    QCOMPARE(link.frames().last(), secondCommandFrame);
    link.now = 5400;
    link.written();
    link.at(6399);
    QCOMPARE(link.session.phase(), UploadPhase::SecondPause);
    link.at(6400);
    QCOMPARE(link.session.phase(), UploadPhase::WaitReceiver);
    QCOMPARE(link.session.nextDeadline(), 6400 + 60001);
    QCOMPARE(link.frames().size(), 2);
}

namespace {

// Where a limit starts to count, for each wait of an upload.
enum class Wait
{
    FirstCommandWrite,
    SecondCommandWrite,
    Receiver,
    HeaderWrite,
    FirstBlockRelease,
    NakedBlock, // a NAK is passed over: no resend, the limit runs on
    DataBlockWrite,
    EndOfFile, // one limit for the whole phase, not restarted when EOT goes out
    ClosingAck,
};

// Drives the link to the wait and returns when its limit began.
qint64 driveTo(Link &link, Wait wait)
{
    switch (wait) {
    case Wait::FirstCommandWrite:
        link.start();
        return 0;
    case Wait::SecondCommandWrite:
        link.start();
        link.written();
        link.at(5000);
        return 5000;
    case Wait::Receiver:
        link.handshake();
        return 6000;
    case Wait::HeaderWrite:
        link.handshake();
        link.reply(C);
        return 6000;
    case Wait::FirstBlockRelease:
        link.handshake();
        link.now = 6500;
        link.replyAndWrite(C);
        return 6500;
    case Wait::NakedBlock:
        link.throughHeader();
        link.now = 7000;
        link.replyAndWrite(AckC);
        link.reply(Nak);
        return 7000;
    case Wait::DataBlockWrite:
        link.throughHeader();
        link.reply(AckC);
        return 6000;
    case Wait::EndOfFile:
        link.throughHeader();
        link.now = 7000;
        link.replyAndWrite(AckC); // the only block: the end of file begins
        link.now = 9000;
        link.replyAndWrite(Ack); // EOT goes out
        return 7000;
    case Wait::ClosingAck:
        link.throughHeader();
        link.replyAndWrite(AckC);
        link.replyAndWrite(Ack);
        link.now = 9000;
        link.replyAndWrite(AckC); // the closing block is written at 9000
        link.reply(C);            // logged, no effect
        return 9000;
    }
    return 0;
}

} // namespace

Q_DECLARE_METATYPE(Wait)

void TestUpload::eachLimitRunsOutOneMillisecondAfterIt_data()
{
    QTest::addColumn<Wait>("wait");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<bool>("barReset"); // only once the transfer has begun
    // Frames after the handshake also get their time on the wire at 115200
    // baud: 12 ms for the header block, 90 ms for a data block.
    QTest::newRow("first command frame written")
        << Wait::FirstCommandWrite << qint64(5000) << false;
    QTest::newRow("second command frame written")
        << Wait::SecondCommandWrite << qint64(1000) << false;
    QTest::newRow("receiver's first C") << Wait::Receiver << qint64(60000) << false;
    QTest::newRow("header block written") << Wait::HeaderWrite << qint64(5012) << false;
    QTest::newRow("ACK and C for block 1") << Wait::FirstBlockRelease << qint64(5000) << true;
    QTest::newRow("NAK of a block") << Wait::NakedBlock << qint64(5000) << true;
    QTest::newRow("data block written") << Wait::DataBlockWrite << qint64(5090) << true;
    QTest::newRow("end of file") << Wait::EndOfFile << qint64(5000) << true;
    QTest::newRow("closing block's ACK") << Wait::ClosingAck << qint64(5000) << true;
}

void TestUpload::eachLimitRunsOutOneMillisecondAfterIt()
{
    QFETCH(Wait, wait);
    QFETCH(qint64, limit);
    QFETCH(bool, barReset);
    Link link(makeImage(wait >= Wait::EndOfFile ? 10 : 3000));
    const qint64 from = driveTo(link, wait);
    QCOMPARE(link.session.nextDeadline(), from + limit + 1);
    const int sent = link.frames().size();
    link.at(from + limit);
    QVERIFY(!link.timedOut());
    link.at(from + limit + 1);
    QVERIFY(link.timedOut());
    QCOMPARE(link.frames().size(), sent); // nothing more goes to the device
    QCOMPARE(link.messages(), 1);
    const int last = link.events.size() - 1;
    const UploadEvent message = link.events[barReset ? last - 1 : last];
    QCOMPARE(message.kind, Kind::Message);
    QCOMPARE(message.title, QStringLiteral("Time out"));
    QCOMPARE(message.text, QStringLiteral("Please try again or change port."));
    QCOMPARE(link.logs().last(), QStringLiteral("timeout!"));
    QCOMPARE(link.events.last().kind, barReset ? Kind::Progress : Kind::Message);
    if (barReset)
        QCOMPARE(link.progress().last(), qMakePair(100.0, 100.0));
    QCOMPARE(link.session.nextDeadline(), UploadSession::NoDeadline);
}

void TestUpload::endOfFile_data()
{
    QTest::addColumn<int>("retries");
    QTest::addColumn<QList<QByteArray>>("replies"); // after the last block
    QTest::addColumn<int>("eots");
    QTest::addColumn<bool>("closed"); // else the phase times out
    QTest::newRow("ACK releases EOT once, ACK and C end it")
        << 0 << QList<QByteArray>{Ack, Ack, Ack, C} << 1 << true;
    QTest::newRow("ACK and C before EOT") << 0 << QList<QByteArray>{AckC} << 0 << false;
    QTest::newRow("NAK of EOT is not served") << 0 << QList<QByteArray>{Ack, Nak} << 1 << false;
    QTest::newRow("with retries, NAK of EOT brings it again")
        << 1 << QList<QByteArray>{Ack, Nak, AckC} << 2 << true;
}

void TestUpload::endOfFile()
{
    QFETCH(int, retries);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(int, eots);
    QFETCH(bool, closed);
    UploadOptions options;
    options.retries = retries;
    Link link(makeImage(10), options);
    link.throughHeader();
    link.replyAndWrite(AckC);
    for (const QByteArray &reply : replies)
        link.replyAndWrite(reply);
    QCOMPARE(link.frames().count(QByteArray(1, EOT)), eots);
    if (closed) {
        QCOMPARE(link.frames().last(), makeClosingBlock());
        link.replyAndWrite(Ack);
        QCOMPARE(link.session.phase(), UploadPhase::Completed);
    } else {
        link.at(link.now + 5001);
        QVERIFY(link.timedOut());
    }
}

void TestUpload::wantedByteAfterLimitStillTimesOut()
{
    Link link(makeImage(100));
    link.handshake();
    link.now = 6000 + 60001; // the driver was late: the "C" and the limit are both due
    link.reply(C);
    QVERIFY(link.timedOut());
    QCOMPARE(link.frames().size(), 2);
}

void TestUpload::bytesBeforeTheFirstC()
{
    Link link(makeImage(100));
    link.start();
    link.reply(QByteArray::fromHex("0a")); // during the handshake: examined later
    link.written();
    link.at(5000);
    link.written();
    link.at(6000);
    link.reply(QByteArray::fromHex("ff") + C + QByteArray::fromHex("1506"));
    QCOMPARE(link.logs(),
             QStringList({"first data is not 'C'!, it is 10", "first data is not 'C'!, it is 255",
                          "start ymodem transmission", "first data is not 'C'!, it is 21",
                          "first data is not 'C'!, it is 6"}));
    QCOMPARE(link.frames().last(), makeHeaderBlock("firmware.bin", 100));
}

void TestUpload::wholeUpload_data()
{
    QTest::addColumn<bool>("byteByByte");
    QTest::newRow("replies whole") << false;
    QTest::newRow("replies one byte at a time") << true;
}

void TestUpload::wholeUpload()
{
    QFETCH(bool, byteByByte);
    const QByteArray image = makeImage(2500);
    Link link(image);
    link.handshake();
    link.replyAndWrite(C, byteByByte);
    link.replyAndWrite(AckC, byteByByte); // block 1
    link.replyAndWrite(Ack, byteByByte);  // block 2
    link.replyAndWrite(Ack, byteByByte);  // block 3
    link.replyAndWrite(Ack, byteByByte);  // EOT
    link.replyAndWrite(AckC, byteByByte); // closing block
    link.replyAndWrite(Ack, byteByByte);
    QCOMPARE(link.session.phase(), UploadPhase::Completed);

    const QVector<QByteArray> expected = {firstCommandFrame,
                                          secondCommandFrame,
                                          makeHeaderBlock("firmware.bin", 2500),
                                          makeDataBlock(image.mid(0, 1024), 1),
                                          makeDataBlock(image.mid(1024, 1024), 2),
                                          makeDataBlock(image.mid(2048), 3),
                                          QByteArray(1, EOT),
                                          makeClosingBlock()};
    QCOMPARE(link.frames(), expected);
    using P = QPair<double, double>;
    QCOMPARE(link.progress(), (QVector<P>{P(1476, 2500), P(452, 2500), P(0, 2500)}));
    const QStringList logs = link.logs();
    QVERIFY(logs.contains("remaining data: 1476"));
    QVERIFY(logs.contains("remaining data: 452"));
    QCOMPARE(logs.filter("finish!").size(), 1);
    QCOMPARE(logs.indexOf("finish!") + 1, logs.indexOf("remaining data: 0"));
    QCOMPARE(logs.last(), QStringLiteral("Got last ACK"));
}

void TestUpload::imageOfExactlyOneBlock()
{
    const QByteArray image = makeImage(1024);
    Link link(image);
    link.throughHeader();
    link.replyAndWrite(AckC);
    QCOMPARE(link.frames().last(), makeDataBlock(image, 1));
    QVERIFY(!link.frames().last().contains(QByteArray(1, FILL)) ||
            image.contains(QByteArray(1, FILL)));
    QVERIFY(link.logs().contains("finish!"));
    QCOMPARE(link.session.phase(), UploadPhase::EndOfFile);
}

void TestUpload::imageOneByteOverABlock()
{
    const QByteArray image = makeImage(1025);
    Link link(image);
    link.throughHeader();
    link.replyAndWrite(AckC);
    link.replyAndWrite(Ack);
    QCOMPARE(link.frames().mid(3), (QVector<QByteArray>{makeDataBlock(image.left(1024), 1),
                                                        makeDataBlock(image.mid(1024), 2)}));
    QCOMPARE(link.session.phase(), UploadPhase::EndOfFile);
}

void TestUpload::blockNumbersWrap()
{
    Link link(makeImage(258 * 1024));
    link.throughHeader();
    link.replyAndWrite(AckC);
    for (int i = 0; i < 257; ++i)
        link.replyAndWrite(Ack);
    const QVector<QByteArray> frames = link.frames();
    const QVector<QByteArray> data = frames.mid(3, 258);
    QCOMPARE(quint8(data[254][1]), quint8(255));
    QCOMPARE(quint8(data[255][1]), quint8(0));
    QCOMPARE(quint8(data[255][2]), quint8(0xFF));
    QCOMPARE(quint8(data[256][1]), quint8(1));
    QCOMPARE(link.session.phase(), UploadPhase::EndOfFile);
}

void TestUpload::firstBlockNeedsAckAndC_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<bool>("released");
    QTest::newRow("ACK then C") << Ack << C << true;
    QTest::newRow("C then ACK") << C << Ack << true;
    QTest::newRow("ACK alone") << Ack << QByteArray() << false;
    QTest::newRow("C alone") << C << QByteArray() << false;
    QTest::newRow("NAK and CAN") << Nak << QByteArray(2, CAN) << false;
}

void TestUpload::firstBlockNeedsAckAndC()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(bool, released);
    Link link(makeImage(3000));
    link.throughHeader();
    link.reply(first);
    QCOMPARE(link.frames().size(), 3);
    if (!second.isEmpty())
        link.reply(second);
    QCOMPARE(link.frames().size(), released ? 4 : 3);
}

void TestUpload::successOrder()
{
    Link link(makeImage(10));
    link.throughHeader();
    link.replyAndWrite(AckC);
    link.replyAndWrite(Ack);
    link.replyAndWrite(AckC);
    link.replyAndWrite(Ack);
    QVector<Kind> tail;
    for (const UploadEvent &e : link.events)
        if (e.kind != Kind::Log && e.kind != Kind::Send)
            tail.append(e.kind);
    QCOMPARE(tail, (QVector<Kind>{Kind::Progress, Kind::ClosePort, Kind::Finished}));
    QCOMPARE(link.progress().last(), qMakePair(0.0, 10.0));
    QCOMPARE(link.session.nextDeadline(), UploadSession::NoDeadline);
}

void TestUpload::writeReportedInParts()
{
    Link link(makeImage(3000));
    link.throughHeader();
    link.reply(AckC);
    link.session.written(1000, link.now);
    link.reply(Ack); // waits: the block is not all written yet
    QCOMPARE(link.frames().size(), 4);
    link.session.written(29, link.now);
    link.collect();
    QCOMPARE(link.frames().size(), 5); // the ACK that waited releases block 2
    // A late report of bytes nobody waits for does not complete block 2.
    link.session.written(0, link.now);
    QVERIFY(link.session.awaitingWrite());
}

void TestUpload::replyDuringWriteIsNotLost()
{
    Link link(makeImage(3000));
    link.throughHeader();
    link.reply(AckC);
    link.reply(Ack); // ACK of block 1 comes before its write report
    QCOMPARE(link.frames().size(), 4);
    link.written();
    QCOMPARE(link.frames().size(), 5);
}

void TestUpload::stopSendsNothing()
{
    Link link(makeImage(3000));
    link.throughHeader();
    link.session.stop();
    link.reply(AckC);
    link.at(link.now + 100000);
    QVERIFY(link.session.isDone());
    QCOMPARE(link.frames().size(), 3);
    QCOMPARE(link.session.phase(), UploadPhase::Stopped);
}

void TestUpload::retriesResendOnNakAndTimeOut()
{
    UploadOptions options;
    options.retries = 2;
    Link link(makeImage(3000), options);
    link.throughHeader();
    link.replyAndWrite(AckC);
    const QByteArray block1 = link.frames().last();
    link.replyAndWrite(Nak);
    QCOMPARE(link.frames().last(), block1);
    link.at(link.now + 5001); // its time-out: resent once more
    link.written();
    QCOMPARE(link.frames().count(block1), 3);
    QVERIFY(!link.timedOut());
    link.at(link.now + 5001); // no retries left
    QVERIFY(link.timedOut());
    QCOMPARE(link.session.resends(), 2);
}

QTEST_APPLESS_MAIN(TestUpload)
#include "tst_upload.moc"
