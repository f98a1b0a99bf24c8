// The headless flasher: PortFlasher and FlashRun against the simulated
// bootloader on real pseudo-terminals, and the kvt-flash binary itself through
// QProcess with simulated devices in this process.
//
// The device's pauses are shortened (fastOptions(), and the hidden option
// --timing-scale for the binary) everywhere except in defaultTimingHandshake.

#include "flash/flashrun.h"
#include "flash/portflasher.h"
#include "flash/reporters.h"
#include "sim/bootloadersim.h"
#include "sim/pty.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>
#include <sys/stat.h>

using namespace flash;
using ymodem::UploadPhase;
using Outcome = FlashResult::Outcome;

Q_DECLARE_METATYPE(FlashResult::Outcome)

namespace {

const QString MissingPort = QStringLiteral("/dev/kvt-flash-test-no-such-port");
// The binary's pauses and limits at a fifth: 1.2 s of handshake, 1 s per answer.
const QStringList FastBinary{"--timing-scale", "0.2"};

QByteArray makeImage(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 131 + i / 1024) & 0xFF);
    image.replace(0, 4, QByteArray::fromHex("00400020"));
    return image;
}

// Short pauses, limits generous enough for a sanitizer build on a busy
// machine. A wait that runs out costs its full limit, so tests that expect
// a time-out shorten the limit in question further.
ymodem::UploadOptions fastOptions(int retries = 0)
{
    ymodem::UploadOptions options;
    options.timing.firstPause = 50;
    options.timing.secondPause = 20;
    options.timing.firstWriteLimit = 2000;
    options.timing.secondWriteLimit = 2000;
    options.timing.writeLimit = 2000;
    options.timing.receiverLimit = 3000;
    options.timing.replyLimit = 2000;
    options.retries = retries;
    return options;
}

// A device on the far end of a pty pair, answering from this thread's loop.
class SimulatedDevice
{
public:
    explicit SimulatedDevice(const BootloaderSimOptions &options = {})
        : sim_(pty_.releaseMaster(), options)
    {
        started_ = sim_.start();
    }

    bool isReady() const { return started_; }
    QString path() const { return pty_.slavePath(); }
    BootloaderSim &sim() { return sim_; }

private:
    PtyPair pty_; // before sim_: the sim takes over its master
    BootloaderSim sim_;
    bool started_ = false;
};

template <typename T> BootloaderSimOptions deviceWith(T BootloaderSimOptions::*fault, T value)
{
    BootloaderSimOptions options;
    options.*fault = value;
    return options;
}

// Starts the flasher and runs the loop until it has finished.
const FlashResult &runToEnd(PortFlasher &flasher, int timeoutMs)
{
    QSignalSpy finished(&flasher, &PortFlasher::finished);
    flasher.start();
    if (!flasher.isFinished())
        finished.wait(timeoutMs);
    return flasher.result();
}

// One object per line; a line that is not a JSON object spoils the lot.
QVector<QJsonObject> jsonLines(const QByteArray &out)
{
    QVector<QJsonObject> objects;
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (!document.isObject())
            return {};
        objects.append(document.object());
    }
    return objects;
}

} // namespace

class TestFlash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // One port.
    void deliversLargeImageByteExact();
    void portThatCannotBeOpened();
    void retriesAgainstRefusals_data();
    void retriesAgainstRefusals();
    void deviceVanishesMidTransfer();
    void stopAbandonsTheUpload();
    void defaultTimingHandshake();

    // Several ports in one loop.
    void threePortsOneSilent();
    void exitStatusOfMixedOutcomes();
    void terminalRedrawsTheBlockOfPorts();

    // The binary.
    void binaryExitStatusAndJsonLines_data();
    void binaryExitStatusAndJsonLines();

private:
    QTemporaryDir scratch_;
};

void TestFlash::initTestCase()
{
    QVERIFY(scratch_.isValid());
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    QVERIFY(QFileInfo(QStringLiteral(KVT_FLASH_BINARY)).isExecutable());
}

// --- One port ----------------------------------------------------------------------------

