// The headless flasher: PortFlasher and FlashRun against the simulated
// bootloader on real pseudo-terminals, the reporters on strings, and the
// kvt-flash binary itself through QProcess with simulated devices in this
// process.
//
// The device's pauses are shortened (fastOptions(), and the hidden option
// --timing-scale for the binary) everywhere except in defaultTimingHandshake.

#include "flash/commandline.h"
#include "flash/firmwareimage.h"
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
Q_DECLARE_METATYPE(CommandLine::Action)

namespace {

constexpr int MissingPortTimeoutMs = 5000;
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

BootloaderSimOptions silentDevice()
{
    BootloaderSimOptions options;
    options.silent = true;
    return options;
}

bool waitFinished(PortFlasher &flasher, int timeoutMs)
{
    if (flasher.isFinished())
        return true;
    QSignalSpy spy(&flasher, &PortFlasher::finished);
    return spy.wait(timeoutMs);
}

// Everything a reporter is told, in order.
class RecordingReporter : public Reporter
{
public:
    QStringList calls;
    QVector<PortState> finishedPorts;
    int exitStatus = -1;
    int heartbeats = 0;

    void runStarted(const QString &, const QVector<PortState> &ports) override
    {
        calls << QStringLiteral("runStarted %1").arg(ports.size());
    }
    void portFinished(const PortState &port) override
    {
        calls << QStringLiteral("portFinished ") + port.port;
        finishedPorts.append(port);
    }
    void runFinished(const QVector<PortState> &, int status) override
    {
        calls << QStringLiteral("runFinished");
        exitStatus = status;
    }
    void heartbeat(const QVector<PortState> &) override { ++heartbeats; }
    void fileRefused(const QString &, const QString &) override { calls << "fileRefused"; }
};

QString binaryPath()
{
    return QStringLiteral(KVT_FLASH_BINARY);
}

struct ProcessRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs kvt-flash while this thread's loop keeps the simulated devices going.
ProcessRun runFlasher(const QStringList &arguments, int timeoutMs = 30000)
{
    QProcess process;
    QSignalSpy done(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(binaryPath(), arguments);
    ProcessRun run;
    if (!process.waitForStarted(5000))
        return run;
    if (!done.wait(timeoutMs)) {
        process.kill();
        process.waitForFinished(2000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QVector<QJsonObject> jsonLines(const QByteArray &out)
{
    QVector<QJsonObject> objects;
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return {}; // one bad line spoils the log
        objects.append(document.object());
    }
    return objects;
}

QVector<QJsonObject> eventsOf(const QVector<QJsonObject> &objects, const QString &port)
{
    QVector<QJsonObject> events;
    for (const QJsonObject &object : objects) {
        if (object.value("port").toString() == port)
            events.append(object);
    }
    return events;
}

PortState portAt(const QString &name, qint64 sent, qint64 total, qint64 elapsedMs)
{
    PortState port;
    port.port = name;
    port.phase = UploadPhase::Data;
    port.sent = sent;
    port.total = total;
    port.elapsedMs = elapsedMs;
    port.dataStartMs = 0;
    return port;
}

} // namespace

class TestFlash : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir scratch_;
    QString writeFile(const QString &name, const QByteArray &content);

private slots:
    void initTestCase();

    // The image check.
    void imageCheck_data();
    void imageCheck();
    void imageRefusesPipesAndOversize();

    // One port.
    void deliversLargeImageByteExact();
    void portThatCannotBeOpened_data();
    void portThatCannotBeOpened();
    void retriesAgainstRefusals_data();
    void retriesAgainstRefusals();
    void deviceVanishesMidTransfer();
    void stopAbandonsTheUpload();
    void defaultTimingHandshake();

    // Several ports in one loop.
    void threePortsOneSilent();
    void exitStatusOfARun_data();
    void exitStatusOfARun();

    // The reporters and the command line.
    void percentAndSpeed();
    void terminalRewritesOneLine();
    void terminalRedrawsTheBlock();
    void logShowsEachTenthOnce();
    void commandLine_data();
    void commandLine();

    // The binary.
    void binaryExitStatus_data();
    void binaryExitStatus();
    void binaryJsonLines();
    void binaryLogLines();
    void binaryQuietAndVerbose();
};

QString TestFlash::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = scratch_.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    return path;
}

void TestFlash::initTestCase()
{
    QVERIFY(scratch_.isValid());
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    QVERIFY2(QFileInfo(binaryPath()).isExecutable(), qPrintable(binaryPath()));
}

// --- The image check ---------------------------------------------------------------

void TestFlash::imageCheck_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("valid");

