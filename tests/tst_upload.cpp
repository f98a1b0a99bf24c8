// The upload logic against a fake clock: every limit is reached by setting the
// time, so a 60 s wait costs nothing. How a driver stops an upload: the fuzz
// target's properties.

#include "testdata.h"
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

using testdata::makeImage;

// Drives one session the way a port would, keeping every event.
struct Link
{
    explicit Link(QByteArray image, UploadOptions options = {}) : session(std::move(image), options)
    {}

    void collect() { events += session.takeEvents(); }
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
    // Reports `count` bytes written, by default the whole of the last frame.
    void written(qint64 count = -1)
    {
        session.written(count < 0 ? frames().last().size() : count, now);
        collect();
    }
    void reply(const QByteArray &bytes)
    {
        session.receive(bytes, now);
        collect();
    }
    // Answers and reports each new frame's write at once.
    void replyAndWrite(const QByteArray &bytes)
    {
        const int before = frames().size();
        reply(bytes);
        if (frames().size() > before)
            written();
    }
    // The field `part` of every event of one kind.
    template <typename T> QVector<T> all(Kind kind, T UploadEvent::*part) const
    {
        QVector<T> out;
        for (const UploadEvent &e : events)
            out += e.kind == kind ? QVector<T>{e.*part} : QVector<T>{};
        return out;
    }
    QVector<QByteArray> frames() const { return all(Kind::Send, &UploadEvent::frame); }
    QVector<UploadTrace> traces() const { return all(Kind::Trace, &UploadEvent::trace); }
    // Ended with `outcome`, told last (that nothing follows the end, a
    // second end included: the fuzz target).
    bool ended(UploadOutcome outcome) const
    {
        return session.isDone() && session.end().outcome == outcome &&
               events.last().kind == Kind::Ended;
    }

    // The command frames, both pauses; the wait for the receiver begins at 6000.
    void handshake()
    {
        start();
        written();
        at(5000);
        written();
        at(6000);
        QCOMPARE(session.phase(), UploadPhase::WaitReceiver);
    }

    UploadSession session;
    qint64 now = 0;
    QVector<UploadEvent> events;
};

// Where a limit starts to count, for each wait of an upload.
enum class Wait
{
    FirstCommandWrite,
    SecondCommandWrite,
    Receiver,
    FirstBlockRelease,
    NakedBlock, // without retries a NAK is passed over and the limit runs on
    DataBlockWrite,
    EndOfFile, // one limit for the whole phase, not restarted when EOT goes out
    EotWrite,  // EOT's write report awaited while that limit runs out
    ClosingAck,
};

// Drives the link to the wait and returns when its limit began.
qint64 driveTo(Link &link, Wait wait)
{
    if (wait == Wait::FirstCommandWrite) {
        link.start();
        return 0;
    }
    if (wait == Wait::SecondCommandWrite) {
        link.start();
        link.written();
        link.at(5000);
        return 5000;
    }
    link.handshake();
    switch (wait) {
    case Wait::Receiver:
        return 6000;
    case Wait::FirstBlockRelease:
        link.now = 6500;
        link.replyAndWrite(C);
        return 6500;
    default:
        break;
    }
    link.replyAndWrite(C);
    link.now = 7000;
    if (wait == Wait::DataBlockWrite) {
        link.reply(AckC);
        return 7000;
    }
    link.replyAndWrite(AckC); // block 1; the only one of a short image
    if (wait == Wait::NakedBlock) {
        link.reply(Nak);
        return 7000;
    }
    link.now = 9000;
    if (wait == Wait::EotWrite) {
        link.reply(Ack); // EOT goes out and is never reported written
        return 7000;
    }
    link.replyAndWrite(Ack); // EOT
    if (wait == Wait::EndOfFile)
        return 7000;
    link.replyAndWrite(AckC); // the closing block is written at 9000
    link.reply(C);            // logged, no effect
    return 9000;
}

// A limit: where it starts, its length, and the phase and limit the upload
// ends in when it runs out.
struct Limit
{
    Wait wait;
    qint64 length;
    UploadPhase phase;
    UploadLimit which;
};

} // namespace

Q_DECLARE_METATYPE(Limit)