void TestFlash::deliversLargeImageByteExact()
{
    const QByteArray image = makeImage(300 * 1024 + 333);
    SimulatedDevice device;
    QVERIFY(device.isReady());
    PortFlasher flasher(device.path(), image, fastOptions());
    QSignalSpy progress(&flasher, &PortFlasher::progress);

    const FlashResult &result = runToEnd(flasher, 60000);
    QCOMPARE(result.outcome, Outcome::Succeeded);
    QCOMPARE(result.phase, UploadPhase::Closing);
    QCOMPARE(result.bytesSent, qint64(image.size()));
    QTRY_COMPARE(device.sim().phase(), BootloaderSim::Phase::Completed);
    QVERIFY(device.sim().receivedImage() == image);
    QCOMPARE(device.sim().problems(), QStringList());

    // One report per data block, counting down to nothing left.
    QCOMPARE(progress.count(), (image.size() + 1023) / 1024);
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(0));
}

void TestFlash::portThatCannotBeOpened()
{
    PortFlasher flasher(MissingPort, makeImage(2048), fastOptions());
    QSignalSpy finished(&flasher, &PortFlasher::finished);
    flasher.start();
    QCOMPARE(finished.count(), 0); // never from inside start()
    QVERIFY(finished.wait(5000));

    QCOMPARE(flasher.result().outcome, Outcome::OpenFailed);
    QVERIFY(!flasher.result().message.isEmpty());
    QCOMPARE(flasher.result().bytesSent, qint64(0));
}

void TestFlash::retriesAgainstRefusals_data()
{
    QTest::addColumn<int>("nakBlock");
    QTest::addColumn<bool>("nakFirstEot");
    QTest::addColumn<int>("retries");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<UploadPhase>("phase");

    // Without retries a NAK is ignored and the answer never comes.
    QTest::newRow("block 3 NAKed, no retries")
        << 3 << false << 0 << Outcome::TimedOut << UploadPhase::Data;
    QTest::newRow("block 3 NAKed, 2 retries")
        << 3 << false << 2 << Outcome::Succeeded << UploadPhase::Closing;
    QTest::newRow("block 1 NAKed, 1 retry")
        << 1 << false << 1 << Outcome::Succeeded << UploadPhase::Closing;
    QTest::newRow("EOT NAKed, no retries")
        << 0 << true << 0 << Outcome::TimedOut << UploadPhase::EndOfFile;
    QTest::newRow("EOT NAKed, 1 retry")
        << 0 << true << 1 << Outcome::Succeeded << UploadPhase::Closing;
}

void TestFlash::retriesAgainstRefusals()
{
    QFETCH(int, nakBlock);
    QFETCH(bool, nakFirstEot);
    QFETCH(int, retries);
    QFETCH(Outcome, outcome);
    QFETCH(UploadPhase, phase);

    BootloaderSimOptions simOptions = deviceWith(&BootloaderSimOptions::nakBlock, nakBlock);
    simOptions.nakFirstEot = nakFirstEot;
    SimulatedDevice device(simOptions);
    QVERIFY(device.isReady());
    const QByteArray image = makeImage(5 * 1024 + 10);
    ymodem::UploadOptions options = fastOptions(retries);
    options.timing.replyLimit = 600;
    PortFlasher flasher(device.path(), image, options);

    const FlashResult &result = runToEnd(flasher, 20000);
    QCOMPARE(result.outcome, outcome);
    QCOMPARE(result.phase, phase);
    QCOMPARE(device.sim().counters().naksSent, 1);
    QCOMPARE(result.resends, outcome == Outcome::Succeeded ? 1 : 0);
    // A failed upload has stored only the blocks before the refused one.
    const qint64 stored =
        outcome == Outcome::Succeeded || nakBlock == 0 ? image.size() : qint64(nakBlock - 1) * 1024;
    QCOMPARE(device.sim().receivedImage(), image.left(int(stored)));
}

void TestFlash::deviceVanishesMidTransfer()
{
    SimulatedDevice device(deviceWith(&BootloaderSimOptions::closeAfterBlock, 4));
    QVERIFY(device.isReady());
    ymodem::UploadOptions options = fastOptions();
    options.timing.replyLimit = 30000; // so that only the hang-up can end it quickly
    PortFlasher flasher(device.path(), makeImage(10 * 1024), options);

    QElapsedTimer clock;
    clock.start();
    const FlashResult &result = runToEnd(flasher, 20000);
    QVERIFY2(clock.elapsed() < 10000, "the hang-up was not noticed");
    QCOMPARE(result.outcome, Outcome::PortFailed);
    QCOMPARE(result.phase, UploadPhase::Data);
    QCOMPARE(result.bytesSent, qint64(4 * 1024));
}