    QTest::newRow("signature alone") << QByteArray::fromHex("00400020") << true;
    QTest::newRow("signature and data") << makeImage(5000) << true;
    QTest::newRow("last signature byte wrong") << QByteArray::fromHex("0040002100") << false;
    QTest::newRow("signature one byte late") << QByteArray::fromHex("0000400020") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("three bytes") << QByteArray::fromHex("004000") << false;
}

void TestFlash::imageCheck()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, valid);
    const FirmwareImage image = loadFirmwareImage(writeFile("image.kvt", content));
    QCOMPARE(image.isValid(), valid);
    if (valid) {
        QCOMPARE(image.data, content);
        QVERIFY(image.message.isEmpty());
    } else {
        QCOMPARE(image.problem, FirmwareImage::Problem::NotValid);
        QCOMPARE(image.message, QStringLiteral("Not a valid file"));
    }
}

void TestFlash::imageRefusesPipesAndOversize()
{
    const QString fifo = scratch_.filePath("pipe.kvt");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString &path :
         {fifo, QStringLiteral("/dev/null"), scratch_.path(), scratch_.filePath("missing.kvt")}) {
        const FirmwareImage image = loadFirmwareImage(path);
        QCOMPARE(image.problem, FirmwareImage::Problem::CannotOpen);
        QCOMPARE(image.message, QStringLiteral("file cannot open"));
    }
    const QString nineBytes = writeFile("nine.kvt", makeImage(9));
    QCOMPARE(loadFirmwareImage(nineBytes, 9).problem, FirmwareImage::Problem::None);
    const FirmwareImage tooLarge = loadFirmwareImage(nineBytes, 8);
    QCOMPARE(tooLarge.problem, FirmwareImage::Problem::TooLarge);
    QCOMPARE(tooLarge.message, QStringLiteral("The file is too large: 9 bytes (at most 8 bytes)."));
}

// --- One port ----------------------------------------------------------------------------

void TestFlash::deliversLargeImageByteExact()
{
    const QByteArray image = makeImage(300 * 1024 + 333);
    SimulatedDevice device;
    QVERIFY(device.isReady());
    PortFlasher flasher(device.path(), image, fastOptions());
    QSignalSpy progress(&flasher, &PortFlasher::progress);
    QSignalSpy finished(&flasher, &PortFlasher::finished);

    flasher.start();
    QVERIFY(waitFinished(flasher, 60000));

    QCOMPARE(finished.count(), 1);
    const FlashResult result = flasher.result();
    QCOMPARE(result.outcome, Outcome::Succeeded);
    QCOMPARE(result.message, QStringLiteral("Firmware has been updated successfully."));
    QCOMPARE(result.phase, UploadPhase::Completed);
    QCOMPARE(result.bytesSent, qint64(image.size()));
    QCOMPARE(result.imageSize, qint64(image.size()));
    QCOMPARE(result.resends, 0);

    QTRY_COMPARE(device.sim().phase(), BootloaderSim::Phase::Completed);
    QCOMPARE(device.sim().fileName(), QStringLiteral("firmware.bin"));
    QCOMPARE(device.sim().announcedSize(), qint64(image.size()));
    QVERIFY(device.sim().receivedImage() == image);
    QCOMPARE(device.sim().problems(), QStringList());

    // One report per data block, counting down to nothing left.
    const int blocks = (image.size() + 1023) / 1024;
    QCOMPARE(progress.count(), blocks);
    QCOMPARE(progress.first().at(0).toLongLong(), qint64(image.size() - 1024));
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(0));
}

void TestFlash::portThatCannotBeOpened_data()
{
    QTest::addColumn<QString>("port");
    QTest::newRow("device path") << MissingPort;
    QTest::newRow("bare name") << QStringLiteral("ttyKVTNOSUCH");
}

