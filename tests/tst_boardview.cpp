// What a person reads about a board, whichever view shows it: one table from
// the board's state to its word, tone, detail and next step; and what the
// system says about the serial port it is on.

#include "common/boardview.h"
#include "fakeadapter.h"
#include "flash/serialports.h"
#include "testdata.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace programs;
using station::Slot;
using Outcome = flash::FlashResult::Outcome;

Q_DECLARE_METATYPE(Tone)

namespace {

Slot waitingSlot(Slot::Waiting waiting, const QString &why = {})
{
    Slot slot;
    slot.state = Slot::State::Settling;
    slot.waiting = waiting;
    slot.skipped = why;
    return slot;
}

Slot flashingSlot(ymodem::UploadPhase phase, qint64 inPhaseMs)
{
    Slot slot;
    slot.state = Slot::State::Flashing;
    slot.progress.phase = phase;
    slot.progress.total = 10000;
    slot.progress.acknowledged = 3700;
    slot.progress.elapsedMs = 20000;
    slot.progress.phaseStartMs = 20000 - inPhaseMs;
    return slot;
}

Slot endedSlot(Outcome outcome, bool recorded = true, int resends = 0)
{
    Slot slot;
    slot.state = Slot::State::Done;
    slot.lastResult.outcome = outcome;
    slot.lastResult.message = QStringLiteral("what happened");
    slot.lastResult.durationMs = 12000;
    slot.lastResult.resends = resends;
    slot.last.status = QLatin1String(flash::outcomeName(outcome));
    slot.lastRecorded = recorded;
    return slot;
}

} // namespace

class TestBoardView : public QObject
{
    Q_OBJECT

private slots:
    void present_data()
    {
        QTest::addColumn<Slot>("slot");
        QTest::addColumn<int>("okBoards"); // evidence that the image is good
        QTest::addColumn<QString>("word");
        QTest::addColumn<Tone>("tone");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("nextStep");
        const auto row = [](const char *tag, const Slot &slot, int ok, const char *word, Tone tone,
                            const char *detail, const char *next) {
            QTest::newRow(tag) << slot << ok << word << tone << detail << next;
        };
        using W = Slot::Waiting;
        using P = ymodem::UploadPhase;
        row("about to start", waitingSlot(W::No), 0, "waiting", Tone::Waiting, "about to start",
            "");
        row("paused", waitingSlot(W::Paused), 0, "paused", Tone::Attention, "the station is paused",
            "resume the station to flash it");
        row("held", waitingSlot(W::Held, "held: no room"), 0, "held", Tone::Attention,
            "held: no room", "it starts once the record can be written");
        row("no serial port", waitingSlot(W::NotSerial, "not a serial port: a folder"), 0,
            "skipped", Tone::Attention, "not a serial port: a folder", "");
        row("held by another program", waitingSlot(W::InUse, "in use"), 0, "skipped",
            Tone::Attention, "in use",
            "close the program that holds the port, then plug the board again");
        row("data blocks", flashingSlot(P::Data, 4000), 0, "flashing", Tone::Flashing,
            "37 % · data blocks", "");
        row("waiting for its bootloader", flashingSlot(P::WaitReceiver, 12000), 0, "flashing",
            Tone::Flashing, "waiting for the bootloader: 12.0 s of 1 min 00 s", "");
        row("ok", endedSlot(Outcome::Succeeded), 0, "ok", Tone::Ok, "what happened", "");
        row("ok, its record not written", endedSlot(Outcome::Succeeded, false), 0, "not recorded",
            Tone::Attention, "what happened", "it counts once its record is written");
        row("stopped by the operator", endedSlot(Outcome::Stopped), 0, "stopped", Tone::Attention,
            "what happened", "plug the board again to flash it");
        row("timed out, with resends", endedSlot(Outcome::TimedOut, true, 2), 0, "failed",
            Tone::Failed, "what happened (2 frames sent again)",
            "check the cable and the board's power, then plug it again");
        row("cancelled, no board took the image", endedSlot(Outcome::Cancelled), 0, "failed",
            Tone::Failed, "what happened", "the device refused the image: check the image");
        row("cancelled, others took the image", endedSlot(Outcome::Refused), 3, "failed",
            Tone::Failed, "what happened", "set the board aside, or plug it again once");
        Slot gone = endedSlot(Outcome::Succeeded);
        gone.state = Slot::State::Empty;
        row("unplugged after its board", gone, 0, "unplugged", Tone::Empty,
            "last board: ok after 12.0 s", "");
    }