void TestFlash::stopAbandonsTheUpload()
{
    SimulatedDevice device(deviceWith(&BootloaderSimOptions::silent, true));
    QVERIFY(device.isReady());
    PortFlasher flasher(device.path(), makeImage(4096), fastOptions());
    QSignalSpy finished(&flasher, &PortFlasher::finished);

    flasher.start();
    QTRY_VERIFY(flasher.phase() == UploadPhase::WaitReceiver);
    flasher.stop();
    QCOMPARE(finished.count(), 1); // before stop() returns
    QCOMPARE(flasher.result().outcome, Outcome::Stopped);
    QCOMPARE(flasher.result().phase, UploadPhase::WaitReceiver);
}

// The one test on the device's real pauses: 5 s before the second command
// frame and 1 s after it, before the header.
void TestFlash::defaultTimingHandshake()
{
    SimulatedDevice device;
    QVERIFY(device.isReady());
    QElapsedTimer clock;
    qint64 commandsAt = -1;
    qint64 headerAt = -1;
    QObject::connect(&device.sim(), &BootloaderSim::commandFramesReceived,
                     [&] { commandsAt = clock.elapsed(); });
    QObject::connect(&device.sim(), &BootloaderSim::headerReceived,
                     [&] { headerAt = clock.elapsed(); });
    const QByteArray image = makeImage(3000);
    PortFlasher flasher(device.path(), image);

    clock.start();
    QCOMPARE(runToEnd(flasher, 30000).outcome, Outcome::Succeeded);
    QVERIFY(device.sim().receivedImage() == image);
    QVERIFY2(commandsAt >= 5000, qPrintable(QString::number(commandsAt)));
    QVERIFY2(headerAt - commandsAt >= 1000, qPrintable(QString::number(headerAt - commandsAt)));
}

// --- Several ports ----------------------------------------------------------------------

void TestFlash::threePortsOneSilent()
{
    SimulatedDevice first;
    SimulatedDevice silent(deviceWith(&BootloaderSimOptions::silent, true));
    SimulatedDevice third;
    QVERIFY(first.isReady() && silent.isReady() && third.isReady());
    const QByteArray image = makeImage(40 * 1024 + 7);
    ymodem::UploadOptions options = fastOptions();
    options.timing.receiverLimit = 1500;
    const QStringList ports{first.path(), silent.path(), third.path()};
    FlashRun run(QStringLiteral("app.kvt"), image, ports, options, {});
    QSignalSpy finished(&run, &FlashRun::finished);

    run.start();
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.first().at(0).toInt(), int(ExitMixed));
    const QVector<FlashResult> results = run.results();
    QCOMPARE(results.at(0).outcome, Outcome::Succeeded);
    QCOMPARE(results.at(1).outcome, Outcome::TimedOut);
    QCOMPARE(results.at(1).phase, UploadPhase::WaitReceiver);
    QCOMPARE(results.at(2).outcome, Outcome::Succeeded);
    QVERIFY(first.sim().receivedImage() == image);
    QVERIFY(third.sim().receivedImage() == image);
    // The silent port's wait did not hold the others up.
    QVERIFY(results.at(0).durationMs < results.at(1).durationMs);
    QVERIFY(results.at(2).durationMs < results.at(1).durationMs);
}

void TestFlash::exitStatusOfMixedOutcomes()
{
    const auto statusOf = [](std::initializer_list<Outcome> outcomes) {
        QVector<FlashResult> results(int(outcomes.size()));
        for (int i = 0; i < results.size(); ++i)
            results[i].outcome = outcomes.begin()[i];
        return exitStatusFor(results);
    };
    using O = Outcome;
    QCOMPARE(statusOf({O::Succeeded, O::Succeeded}), int(ExitSuccess));
    // Both are port failures to the user: alike, not mixed.
    QCOMPARE(statusOf({O::OpenFailed, O::PortFailed}), int(ExitPortFailed));
    QCOMPARE(statusOf({O::TimedOut, O::OpenFailed}), int(ExitMixed));
    QCOMPARE(statusOf({O::Stopped, O::Stopped}), int(ExitInterrupted));
}