void TestFlash::portThatCannotBeOpened()
{
    QFETCH(QString, port);
    PortFlasher flasher(port, makeImage(2048), fastOptions());
    QSignalSpy finished(&flasher, &PortFlasher::finished);

    flasher.start();
    QCOMPARE(finished.count(), 0); // never from inside start()
    QVERIFY(finished.wait(MissingPortTimeoutMs));

    const FlashResult result = finished.first().at(0).value<FlashResult>();
    QCOMPARE(result.outcome, Outcome::OpenFailed);
    QCOMPARE(result.port, port);
    QVERIFY(!result.message.isEmpty());
    QCOMPARE(result.bytesSent, qint64(0));
    QCOMPARE(exitStatusFor({result}), int(ExitPortFailed));
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
        << 3 << false << 2 << Outcome::Succeeded << UploadPhase::Completed;
    QTest::newRow("block 1 NAKed, 1 retry")
        << 1 << false << 1 << Outcome::Succeeded << UploadPhase::Completed;
    QTest::newRow("EOT NAKed, no retries")
        << 0 << true << 0 << Outcome::TimedOut << UploadPhase::EndOfFile;
    QTest::newRow("EOT NAKed, 1 retry")
        << 0 << true << 1 << Outcome::Succeeded << UploadPhase::Completed;
}

void TestFlash::retriesAgainstRefusals()
{
    QFETCH(int, nakBlock);
    QFETCH(bool, nakFirstEot);
    QFETCH(int, retries);
    QFETCH(Outcome, outcome);
    QFETCH(UploadPhase, phase);

    BootloaderSimOptions simOptions;
    simOptions.nakBlock = nakBlock;
    simOptions.nakFirstEot = nakFirstEot;
    SimulatedDevice device(simOptions);
    QVERIFY(device.isReady());
    const QByteArray image = makeImage(5 * 1024 + 10);
    ymodem::UploadOptions options = fastOptions(retries);
    options.timing.replyLimit = 600;
    PortFlasher flasher(device.path(), image, options);

    flasher.start();
    QVERIFY(waitFinished(flasher, 20000));

    const FlashResult result = flasher.result();
    QCOMPARE(result.outcome, outcome);
    QCOMPARE(result.phase, phase);
    QCOMPARE(device.sim().counters().naksSent, 1);
    if (outcome == Outcome::Succeeded) {
        QCOMPARE(result.resends, 1);
        QVERIFY(device.sim().receivedImage() == image);
        QCOMPARE(device.sim().problems(), QStringList());
    } else {
        QCOMPARE(result.resends, 0);
        QCOMPARE(result.message, QStringLiteral("Time out: Please try again or change port."));
        // The refused block went out; only those before it were stored.
        const qint64 written = nakBlock > 0 ? qint64(nakBlock) * 1024 : image.size();
        const qint64 stored = nakBlock > 0 ? qint64(nakBlock - 1) * 1024 : image.size();
        QCOMPARE(result.bytesSent, written);
        QCOMPARE(qint64(device.sim().receivedImage().size()), stored);
    }
}

void TestFlash::deviceVanishesMidTransfer()
{
    BootloaderSimOptions simOptions;
    simOptions.closeAfterBlock = 4;
    SimulatedDevice device(simOptions);
    QVERIFY(device.isReady());
    ymodem::UploadOptions options = fastOptions();
    options.timing.replyLimit = 30000; // so that only the hang-up can end it quickly
    PortFlasher flasher(device.path(), makeImage(10 * 1024), options);

    QElapsedTimer clock;
    clock.start();
    flasher.start();
    QVERIFY(waitFinished(flasher, 20000));

    QVERIFY2(clock.elapsed() < 10000, "the hang-up was not noticed");
    QCOMPARE(flasher.result().outcome, Outcome::PortFailed);
    QCOMPARE(flasher.result().phase, UploadPhase::Data);
    QVERIFY(!flasher.result().message.isEmpty());
    QCOMPARE(flasher.result().bytesSent, qint64(4 * 1024));
}

