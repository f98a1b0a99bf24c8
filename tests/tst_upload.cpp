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
    void commandWriteLimits_data();
    void commandWriteLimits();
    void receiverLimit();
    void wantedByteAfterLimitStillTimesOut();
    void bytesBeforeTheFirstC();
    void wholeUpload_data();
    void wholeUpload();
    void imageOfExactlyOneBlock();
    void imageOneByteOverABlock();
    void blockNumbersWrap();
    void firstBlockNeedsAckAndC_data();
    void firstBlockNeedsAckAndC();
    void nakIsNotAnsweredWithAResend();
    void dataReplyLimit();
    void endOfFileLimitCoversTheWholePhase();
    void eotGoesOutOnce();
    void ackAndCBeforeEotMeansTimeOut();
    void nakOfEotIsNotServed();
    void closingBlockNeedsOneAck();
    void successOrder();
    void laterWriteLimitIncludesWireTime();
    void writeReportedInParts();
    void replyDuringWriteIsNotLost();
    void stopSendsNothing();
    void retriesResendOnNakAndTimeOut();
    void retriesResendEotOnNak();
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

void TestUpload::commandWriteLimits_data()
{
    QTest::addColumn<bool>("second");
    QTest::newRow("first command frame, 5000 ms") << false;
    QTest::newRow("second command frame, 1000 ms") << true;
}

void TestUpload::commandWriteLimits()
{
    QFETCH(bool, second);
    Link link(makeImage(100));
    link.start();
    qint64 from = 0;
    qint64 limit = 5000;
    if (second) {
        link.written();
        link.at(5000);
        from = 5000;
        limit = 1000;
    }
    link.at(from + limit);
    QVERIFY(!link.timedOut());
    link.at(from + limit + 1);
    QVERIFY(link.timedOut());
    QCOMPARE(link.logs().last(), QStringLiteral("timeout!"));
    QCOMPARE(link.events.last().kind, Kind::Message);
    QCOMPARE(link.events.last().title, QStringLiteral("Time out"));
    QCOMPARE(link.events.last().text, QStringLiteral("Please try again or change port."));
    QVERIFY(link.progress().isEmpty());
    QCOMPARE(link.frames().size(), second ? 2 : 1);
    QCOMPARE(link.session.nextDeadline(), UploadSession::NoDeadline);
}