// Several ports on a terminal: a block of lines, redrawn in place. A wrong
// cursor-up count, or a line that wraps, would scroll the block down the
// screen at every redraw.
void TestFlash::terminalRedrawsTheBlockOfPorts()
{
    QString screen, errors;
    QTextStream out(&screen), err(&errors);
    const int columns = 40;
    TerminalReporter terminal(out, err, columns, 60000);
    QVector<PortState> ports(2);
    ports[0].port = QStringLiteral("/dev/ttyUSB0");
    ports[1].port = QStringLiteral("/dev/serial/by-id/usb-a-very-long-adapter-name-port0");
    for (PortState &port : ports)
        port.total = 100 * 1024;
    terminal.runStarted(QStringLiteral("app.kvt"), ports);
    QVERIFY(!screen.contains("\x1b[2A")); // the first draw starts where the cursor is

    ports[0].phase = UploadPhase::Data;
    ports[0].sent = 10 * 1024;
    terminal.phaseChanged(ports[0]); // a new phase is drawn at once
    ports[0].sent = 20 * 1024;
    terminal.progressed(ports[0]); // progress waits for the redraw interval...
    ports[1].finished = true;
    terminal.portFinished(ports[1]); // ...an end is drawn at once
    out.flush();

    const QStringList draws = screen.split(QStringLiteral("\x1b[2A"));
    QCOMPARE(draws.size(), 3); // the first draw and two redraws
    for (const QString &draw : draws) {
        const QStringList lines = draw.split('\n');
        QCOMPARE(lines.size(), 3); // two lines, each ended
        QVERIFY(lines.last().isEmpty());
        for (int i = 0; i < 2; ++i) {
            QVERIFY(lines.at(i).startsWith(QStringLiteral("\r\x1b[K")));
            QVERIFY2(lines.at(i).size() - 4 < columns, qPrintable(lines.at(i)));
        }
    }
    QVERIFY(draws.last().contains(QStringLiteral("..."))); // the long name's end kept
    // Progress between redraws is kept and shows in the next one.
    QVERIFY(draws.at(1).contains(QStringLiteral("[##.")));
    QVERIFY(draws.at(2).contains(QStringLiteral("[####.")));
    QVERIFY(errors.isEmpty());
}

// --- The binary --------------------------------------------------------------------------

void TestFlash::binaryExitStatusAndJsonLines_data()
{
    // Devices: "ok", "nak3" (NAKs data block 3 once) or "missing" (a port
    // that does not exist); each ends with the JSON result status of the same
    // place in `results`. The image: "good", "invalid", "absent", "pipe" or
    // "huge" (a signature, then holes up to a byte over the 1 GiB limit).
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("results");

    const QStringList none;
    const QStringList ok{"ok"};
    QTest::newRow("updated") << ok << "good" << none << int(ExitSuccess) << ok;
    QTest::newRow("two updated") << QStringList{"ok", "ok"} << "good" << none << int(ExitSuccess)
                                 << QStringList{"ok", "ok"};
    QTest::newRow("updated and missing") << QStringList{"ok", "missing"} << "good" << none
                                         << int(ExitMixed) << QStringList{"ok", "open-failed"};
    QTest::newRow("cannot open") << QStringList{"missing"} << "good" << none << int(ExitPortFailed)
                                 << QStringList{"open-failed"};
    QTest::newRow("refused block, no retries")
        << QStringList{"nak3"} << "good" << none << int(ExitTimedOut) << QStringList{"timeout"};
    QTest::newRow("refused block, retries")
        << QStringList{"nak3"} << "good" << QStringList{"--retries", "2"} << int(ExitSuccess) << ok;
    QTest::newRow("not a valid image") << ok << "invalid" << none << int(ExitBadFile) << none;
    QTest::newRow("no such file") << ok << "absent" << none << int(ExitBadFile) << none;
    QTest::newRow("a pipe, not a file") << ok << "pipe" << none << int(ExitBadFile) << none;
    QTest::newRow("too large to load") << ok << "huge" << none << int(ExitBadFile) << none;
    QTest::newRow("usage: no port") << none << "good" << none << int(ExitUsage) << none;
    QTest::newRow("usage: same port twice")
        << none << "good" << QStringList{"-p", "ttyS9", "-p", "ttyS9"} << int(ExitUsage) << none;
    QTest::newRow("usage: bad option")
        << ok << "good" << QStringList{"--baud", "9600"} << int(ExitUsage) << none;
}