void TestFlash::stopAbandonsTheUpload()
{
    SimulatedDevice device(silentDevice());
    QVERIFY(device.isReady());
    PortFlasher flasher(device.path(), makeImage(4096), fastOptions());
    QSignalSpy phases(&flasher, &PortFlasher::phaseChanged);
    QSignalSpy finished(&flasher, &PortFlasher::finished);

    flasher.start();
    QTRY_VERIFY(flasher.phase() == UploadPhase::WaitReceiver);
    flasher.stop();

    QCOMPARE(finished.count(), 1);
    QCOMPARE(flasher.result().outcome, Outcome::Stopped);
    QCOMPARE(flasher.result().phase, UploadPhase::WaitReceiver);
    QCOMPARE(exitStatusFor({flasher.result()}), int(ExitInterrupted));
    // The phases were announced in order, each once.
    QVector<UploadPhase> seen;
    for (const QList<QVariant> &arguments : qAsConst(phases))
        seen.append(arguments.at(0).value<UploadPhase>());
    const QVector<UploadPhase> expected{UploadPhase::FirstCommand, UploadPhase::FirstPause,
                                        UploadPhase::SecondCommand, UploadPhase::SecondPause,
                                        UploadPhase::WaitReceiver};
    QCOMPARE(seen, expected);
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
    flasher.start();
    QVERIFY(waitFinished(flasher, 30000));

    QCOMPARE(flasher.result().outcome, Outcome::Succeeded);
    QVERIFY(device.sim().receivedImage() == image);
    QVERIFY2(commandsAt >= 5000, qPrintable(QString::number(commandsAt)));
    QVERIFY2(headerAt - commandsAt >= 1000, qPrintable(QString::number(headerAt - commandsAt)));
    QVERIFY(flasher.result().durationMs >= 6000);
}

// --- Several ports ----------------------------------------------------------------------

void TestFlash::threePortsOneSilent()
{
    SimulatedDevice first;
    SimulatedDevice silent(silentDevice());
    SimulatedDevice third;
    QVERIFY(first.isReady() && silent.isReady() && third.isReady());
    const QByteArray image = makeImage(40 * 1024 + 7);
    ymodem::UploadOptions options = fastOptions();
    options.timing.receiverLimit = 1500;
    RecordingReporter reporter;
    const QStringList ports{first.path(), silent.path(), third.path()};
    FlashRun run(QStringLiteral("app.kvt"), image, ports, options, {&reporter});
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
    QCOMPARE(first.sim().problems(), QStringList());
    QCOMPARE(third.sim().problems(), QStringList());
    // The silent port's wait did not hold the others up.
    QVERIFY(results.at(0).durationMs < results.at(1).durationMs);
    QVERIFY(results.at(2).durationMs < results.at(1).durationMs);

    QCOMPARE(reporter.calls.first(), QStringLiteral("runStarted 3"));
    QCOMPARE(reporter.calls.last(), QStringLiteral("runFinished"));
    QCOMPARE(reporter.calls.size(), 5);
    QCOMPARE(reporter.finishedPorts.last().port, silent.path());
    QCOMPARE(reporter.exitStatus, int(ExitMixed));
    QVERIFY(reporter.heartbeats >= 2); // the silent port's wait was shown passing
}

void TestFlash::exitStatusOfARun_data()
{
    QTest::addColumn<QVector<Outcome>>("outcomes");
    QTest::addColumn<int>("status");

    using O = Outcome;
    QTest::newRow("one success") << QVector<O>{O::Succeeded} << int(ExitSuccess);
    QTest::newRow("all succeed") << QVector<O>{O::Succeeded, O::Succeeded} << int(ExitSuccess);
    QTest::newRow("one time-out") << QVector<O>{O::TimedOut} << int(ExitTimedOut);
    QTest::newRow("all time out") << QVector<O>{O::TimedOut, O::TimedOut} << int(ExitTimedOut);
    QTest::newRow("cannot open") << QVector<O>{O::OpenFailed} << int(ExitPortFailed);
    QTest::newRow("open and port failures")
        << QVector<O>{O::OpenFailed, O::PortFailed} << int(ExitPortFailed);
    QTest::newRow("success and time-out")
        << QVector<O>{O::Succeeded, O::TimedOut} << int(ExitMixed);
    QTest::newRow("time-out and open failure")
        << QVector<O>{O::TimedOut, O::OpenFailed} << int(ExitMixed);
    QTest::newRow("interrupted") << QVector<O>{O::Stopped, O::Stopped} << int(ExitInterrupted);
}

