// The upload logic against a receiver that behaves like the device's
// bootloader, with one fault at a time, in the window's exchange and in the
// robust one; and how a driver stops an upload.

#include "uploadlink.h"

namespace {

// A receiver that answers each frame the way the device's bootloader does,
// after `delay`, with one fault.
struct Device
{
    enum Fault
    {
        None,
        NakBlock,     // NAK data block `block` `times` times
        NakEot,       // NAK EOT `times` times
        SilentBlock,  // no answer to data block `block`, ever
        CancelBlock,  // CAN CAN instead of an answer to data block `block`
        SilentHeader, //
    };
    Fault fault = None;
    int block = 0; // the first data block is 1
    int times = 1;
    qint64 delay = 0;

    int dataBlocks = 0;
    int eots = 0;

    QByteArray answer(const QByteArray &frame)
    {
        if (frame.size() == HeaderBlockSize)
            return fault == SilentHeader ? QByteArray() : AckC;
        if (frame == Eot)
            return fault == NakEot && eots++ < times ? Nak : AckC;
        if (frame.size() != DataBlockSize || frame.startsWith(SOH))
            return frame.startsWith(SOH) ? Ack : QByteArray(); // closing block; commands
        const int n = quint8(frame[1]) == quint8(dataBlocks % 256) ? dataBlocks : ++dataBlocks;
        if (n != block)
            return Ack;
        if (fault == NakBlock && times-- > 0)
            return Nak;
        if (fault == CancelBlock)
            return QByteArray(2, CAN);
        return fault == SilentBlock ? QByteArray() : Ack;
    }
};

// Runs an upload against the device until it ends, writing every frame at
// once and waking the session at its deadlines in between.
void runAgainst(Link &link, Device &device)
{
    QVector<QPair<qint64, QByteArray>> answers; // due time, bytes
    int seen = 0;
    bool askedForFile = false;
    link.start();
    for (int step = 0; step < 100000 && !link.session.isDone(); ++step) {
        for (const QVector<QByteArray> frames = link.frames(); seen < frames.size(); ++seen) {
            link.session.written(frames[seen].size(), link.now);
            link.collect();
            answers.append({link.now + device.delay, device.answer(frames[seen])});
        }
        if (link.session.phase() == UploadPhase::WaitReceiver && !askedForFile) {
            askedForFile = true;
            answers.append({link.now + device.delay, C});
        }
        const qint64 due = link.session.nextDeadline();
        if (!answers.isEmpty() && (due == UploadSession::NoDeadline || answers[0].first < due)) {
            link.now = answers[0].first;
            link.reply(answers.takeFirst().second);
        } else {
            link.at(due);
        }
    }
}

// One run: the session's retries (0: the window's exchange), the device, and
// how the upload ends.
struct Run
{
    int retries;
    Device device;
    UploadOutcome outcome;
    UploadPhase phase;
    int resends = 0;
};

} // namespace

Q_DECLARE_METATYPE(Run)

class TestExchange : public QObject
{
    Q_OBJECT

private slots:
    void stopAndAbort()
    {
        // stop() sends nothing more.
        Link link(makeImage(3000));
        link.throughHeader();
        link.session.stop();
        link.collect();
        link.reply(AckC);
        link.at(link.now + 100000);
        QVERIFY(link.ended(UploadOutcome::Stopped));
        QCOMPARE(link.frames().size(), 3);

        // abort() lets the frame on the line finish, then sends CAN CAN, and ends
        // once that is written.
        Link aborted(makeImage(3000));
        aborted.throughHeader();
        aborted.reply(AckC);
        aborted.session.abort(aborted.now);
        aborted.collect();
        QCOMPARE(aborted.frames().size(), 4);
        aborted.written();
        QCOMPARE(aborted.frames().last(), QByteArray(2, CAN));
        QVERIFY(!aborted.session.isDone());
        aborted.reply(Ack); // the device's answers no longer matter
        aborted.written();
        QVERIFY(aborted.ended(UploadOutcome::Stopped));
        QCOMPARE(aborted.frames().size(), 5);

        // Before the bootloader runs there is nobody to tell.
        Link early(makeImage(10));
        early.start();
        early.session.abort(0);
        early.collect();
        QVERIFY(early.ended(UploadOutcome::Stopped));
        QCOMPARE(early.frames().size(), 1);
    }

    void exchangeWithAFaultyDevice_data()
    {
        QTest::addColumn<Run>("run");
        using D = Device;
        using O = UploadOutcome;
        using P = UploadPhase;
        // The window's exchange, no resends (its limits: tst_upload).
        QTest::newRow("clean") << Run{0, {}, O::Completed, P::Closing};
        QTest::newRow("NAK of the last block")
            << Run{0, {D::NakBlock, 3}, O::Refused, P::EndOfFile};
        QTest::newRow("NAK of the first EOT") << Run{0, {D::NakEot}, O::Refused, P::EndOfFile};
        QTest::newRow("CAN CAN") << Run{0, {D::CancelBlock, 2}, O::TimedOut, P::Data};
        // The robust exchange; a device that recovers (a NAK of the last block
        // or of EOT, slow answers) or cancels: tst_flash and the fuzz seeds.
        QTest::newRow("robust, clean") << Run{3, {}, O::Completed, P::Closing};
        QTest::newRow("robust, EOT refused 4 times")
            << Run{3, {D::NakEot, 0, 4}, O::Refused, P::EndOfFile, 3};
        QTest::newRow("robust, block refused 4 times")
            << Run{3, {D::NakBlock, 2, 4}, O::Refused, P::Data, 3};
        QTest::newRow("robust, silent after block 2")
            << Run{3, {D::SilentBlock, 2}, O::TimedOut, P::Data, 3};
        QTest::newRow("robust, header unanswered")
            << Run{3, {D::SilentHeader}, O::TimedOut, P::Data, 3};
    }

    void exchangeWithAFaultyDevice()
    {
        QFETCH(Run, run);
        const QByteArray image = makeImage(2500); // three data blocks
        Link link(image, {{}, run.retries, run.retries > 0});
        runAgainst(link, run.device);
        QVERIFY(link.ended(run.outcome));
        QCOMPARE(link.session.end().phase, run.phase);
        QCOMPARE(link.session.resends(), run.resends);
        if (run.outcome == UploadOutcome::Completed) {
            QSet<QByteArray> distinct;
            for (const QByteArray &frame : link.frames())
                distinct.insert(frame);
            QCOMPARE(distinct.size(), canonicalFrames(image).size());
            QCOMPARE(link.session.acknowledged(), image.size());
        }
        // Nothing went out after the block refused.
        if (run.device.block > 0 && run.outcome == UploadOutcome::Refused)
            QCOMPARE(link.session.end().block, run.device.block);
    }
};

QTEST_APPLESS_MAIN(TestExchange)
#include "tst_exchange.moc"