void TestUpload::receiverLimit()
{
    Link link(makeImage(100));
    link.handshake();
    link.at(6000 + 60000);
    QVERIFY(!link.timedOut());
    link.at(6000 + 60001);
    QVERIFY(link.timedOut());
    QVERIFY(link.progress().isEmpty());
    QCOMPARE(link.messages(), 1);
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

void TestUpload::nakIsNotAnsweredWithAResend()
{
    Link link(makeImage(3000));
    link.throughHeader();
    link.now = 7000;
    link.replyAndWrite(AckC); // block 1; its report restarts the stopwatch
    link.reply(Nak);
    link.at(7000 + 5000);
    QCOMPARE(link.frames().size(), 4);
    link.at(7000 + 5001);
    QVERIFY(link.timedOut());
    QCOMPARE(link.frames().size(), 4);
    QCOMPARE(link.kinds().mid(link.kinds().size() - 2),
             (QVector<Kind>{Kind::Message, Kind::Progress}));
    QCOMPARE(link.progress().last(), qMakePair(100.0, 100.0));
}

void TestUpload::dataReplyLimit()
{
    Link link(makeImage(3000));
    link.handshake();
    link.now = 6500;
    link.replyAndWrite(C); // header written at 6500
    link.at(6500 + 5000);
    QVERIFY(!link.timedOut());
    link.at(6500 + 5001);
    QVERIFY(link.timedOut());
    QCOMPARE(link.progress().last(), qMakePair(100.0, 100.0));
}

void TestUpload::endOfFileLimitCoversTheWholePhase()
{
    Link link(makeImage(10));
    link.throughHeader();
    link.now = 7000;
    link.replyAndWrite(AckC); // the only block; the end of file begins at 7000
    link.now = 9000;
    link.replyAndWrite(Ack); // EOT goes out; the stopwatch is not restarted
    QCOMPARE(link.frames().last(), QByteArray(1, EOT));
    link.at(12000);
    QVERIFY(!link.timedOut());
    link.at(12001);
    QVERIFY(link.timedOut());
    QCOMPARE(link.progress().last(), qMakePair(100.0, 100.0));
}

void TestUpload::eotGoesOutOnce()
{
    Link link(makeImage(10));
    link.throughHeader();
    link.replyAndWrite(AckC);
    link.replyAndWrite(Ack);
    link.replyAndWrite(Ack); // a second ACK alone releases nothing
    link.replyAndWrite(Ack);
    QCOMPARE(link.frames().count(QByteArray(1, EOT)), 1);
    link.replyAndWrite(C); // ACK and "C" are both in: the closing block
    QCOMPARE(link.frames().last(), makeClosingBlock());
}

void TestUpload::ackAndCBeforeEotMeansTimeOut()
{
    Link link(makeImage(10));
    link.throughHeader();
    link.replyAndWrite(AckC);
    link.replyAndWrite(AckC); // ACK of the last block and a "C" in one pass
    QCOMPARE(link.frames().count(QByteArray(1, EOT)), 0);
    link.at(link.now + 5001);
    QVERIFY(link.timedOut());
}

void TestUpload::nakOfEotIsNotServed()
{
    Link link(makeImage(10));
    link.throughHeader();
    link.replyAndWrite(AckC);
    link.replyAndWrite(Ack);
    link.replyAndWrite(Nak);
    link.at(link.now + 5001);
    QVERIFY(link.timedOut());
    QCOMPARE(link.frames().count(QByteArray(1, EOT)), 1);
}

void TestUpload::closingBlockNeedsOneAck()
{
    Link link(makeImage(10));
    link.throughHeader();
    link.replyAndWrite(AckC);
    link.replyAndWrite(Ack);
    link.now = 9000;
    link.replyAndWrite(AckC); // the closing block is written at 9000
    QCOMPARE(link.session.phase(), UploadPhase::Closing);
    link.reply(C); // logged, no effect
    QCOMPARE(link.logs().last(), QStringLiteral("got C"));
    link.at(14000);
    QVERIFY(!link.timedOut());
    link.at(14001);
    QVERIFY(link.timedOut());
    QCOMPARE(link.progress().last(), qMakePair(100.0, 100.0));
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

void TestUpload::laterWriteLimitIncludesWireTime()
{
    // The header block takes 12 ms on the wire at 115200 baud, a data block 90.
    Link link(makeImage(3000));
    link.handshake();
    link.reply(C);
    QCOMPARE(link.session.nextDeadline(), 6000 + 5000 + 12 + 1);
    link.at(6000 + 5012);
    QVERIFY(!link.timedOut());
    link.at(6000 + 5013);
    QVERIFY(link.timedOut());
    QVERIFY(link.progress().isEmpty()); // the transfer had not begun

    Link data(makeImage(3000));
    data.throughHeader();
    data.reply(AckC);
    QCOMPARE(data.session.nextDeadline(), data.now + 5000 + 90 + 1);
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

void TestUpload::retriesResendEotOnNak()
{
    UploadOptions options;
    options.retries = 1;
    Link link(makeImage(10), options);
    link.throughHeader();
    link.replyAndWrite(AckC);
    link.replyAndWrite(Ack);
    link.replyAndWrite(Nak);
    QCOMPARE(link.frames().count(QByteArray(1, EOT)), 2);
    link.replyAndWrite(AckC);
    link.replyAndWrite(Ack);
    QCOMPARE(link.session.phase(), UploadPhase::Completed);
}

QTEST_APPLESS_MAIN(TestUpload)
#include "tst_upload.moc"