void TestFlash::exitStatusOfARun()
{
    QFETCH(QVector<Outcome>, outcomes);
    QFETCH(int, status);
    QVector<FlashResult> results;
    for (Outcome outcome : outcomes) {
        FlashResult result;
        result.outcome = outcome;
        results.append(result);
    }
    QCOMPARE(exitStatusFor(results), status);
}

// --- Reporters and the command line ---------------------------------------------------

void TestFlash::percentAndSpeed()
{
    // The window's arithmetic: 29 of 100 left shows 72 %.
    QCOMPARE(portAt("p", 71, 100, 0).percent(), 72);
    QCOMPARE(portAt("p", 0, 100, 0).percent(), 0);
    QCOMPARE(portAt("p", 100, 100, 0).percent(), 100);

    const PortState halfway = portAt("p", 50 * 1024, 100 * 1024, 5000);
    QCOMPARE(halfway.bytesPerSecond(), 10.0 * 1024);
    QCOMPARE(halfway.msLeft(), qint64(5000));
    // Too early to tell a speed.
    QCOMPARE(portAt("p", 1024, 100 * 1024, 10).bytesPerSecond(), 0.0);
    QCOMPARE(portAt("p", 1024, 100 * 1024, 10).msLeft(), qint64(-1));
    QCOMPARE(formatDuration(65 * 1000), QStringLiteral("1:05"));
}

void TestFlash::terminalRewritesOneLine()
{
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    TerminalReporter reporter(out, err, 80, 0);

    reporter.runStarted("app.kvt", {portAt("ttyUSB0", 0, 10240, 0)});
    reporter.progressed(portAt("ttyUSB0", 5120, 10240, 1000));
    PortState done = portAt("ttyUSB0", 10240, 10240, 2000);
    done.finished = true;
    done.result.outcome = Outcome::Succeeded;
    done.result.message = QStringLiteral("Firmware has been updated successfully.");
    done.result.imageSize = 10240;
    done.result.durationMs = 2000;
    reporter.portFinished(done);
    reporter.runFinished({done}, ExitSuccess);

    // Rewritten in place, never moved up, one newline at the very end.
    QCOMPARE(outText.count(QStringLiteral("\r\x1b[K")), 4);
    QVERIFY(!outText.contains(QStringLiteral("\x1b[1A")));
    QCOMPARE(outText.count('\n'), 1);
    QVERIFY(outText.endsWith('\n'));
    QVERIFY(outText.contains(QStringLiteral(" 50%  5.0 KiB/s  0:01 left")));
    QVERIFY(outText.contains(
        QStringLiteral("ttyUSB0  Firmware has been updated successfully. 10.0 KiB in 2.0 s")));
    QVERIFY(errText.isEmpty());
}

void TestFlash::terminalRedrawsTheBlock()
{
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    const int columns = 40;
    TerminalReporter reporter(out, err, columns, 0);
    const QString longName = QStringLiteral("/dev/serial/by-id/usb-a-very-long-adapter-name");
    const QVector<PortState> ports{portAt("ttyUSB0", 0, 10240, 0), portAt("ttyUSB1", 0, 10240, 0),
                                   portAt(longName, 0, 10240, 0)};

    reporter.runStarted("app.kvt", ports);
    QVERIFY(!outText.contains(QStringLiteral("\x1b[3A"))); // the first draw starts below
    reporter.progressed(portAt("ttyUSB1", 2048, 10240, 500));

    QCOMPARE(outText.count(QStringLiteral("\x1b[3A")), 1);
    QCOMPARE(outText.count('\n'), 6);
    QStringList visible;
    for (const QString &line : outText.split('\n', Qt::SkipEmptyParts))
        visible << line.section(QStringLiteral("\r\x1b[K"), -1);
    for (const QString &line : qAsConst(visible))
        QVERIFY2(line.size() < columns, qPrintable(line)); // a wrapped line breaks the redraw
    // The redrawn block: the port that moved shows its bar, and the long
    // path keeps its end.
    QVERIFY(QRegularExpression("^ttyUSB1 +\\[####\\.+").match(visible.at(4)).hasMatch());
    QVERIFY(visible.at(5).startsWith(QStringLiteral("...")));
    QVERIFY(visible.at(5).contains(QStringLiteral("ter-name")));
}

