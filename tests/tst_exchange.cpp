// The upload logic against the simulated bootloader, in memory, with one
// fault at a time, in the window's exchange and in the robust one.

#include "simwire.h"
#include "testdata.h"
#include "ymodem/frames.h"

#include <QtTest>

using namespace ymodem;

namespace {

using Options = BootloaderSimOptions;

template <typename T> Options with(T Options::*option, T value, Options options = {})
{
    options.*option = value;
    return options;
}

// One run: the session's retries (0: the window's exchange) and whether CAN
// CAN ends it; the simulated device with its faults; a fault in front of it
// (frame `refused` of the canonical ones, 0: none, answered by NAK `times`
// times, or never answered when `times` is 0); and how the upload ends.
struct Run
{
    int retries;
    Options device;
    UploadOutcome outcome;
    UploadPhase phase;
    int resends = 0;
    int refused = 0;
    int times = 0;
    bool stopOnCancel = false;
};

} // namespace

Q_DECLARE_METATYPE(Run)

class TestExchange : public QObject
{
    Q_OBJECT

private slots:
    void exchangeWithAFaultyDevice_data()
    {
        QTest::addColumn<Run>("run");
        using O = UploadOutcome;
        using P = UploadPhase;
        // 2500 bytes: frames 2 header, 3-5 data blocks 1-3, 6 EOT, 7 closing.
        // The window's exchange, no resends (its limits: tst_upload).
        QTest::newRow("clean") << Run{0, {}, O::Completed, P::Closing};
        QTest::newRow("NAK of the last block")
            << Run{0, with(&Options::nakBlock, 3), O::Refused, P::EndOfFile};
        QTest::newRow("NAK of the first EOT")
            << Run{0, with(&Options::nakFirstEot, true), O::Refused, P::EndOfFile};
        QTest::newRow("CAN CAN passed over")
            << Run{0, with(&Options::cancelAtBlock, 2), O::TimedOut, P::Data};
        // One limit covers the last block's answer, EOT and its answer.
        QTest::newRow("slow device")
            << Run{0, with(&Options::replyDelayMs, 3000), O::TimedOut, P::EndOfFile};
        // The robust exchange: a device that recovers, refuses or cancels.
        QTest::newRow("robust, clean") << Run{3, {}, O::Completed, P::Closing};
        QTest::newRow("robust, NAK of block 2")
            << Run{3, with(&Options::nakBlock, 2), O::Completed, P::Closing, 1};
        QTest::newRow("robust, ACK of block 2 lost")
            << Run{3, with(&Options::dropAckBlock, 2), O::Completed, P::Closing, 1};
        QTest::newRow("robust, NAK of the first EOT")
            << Run{3, with(&Options::nakFirstEot, true), O::Completed, P::Closing, 1};
        QTest::newRow("robust, slow device, flash erase")
            << Run{3, with(&Options::eraseDelayMs, 900, with(&Options::replyDelayMs, 4000)),
                   O::Completed, P::Closing};
        QTest::newRow("robust, block 2 refused 4 times")
            << Run{3, {}, O::Refused, P::Data, 3, 4, 4};
        QTest::newRow("robust, EOT refused 4 times")
            << Run{3, {}, O::Refused, P::EndOfFile, 3, 6, 4};
        QTest::newRow("robust, closing block refused 4 times")
            << Run{3, {}, O::Refused, P::Closing, 3, 7, 4};
        QTest::newRow("robust, vanishes after block 2")
            << Run{3, with(&Options::closeAfterBlock, 2), O::TimedOut, P::Data, 3};
        QTest::newRow("robust, header unanswered") << Run{3, {}, O::TimedOut, P::Data, 3, 2};
        QTest::newRow("robust, CAN CAN")
            << Run{3, with(&Options::cancelAtBlock, 2), O::Cancelled, P::Data, 0, 0, 0, true};
    }

    void exchangeWithAFaultyDevice()
    {
        QFETCH(Run, run);
        const QByteArray image = testdata::makeImage(2500); // three data blocks
        const QVector<QByteArray> frames = testdata::canonicalFrames(image);
        simwire::Wire wire(image, {{}, run.retries, run.retries > 0 || run.stopOnCancel},
                           run.device);
        int refusals = 0;
        wire.intercept = [&](const QByteArray &frame, QByteArray *reply) {
            if (run.refused == 0 || frame != frames[run.refused] ||
                (run.times > 0 && refusals++ >= run.times))
                return false;
            *reply = QByteArray(run.times > 0 ? 1 : 0, NAK);
            return true;
        };
        wire.run();
        QVector<qint64> rests;
        for (const UploadEvent &event : wire.events)
            rests += event.kind == UploadEvent::Kind::Progress ? QVector<qint64>{event.rest}
                                                               : QVector<qint64>{};
        QCOMPARE(wire.events.last().kind, UploadEvent::Kind::Ended);
        const UploadEnd &end = wire.session.end();
        QCOMPARE(end.outcome, run.outcome);
        QCOMPARE(end.phase, run.phase);
        QCOMPARE(wire.session.resends(), run.resends);
        if (run.outcome == UploadOutcome::Completed) {
            QCOMPARE(wire.device.receivedImage(), image);
            QCOMPARE(wire.device.problems(), QStringList());
            QCOMPARE(wire.session.acknowledged(), image.size());
            QCOMPARE(rests, QVector<qint64>({1476, 452, 0}));
        }
        // Nothing went out after the block refused.
        if (run.refused >= 3 && run.refused <= 5 && run.outcome == UploadOutcome::Refused)
            QCOMPARE(end.block, run.refused - 2);
    }
};

QTEST_APPLESS_MAIN(TestExchange)
#include "tst_exchange.moc"