class TestUpload : public QObject
{
    Q_OBJECT

private slots:
    void handshakeFramesAndPauses()
    {
        Link link(makeImage(100));
        link.now = 100;
        link.start();
        QCOMPARE(link.frames(), QVector<QByteArray>{firstCommandFrame});
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
        link.at(6400); // the limits from here on: eachLimitRunsOutOneMillisecondAfterIt
        // Bytes before the first "C", during the handshake or after it, are
        // logged with their values and passed over.
        link.reply(QByteArray::fromHex("ff") + C + QByteArray::fromHex("15"));
        using W = UploadTrace::What;
        QCOMPARE(link.traces(),
                 QVector<UploadTrace>(
                     {{W::NotReceiverCall, 0xff}, {W::ReceiverReady}, {W::NotReceiverCall, 0x15}}));
        QCOMPARE(link.frames().last(), makeHeaderBlock("firmware.bin", 100));
    }

    void eachLimitRunsOutOneMillisecondAfterIt_data()
    {
        QTest::addColumn<Limit>("limit");
        // Frames after the handshake also get their time on the wire at 115200
        // baud: 12 ms for the header block, 90 ms for a data block.
        using P = UploadPhase;
        using L = UploadLimit;
        using W = Wait;
        QTest::newRow("first command written")
            << Limit{W::FirstCommandWrite, 5000, P::FirstCommand, L::Write};
        QTest::newRow("second command written")
            << Limit{W::SecondCommandWrite, 1000, P::SecondCommand, L::Write};
        QTest::newRow("receiver's first C")
            << Limit{W::Receiver, 60000, P::WaitReceiver, L::Receiver};
        QTest::newRow("ACK and C for block 1")
            << Limit{W::FirstBlockRelease, 5000, P::Data, L::Reply};
        QTest::newRow("NAK of a block") << Limit{W::NakedBlock, 5000, P::Data, L::Reply};
        QTest::newRow("data block written") << Limit{W::DataBlockWrite, 5090, P::Data, L::Write};
        QTest::newRow("end of file") << Limit{W::EndOfFile, 5000, P::EndOfFile, L::Reply};
        QTest::newRow("end of file, EOT unwritten")
            << Limit{W::EotWrite, 5000, P::EndOfFile, L::Reply};
        QTest::newRow("closing block's ACK") << Limit{W::ClosingAck, 5000, P::Closing, L::Reply};
    }

    void eachLimitRunsOutOneMillisecondAfterIt()
    {
        QFETCH(Limit, limit);
        // A limit that runs out after the device's NAK is told as its refusal.
        const UploadOutcome outcome =
            limit.wait == Wait::NakedBlock ? UploadOutcome::Refused : UploadOutcome::TimedOut;
        Link link(makeImage(limit.wait >= Wait::EndOfFile ? 10 : 3000));
        const qint64 from = driveTo(link, limit.wait);
        // The driver learns of the limit in time, whatever else it waits for.
        QCOMPARE(link.session.nextDeadline(), from + limit.length + 1);
        const int sent = link.frames().size();
        link.at(from + limit.length);
        QVERIFY(!link.session.isDone());
        link.at(from + limit.length + 1);
        QVERIFY(link.ended(outcome));
        QCOMPARE(link.session.end().phase, limit.phase);
        QCOMPARE(link.session.end().limit, limit.which);
        QCOMPARE(link.frames().size(), sent); // nothing more goes to the device
        QCOMPARE(link.traces().last(), UploadTrace{UploadTrace::What::TimedOut});
        QCOMPARE(link.session.nextDeadline(), UploadSession::NoDeadline);
    }

    // How bytes, write reports and the limit meet inside one pass.
    void passes()
    {
        // A wanted byte that comes after the limit still ends in the time-out.
        Link late(makeImage(100));
        late.handshake();
        late.now = 6000 + 60001;
        late.reply(C);
        QVERIFY(late.ended(UploadOutcome::TimedOut));
        QCOMPARE(late.frames().size(), 2);

        // Block 1 needs the header's ACK as well as its "C"; NAK and CAN
        // release nothing. An ACK that comes before its block's
        // write report is not lost; a report in parts completes the frame
        // only with its last byte.
        Link link(makeImage(3000));
        link.handshake();
        link.replyAndWrite(C); // the header
        link.reply(C + Nak + QByteArray(2, CAN));
        QCOMPARE(link.frames().size(), 3);
        link.reply(Ack);
        QCOMPARE(link.frames().size(), 4);
        link.written(1000);
        link.reply(Ack);
        QCOMPARE(link.frames().size(), 4);
        link.written(28);
        QCOMPARE(link.frames().size(), 4);
        link.written(1);
        QCOMPARE(link.frames().size(), 5); // the ACK that waited releases block 2
        link.written(0);
        QVERIFY(link.session.awaitingWrite());
    }
};

QTEST_APPLESS_MAIN(TestUpload)
#include "tst_upload.moc"