void TestFlash::logShowsEachTenthOnce()
{
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    LogReporter reporter(out, err);
    const qint64 total = 100 * 1024;

    reporter.runStarted("app.kvt", {portAt("ttyUSB0", 0, total, 0)});
    for (qint64 sent = 1024; sent <= total; sent += 1024)
        reporter.progressed(portAt("ttyUSB0", sent, total, sent / 10));

    const QStringList lines = outText.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 11);
    QCOMPARE(lines.first(), QStringLiteral("ttyUSB0: sending app.kvt (102400 bytes)"));
    for (int tenth = 1; tenth <= 10; ++tenth) {
        const QString expected = QStringLiteral("ttyUSB0: %1% (").arg(tenth * 10);
        QVERIFY2(lines.at(tenth).startsWith(expected), qPrintable(lines.at(tenth)));
    }
}

void TestFlash::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<CommandLine::Action>("action");
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<int>("retries");

    using A = CommandLine::Action;
    const QStringList none;
    QTest::newRow("one port") << QStringList{"app.kvt", "--port", "ttyUSB0"} << A::Flash
                              << QStringList{"ttyUSB0"} << 0;
    QTest::newRow("ports and retries")
        << QStringList{"-p", "ttyUSB0", "app.kvt", "-p", "/dev/pts/3", "--retries", "3"} << A::Flash
        << QStringList{"ttyUSB0", "/dev/pts/3"} << 3;
    QTest::newRow("list ports") << QStringList{"--list-ports", "--json"} << A::ListPorts << none
                                << 0;
    QTest::newRow("help") << QStringList{"app.kvt", "--help"} << A::ShowHelp << none << 0;
    QTest::newRow("no port") << QStringList{"app.kvt"} << A::UsageError << none << 0;
    QTest::newRow("no firmware") << QStringList{"-p", "ttyUSB0"} << A::UsageError << none << 0;
    QTest::newRow("two firmware files")
        << QStringList{"a.kvt", "b.kvt", "-p", "ttyUSB0"} << A::UsageError << none << 0;
    QTest::newRow("same port twice")
        << QStringList{"a.kvt", "-p", "ttyUSB0", "-p", "ttyUSB0"} << A::UsageError << none << 0;
    QTest::newRow("negative retries")
        << QStringList{"a.kvt", "-p", "ttyUSB0", "-r", "-1"} << A::UsageError << none << 0;
    QTest::newRow("retries not a number")
        << QStringList{"a.kvt", "-p", "ttyUSB0", "-r", "many"} << A::UsageError << none << 0;
    QTest::newRow("quiet and json")
        << QStringList{"a.kvt", "-p", "ttyUSB0", "-q", "--json"} << A::UsageError << none << 0;
    QTest::newRow("unknown option")
        << QStringList{"a.kvt", "-p", "ttyUSB0", "--speed", "9600"} << A::UsageError << none << 0;
    QTest::newRow("list ports with a port")
        << QStringList{"--list-ports", "-p", "ttyUSB0"} << A::UsageError << none << 0;
    QTest::newRow("timing scale zero")
        << QStringList{"a.kvt", "-p", "ttyUSB0", "--timing-scale", "0"} << A::UsageError << none
        << 0;
}

void TestFlash::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(CommandLine::Action, action);
    QFETCH(QStringList, ports);
    QFETCH(int, retries);

    const CommandLine command = parseCommandLine(QStringList{"kvt-flash"} + arguments);
    QCOMPARE(command.action, action);
    QCOMPARE(command.error.isEmpty(), action != CommandLine::Action::UsageError);
    if (action == CommandLine::Action::Flash) {
        QCOMPARE(command.ports, ports);
        QCOMPARE(command.retries, retries);
        QCOMPARE(command.firmware, QStringLiteral("app.kvt"));
    }
}

// --- The binary --------------------------------------------------------------------------