    void present()
    {
        QFETCH(Slot, slot);
        QFETCH(int, okBoards);
        const BoardView view = programs::present(slot, {okBoards, 60000, 10000, {}});
        QTEST(view.word, "word");
        QTEST(view.tone, "tone");
        QTEST(view.detail, "detail");
        QTEST(view.nextStep, "nextStep");
    }

    // What the station shows of an entry in its folder that is no serial port.
    // A link to nothing is said of the link: where it leads is gone.
    void whatIsNoSerialPort()
    {
        QTemporaryDir dir;
        QFile plain(dir.filePath("plain"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(dir.filePath("ttyUSB9"), dir.filePath("gone")));
        const QString rows[][2] = {
            {plain.fileName(), "not a serial port: a regular file"},
            {dir.path(), "not a serial port: a folder"},
            {dir.filePath("gone"), "a link to nothing (" + dir.filePath("ttyUSB9") + ')'},
            {"/dev/tty", "not a serial port (/dev/tty, the controlling terminal)"},
            {"/dev/ptmx", "not a serial port (/dev/ptmx, the pseudo-terminal master)"}};
        for (const auto &row : rows)
            QCOMPARE(flash::serialPortProblem(row[0]), row[1]);
    }
    // Each refusal names its cause. Root opens anything, so the words are
    // checked for the modes and lock files a user meets.
    void whyAPortCannotBeOpened()
    {
        using flash::permissionText;
        QCOMPARE(
            permissionText("/dev/ttyUSB0", 0, 0, 020600),
            QStringLiteral("no access to /dev/ttyUSB0 (owner root, mode 0600): install the udev "
                           "rule (see README)"));
        QVERIFY(permissionText("/dev/ttyUSB0", 0, 0, 020660)
                    .startsWith("permission denied: /dev/ttyUSB0 belongs to group root; join it"));
        QCOMPARE(flash::lockFileOf("/dev/pts/7").section('/', -1), QStringLiteral("LCK..pts_7"));

        QTemporaryDir dir;
        const QString lock = dir.filePath("LCK..ttyUSB0");
        QCOMPARE(flash::lockHolderText(lock), QString()); // no lock file
        QProcess gone;
        gone.start("true", QStringList());
        QVERIFY(gone.waitForFinished());
        const qint64 dead = gone.processId();
        const struct
        {
            qint64 pid;
            QString words;
        } rows[] = {
            {dead, QStringLiteral("locked by %1, left by process %2 (owner root), which is no "
                                  "longer running; remove it")
                       .arg(lock)
                       .arg(dead)},
            {::getpid(), QStringLiteral("in use by another program (process %1, tst_flash, "
                                        "owner root)")
                             .arg(::getpid())}};
        for (const auto &row : rows) {
            QVERIFY(testdata::writeFile(lock, QByteArray::number(row.pid) + "\ntst_flash\nhost\n"));
            QCOMPARE(flash::lockHolderText(lock), row.words);
        }
    }
    void whatSysfsSaysOfATerminal_data()
    {
        QTest::addColumn<QString>("subsystem"); // none: sysfs has no entry for it
        QTest::addColumn<bool>("hasDevice");
        QTest::addColumn<QString>("why");
        QTest::newRow("a port of some hardware") << "tty" << true << "";
        QTest::newRow("the kernel's own terminal")
            << "tty" << false << "not a serial port (/dev/null, a terminal with no port behind it)";
        QTest::newRow("another class")
            << "mem" << false << "not a serial port (/dev/null, a mem device)";
        QTest::newRow("unknown to the system")
            << "" << false << "not a serial port (/dev/null, a device the system does not know)";
    }
    // Any character device is read through sysfs by its number, so /dev/null
    // stands for a port here, in a sysfs tree of the test's own.
    void whatSysfsSaysOfATerminal()
    {
        QFETCH(QString, subsystem);
        QFETCH(bool, hasDevice);
        QFETCH(QString, why);
        const FakeSysfs sysfs;
        struct stat null = {};
        QVERIFY(::stat("/dev/null", &null) == 0);
        const QString entry = sysfs.filePath(
            QStringLiteral("dev/char/%1:%2").arg(major(null.st_rdev)).arg(minor(null.st_rdev)));
        QVERIFY(QDir().mkpath(subsystem.isEmpty() ? sysfs.filePath("dev/char") : entry));
        if (!subsystem.isEmpty())
            QVERIFY(QDir().mkpath(sysfs.filePath("class/" + subsystem)) &&
                    QFile::link(sysfs.filePath("class/" + subsystem), entry + "/subsystem"));
        if (hasDevice)
            QVERIFY(QDir().mkpath(entry + "/device"));
        QCOMPARE(flash::serialPortProblem("/dev/null"), why);
    }
};

QTEST_GUILESS_MAIN(TestBoardView)
#include "tst_boardview.moc"