void TestFlash::binaryExitStatusAndJsonLines()
{
    QFETCH(QStringList, devices);
    QFETCH(QString, image);
    QFETCH(QStringList, extra);
    QFETCH(int, status);
    QFETCH(QStringList, results);

    const QByteArray content = image == "invalid" ? QByteArray("nope") : makeImage(6 * 1024 + 1);
    const QString firmware = scratch_.filePath(QTest::currentDataTag());
    QFile file(firmware);
    if (image == "pipe")
        QCOMPARE(::mkfifo(QFile::encodeName(firmware).constData(), 0600), 0);
    else if (image == "huge")
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(makeImage(4)) == 4 &&
                file.resize((qint64(1) << 30) + 1));
    else if (image != "absent")
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
                file.flush());

    std::vector<std::unique_ptr<SimulatedDevice>> sims;
    QStringList ports;
    for (const QString &kind : devices) {
        if (kind == "missing") {
            ports << MissingPort;
            sims.push_back(nullptr);
            continue;
        }
        sims.push_back(std::make_unique<SimulatedDevice>(
            deviceWith(&BootloaderSimOptions::nakBlock, kind == "nak3" ? 3 : 0)));
        QVERIFY(sims.back()->isReady());
        ports << sims.back()->path();
    }
    QStringList arguments = FastBinary + QStringList{"--json", firmware} + extra;
    for (const QString &port : qAsConst(ports))
        arguments << "--port" << port;

    // This thread's loop keeps the simulated devices going meanwhile.
    QProcess process;
    QSignalSpy done(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(QStringLiteral(KVT_FLASH_BINARY), arguments);
    QVERIFY(done.wait(30000));
    const QByteArray out = process.readAllStandardOutput();
    const QByteArray err = process.readAllStandardError();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == status, (out + err).constData());
    const QVector<QJsonObject> objects = jsonLines(out);
    QCOMPARE(objects.isEmpty(), out.isEmpty());
    if (status == ExitUsage)
        QVERIFY(err.contains("kvt-flash: ") && out.isEmpty());
    if (status == ExitBadFile) { // one error line, naming the file
        QCOMPARE(objects.size(), 1);
        QCOMPARE(objects.first().value("event").toString(), QStringLiteral("error"));
        QCOMPARE(objects.first().value("file").toString(), firmware);
        if (image == "huge")
            QCOMPARE(objects.first().value("message").toString(),
                     QStringLiteral("The file is too large: 1073741825 bytes "
                                    "(at most 1073741824 bytes)."));
    }

    // Each port: start, then rising percentages up to 100 for an updated
    // device, then its result.
    for (int i = 0; i < results.size(); ++i) {
        QVector<QJsonObject> events;
        for (const QJsonObject &object : objects) {
            if (object.value("port").toString() == ports.at(i))
                events.append(object);
        }
        QVERIFY(events.size() >= 2);
        QCOMPARE(events.first().value("event").toString(), QStringLiteral("start"));
        QCOMPARE(events.last().value("event").toString(), QStringLiteral("result"));
        QCOMPARE(events.last().value("status").toString(), results.at(i));
        if (results.at(i) != "ok")
            continue;
        int percent = 0;
        for (int e = 1; e + 1 < events.size(); ++e) {
            QCOMPARE(events.at(e).value("event").toString(), QStringLiteral("progress"));
            QVERIFY(events.at(e).value("percent").toInt() > percent);
            percent = events.at(e).value("percent").toInt();
        }
        QCOMPARE(percent, 100);
        QCOMPARE(events.last().value("bytes").toInt(), content.size());
        QVERIFY(sims.at(i)->sim().receivedImage() == content);
    }
}

QTEST_GUILESS_MAIN(TestFlash)
#include "tst_flash.moc"