void TestFlash::binaryExitStatus_data()
{
    // Devices: "ok", "nak3" (NAKs data block 3 once) or "missing"
    // (a port that does not exist). The image: "good", "invalid" or "absent".
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("status");

    const QStringList none;
    QTest::newRow("updated") << QStringList{"ok"} << "good" << none << int(ExitSuccess);
    QTest::newRow("two updated") << QStringList{"ok", "ok"} << "good" << none << int(ExitSuccess);
    QTest::newRow("not a valid image")
        << QStringList{"ok"} << "invalid" << none << int(ExitBadFile);
    QTest::newRow("no such file") << QStringList{"ok"} << "absent" << none << int(ExitBadFile);
    QTest::newRow("cannot open") << QStringList{"missing"} << "good" << none << int(ExitPortFailed);
    QTest::newRow("refused block, no retries")
        << QStringList{"nak3"} << "good" << none << int(ExitTimedOut);
    QTest::newRow("refused block, retries")
        << QStringList{"nak3"} << "good" << QStringList{"--retries", "2"} << int(ExitSuccess);
    QTest::newRow("updated and missing")
        << QStringList{"ok", "missing"} << "good" << none << int(ExitMixed);
    QTest::newRow("usage: no port") << QStringList{} << "good" << none << int(ExitUsage);
    QTest::newRow("usage: bad option")
        << QStringList{"ok"} << "good" << QStringList{"--baud", "9600"} << int(ExitUsage);
}

void TestFlash::binaryExitStatus()
{
    QFETCH(QStringList, devices);
    QFETCH(QString, image);
    QFETCH(QStringList, extra);
    QFETCH(int, status);

    std::vector<std::unique_ptr<SimulatedDevice>> sims;
    QStringList arguments = FastBinary;
    for (const QString &kind : devices) {
        BootloaderSimOptions options;
        options.nakBlock = kind == "nak3" ? 3 : 0;
        if (kind == "missing") {
            arguments << "--port" << MissingPort;
            continue;
        }
        sims.push_back(std::make_unique<SimulatedDevice>(options));
        QVERIFY(sims.back()->isReady());
        arguments << "--port" << sims.back()->path();
    }
    if (image == "good")
        arguments << writeFile("good.kvt", makeImage(6 * 1024 + 1));
    else if (image == "invalid")
        arguments << writeFile("invalid.kvt", QByteArray::fromHex("0040002100"));
    else
        arguments << scratch_.filePath("absent.kvt");

    const ProcessRun run = runFlasher(arguments + extra);
    QVERIFY2(run.exitCode == status, (run.out + run.err).constData());
    if (status == ExitSuccess) {
        for (const auto &device : sims)
            QVERIFY(device->sim().receivedImage() == makeImage(6 * 1024 + 1));
    }
    if (status == ExitUsage)
        QVERIFY(run.err.contains("kvt-flash: "));
}

void TestFlash::binaryJsonLines()
{
    SimulatedDevice device;
    QVERIFY(device.isReady());
    const QByteArray image = makeImage(20 * 1024);
    const QString firmware = writeFile("json.kvt", image);
    const ProcessRun run = runFlasher(
        FastBinary + QStringList{"--json", firmware, "-p", device.path(), "-p", MissingPort});
    QCOMPARE(run.exitCode, int(ExitMixed));

    const QVector<QJsonObject> objects = jsonLines(run.out);
    QVERIFY2(!objects.isEmpty(), run.out.constData());
    for (const QJsonObject &object : objects)
        QVERIFY(!object.value("time").toString().isEmpty());

    // The device that answers: start, rising percentages up to 100, result.
    const QVector<QJsonObject> updated = eventsOf(objects, device.path());
    QVERIFY(updated.size() >= 3);
    QCOMPARE(updated.first().value("event").toString(), QStringLiteral("start"));
    QCOMPARE(updated.first().value("bytes").toInt(), image.size());
    QCOMPARE(updated.first().value("file").toString(), firmware);
    int lastPercent = 0;
    for (int i = 1; i + 1 < updated.size(); ++i) {
        QCOMPARE(updated.at(i).value("event").toString(), QStringLiteral("progress"));
        QVERIFY(updated.at(i).value("percent").toInt() > lastPercent);
        lastPercent = updated.at(i).value("percent").toInt();
    }
    QCOMPARE(lastPercent, 100);
    const QJsonObject result = updated.last();
    QCOMPARE(result.value("event").toString(), QStringLiteral("result"));
    QCOMPARE(result.value("status").toString(), QStringLiteral("ok"));
    QCOMPARE(result.value("bytes").toInt(), image.size());
    QVERIFY(result.value("duration_ms").toInt() > 0);

    // The port that cannot be opened: start, error, result.
    const QVector<QJsonObject> missing = eventsOf(objects, MissingPort);
    QCOMPARE(missing.size(), 3);
    QCOMPARE(missing.at(1).value("event").toString(), QStringLiteral("error"));
    QCOMPARE(missing.at(2).value("status").toString(), QStringLiteral("open-failed"));
    QCOMPARE(missing.at(2).value("bytes").toInt(), 0);

    // A refused image is one error line, naming the file.
    const QString invalid = writeFile("invalid.kvt", QByteArray("nope"));
    const ProcessRun refused = runFlasher({"--json", invalid, "-p", device.path()});
    QCOMPARE(refused.exitCode, int(ExitBadFile));
    const QVector<QJsonObject> error = jsonLines(refused.out);
    QCOMPARE(error.size(), 1);
    QCOMPARE(error.first().value("event").toString(), QStringLiteral("error"));
    QCOMPARE(error.first().value("file").toString(), invalid);
    QCOMPARE(error.first().value("message").toString(), QStringLiteral("Not a valid file"));
}

void TestFlash::binaryLogLines()
{
    SimulatedDevice device;
    QVERIFY(device.isReady());
    const QString firmware = writeFile("log.kvt", makeImage(30 * 1024));
    const ProcessRun run = runFlasher(FastBinary + QStringList{firmware, "-p", device.path()});
    QCOMPARE(run.exitCode, int(ExitSuccess));

    // Standard output is a pipe here: plain lines, no terminal controls.
    QVERIFY(!run.out.contains('\r') && !run.out.contains('\x1b'));
    const QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 12);
    const QString prefix = device.path() + QStringLiteral(": ");
    QCOMPARE(lines.first(), prefix + QStringLiteral("sending %1 (30720 bytes)").arg(firmware));
    for (int tenth = 1; tenth <= 10; ++tenth)
        QVERIFY(lines.at(tenth).startsWith(prefix + QStringLiteral("%1% (").arg(tenth * 10)));
    QVERIFY(lines.last().startsWith(prefix + "Firmware has been updated successfully. 30.0 KiB"));
    QVERIFY(run.err.isEmpty());
}

void TestFlash::binaryQuietAndVerbose()
{
    SimulatedDevice device;
    QVERIFY(device.isReady());
    const QString firmware = writeFile("quiet.kvt", makeImage(3 * 1024));

    const ProcessRun quiet =
        runFlasher(FastBinary + QStringList{"-q", firmware, "-p", device.path()});
    QCOMPARE(quiet.exitCode, int(ExitSuccess));
    QVERIFY(quiet.out.isEmpty());
    QVERIFY(quiet.err.isEmpty());

    const ProcessRun quietFailure = runFlasher({"-q", firmware, "-p", MissingPort});
    QCOMPARE(quietFailure.exitCode, int(ExitPortFailed));
    QVERIFY(quietFailure.out.isEmpty());
    QVERIFY(quietFailure.err.contains("cannot open the port"));

    const ProcessRun verbose =
        runFlasher(FastBinary + QStringList{"-v", firmware, "-p", device.path()});
    QCOMPARE(verbose.exitCode, int(ExitSuccess));
    QVERIFY(verbose.err.contains("> 73 aa 04 ff 05 00 25")); // the first command frame
    QVERIFY(verbose.err.contains("> 73 aa 04 ff 05 01 26"));
    QVERIFY(verbose.err.contains("< 43"));
    QVERIFY(verbose.err.contains("got ACK"));
    QVERIFY(verbose.err.contains("-- data blocks"));
}

QTEST_GUILESS_MAIN(TestFlash)
#include "tst_flash.moc"
