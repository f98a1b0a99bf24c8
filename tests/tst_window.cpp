// The whole job from the button: the file check, the upgrade command, the
// feedback, and uploads through the real window, its worker thread and its
// QSerialPort to the simulated bootloader on a pseudo-terminal.

#include "sim/bootloadersim.h"
#include "sim/pty.h"
#include "upgrader.h"
#include "windowtesting.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString RedLamp = QStringLiteral(":/images/resources/light_r(24x24).png");
const QString GreenLamp = QStringLiteral(":/images/resources/light_g(24x24).png");

// Short pauses and limits: the same exchange in a fraction of the time.
ymodem::UploadTiming quickTiming()
{
    ymodem::UploadTiming timing;
    timing.firstPause = 150;
    timing.secondPause = 50;
    timing.receiverLimit = 1500;
    timing.replyLimit = 1000;
    return timing;
}

bool showsLamp(QLabel *label, const QString &path)
{
    return label->pixmap(Qt::ReturnByValue).toImage() == QPixmap(path).toImage();
}

// One window, its widgets, and the answers to its modal windows.
struct Desk
{
    Desk()
    {
        window.setUploadTiming(quickTiming());
        window.show();
    }
    QPushButton *button() const { return window.findChild<QPushButton *>("updateButton"); }
    QProgressBar *bar() const { return window.findChild<QProgressBar *>("progressBar"); }
    QLabel *connection() const { return window.findChild<QLabel *>("connectionLabel"); }
    QLabel *lamp() const { return window.findChild<QLabel *>("connectionColorLabel"); }
    QComboBox *ports() const { return window.findChild<QComboBox *>("portNameComboBox"); }
    QSerialPort *serial() const { return window.findChild<QSerialPort *>(); }

    void choosePort(const QString &name)
    {
        ports()->addItem(name);
        ports()->setCurrentIndex(ports()->count() - 1);
    }
    // Presses "Update" and answers the file dialog with `path` (empty:
    // cancel). Returns once upgrade() has returned.
    void press(const QString &path)
    {
        answers.fileAnswers.append(path);
        button()->click();
    }
    QString file(const QString &name, const QByteArray &bytes)
    {
        const QString path = dir.filePath(name);
        writeFile(path, bytes);
        return path;
    }

    QTemporaryDir dir;
    Upgrader window;
    ModalAnswerer answers;
};

// A simulated device on the far end of a pty, in the test's thread.
struct Device
{
    explicit Device(PtyPair &pty, BootloaderSimOptions options = {})
        : sim(::dup(pty.masterFd()), options)
    {
        sim.start();
    }
    BootloaderSim sim;
};

BootloaderSimOptions quickDevice()
{
    BootloaderSimOptions options;
    options.cIntervalMs = 50;
    return options;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void cancelledDialog();
    void fileCheckFailures_data();
    void fileCheckFailures();
    void unopenableFile_data();
    void unopenableFile();
    void fileTooLargeForMemory();
    void validImageWithoutPort();
    void secondFileReplacesTheFirst();
    void portThatCannotOpen();
    void progressArithmetic_data();
    void progressArithmetic();
    void progressIgnoresNonsense();
    void lookAfterSuccess();
    void messageWithEmptyTexts();

    void uploadThroughTheWindow();
    void uploadWithTheDevicesOwnTiming();
    void silentDeviceThenSecondUploadSucceeds();
    void vanishedDeviceEndsInTimeOut();
    void closingTheWindowMidUpload();
};

void TestWindow::cancelledDialog()
{
    Desk desk;
    DebugLines debug;
    desk.press(QString());
    QCOMPARE(desk.answers.dialogCaptions.join('|'), QStringLiteral("Find Files"));
    QVERIFY(desk.answers.dialogFilters.value(0).contains("KVT firmware (*.kvt)"));
    QCOMPARE(desk.answers.boxes.size(), 1);
    const ShownBox box = desk.answers.boxes.first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QStringLiteral("Error"));
    QCOMPARE(box.text, QStringLiteral("file path cannot be empty"));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(debug.lines().isEmpty());
    QVERIFY(desk.button()->isEnabled());
}

void TestWindow::fileCheckFailures_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("1 byte") << QByteArray::fromHex("00");
    QTest::newRow("2 bytes") << QByteArray::fromHex("0040");
    QTest::newRow("3 bytes") << QByteArray::fromHex("004000");
    QTest::newRow("last byte differs") << QByteArray::fromHex("00400021ffff");
    QTest::newRow("one byte off") << QByteArray::fromHex("40002000");
    QTest::newRow("text") << QByteArray("hello world");
}

void TestWindow::fileCheckFailures()
{
    QFETCH(QByteArray, content);
    Desk desk;
    desk.choosePort("/dev/null-port-never-read");
    DebugLines debug;
    desk.press(desk.file("bad.kvt", content));
    // Only the file's message: the port list is never read.
    QCOMPARE(desk.answers.boxes.size(), 1);
    const ShownBox box = desk.answers.boxes.first();
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.title, QStringLiteral("Error"));
    QCOMPARE(box.text, QStringLiteral("Not a valid file"));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(debug.lines().isEmpty());
    QVERIFY(desk.button()->isEnabled());
    QCOMPARE(desk.window.loadedImage(), content);
    QVERIFY(desk.serial()->portName().isEmpty());
}

void TestWindow::unopenableFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << "missing";
    QTest::newRow("directory") << "directory";
    QTest::newRow("pipe") << "pipe";
    if (::geteuid() != 0)
        QTest::newRow("no permission") << "unreadable";
}

void TestWindow::unopenableFile()
{
    QFETCH(QString, kind);
    Desk desk;
    QString path = desk.dir.filePath("firmware.kvt");
    if (kind == "directory")
        path = desk.dir.path();
    if (kind == "pipe")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    if (kind == "unreadable") {
        desk.file("firmware.kvt", makeFirmware(100));
        QFile::setPermissions(path, QFileDevice::WriteOwner);
    }
    DebugLines debug;
    desk.window.readFile(path);
    QCOMPARE(desk.answers.boxes.size(), 1);
    QCOMPARE(desk.answers.boxes.first().icon, QMessageBox::Critical);
    QCOMPARE(desk.answers.boxes.first().title, QStringLiteral("Error"));
    QCOMPARE(desk.answers.boxes.first().text, QStringLiteral("file cannot open"));
    QCOMPARE(debug.lines(), QStringList(" Could not open the file for reading"));
}

void TestWindow::fileTooLargeForMemory()
{
    Desk desk;
    const QString path = desk.dir.filePath("huge.kvt");
    {
        QFile sparse(path);
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.write(QByteArray::fromHex("00400020")) == 4);
        QVERIFY(sparse.resize((qint64(1) << 31) + 1)); // holes, no disk used
    }
    QVERIFY(!desk.window.readFile(path));
    QCOMPARE(desk.answers.boxes.size(), 1);
    QCOMPARE(desk.answers.boxes.first().icon, QMessageBox::Critical);
    QVERIFY(desk.answers.boxes.first().text.contains("too large"));
    QVERIFY(desk.window.loadedImage().isEmpty());
}

void TestWindow::validImageWithoutPort()
{
    Desk desk;
    desk.ports()->clear();
    const QByteArray image = QByteArray::fromHex("00400020"); // the signature alone
    desk.press(desk.file("tiny.kvt", image));
    QCOMPARE(desk.answers.boxes.size(), 1);
    QCOMPARE(desk.answers.boxes.first().icon, QMessageBox::Critical);
    QCOMPARE(desk.answers.boxes.first().title, QStringLiteral("Error"));
    QCOMPARE(desk.answers.boxes.first().text, QStringLiteral("Not a valid port"));
    QCOMPARE(desk.window.loadedImage(), image);
    QVERIFY(!desk.serial()->isOpen());
    QVERIFY(desk.button()->isEnabled());
}

void TestWindow::secondFileReplacesTheFirst()
{
    Desk desk;
    QVERIFY(desk.window.readFile(desk.file("one.kvt", makeFirmware(3000))));
    const QByteArray second = makeFirmware(50).append("second");
    QVERIFY(desk.window.readFile(desk.file("two.bin", second))); // the name plays no part
    QCOMPARE(desk.window.loadedImage(), second);
}

void TestWindow::portThatCannotOpen()
{
    Desk desk;
    desk.choosePort("/dev/kvt-no-such-port");
    DebugLines debug;
    desk.press(desk.file("good.kvt", makeFirmware(2000)));
    QCOMPARE(desk.answers.boxes.size(), 1);
    const ShownBox box = desk.answers.boxes.first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QStringLiteral("Serial port error"));
    QCOMPARE(box.text, desk.serial()->errorString());
    QVERIFY(!box.text.isEmpty());
    QCOMPARE(debug.lines(), QStringList("error: \"" + box.text + "\""));
    QVERIFY(desk.button()->isEnabled());
    QVERIFY(!desk.serial()->isOpen());
    QCOMPARE(desk.serial()->portName(), QStringLiteral("kvt-no-such-port"));
    QCOMPARE(desk.serial()->baudRate(), 115200);
    QCOMPARE(desk.window.loadedImage(), makeFirmware(2000));
    QCOMPARE(desk.connection()->text(), QStringLiteral("Disconnected"));
}

void TestWindow::progressArithmetic_data()
{
    QTest::addColumn<double>("rest");
    QTest::addColumn<double>("total");
    QTest::addColumn<int>("shown");
    QTest::newRow("nothing sent") << 100.0 << 100.0 << 0;
    QTest::newRow("all sent") << 0.0 << 100.0 << 100;
    QTest::newRow("1 of 3 left") << 1.0 << 3.0 << 67;
    QTest::newRow("2 of 3 left") << 2.0 << 3.0 << 34;
    QTest::newRow("29 of 100 left") << 29.0 << 100.0 << 72;
    QTest::newRow("last byte on its way") << 1.0 << 1024.0 << 100;
    QTest::newRow("2500-byte image, block 1") << 1476.0 << 2500.0 << 41;
}

void TestWindow::progressArithmetic()
{
    QFETCH(double, rest);
    QFETCH(double, total);
    QFETCH(int, shown);
    Desk desk;
    desk.window.progressUpdateHandler(rest, total);
    QCOMPARE(desk.bar()->value(), shown);
}

void TestWindow::progressIgnoresNonsense()
{
    Desk desk;
    desk.window.progressUpdateHandler(30, 100);
    desk.window.progressUpdateHandler(5, 0);  // no total: left as it was
    desk.window.progressUpdateHandler(5, -1); //
    QCOMPARE(desk.bar()->value(), 70);
    desk.window.progressUpdateHandler(500, 100); // more left than the image
    QCOMPARE(desk.bar()->value(), 0);
    desk.window.progressUpdateHandler(-5, 100);
    QCOMPARE(desk.bar()->value(), 100);
}

void TestWindow::lookAfterSuccess()
{
    Desk desk;
    desk.button()->setDisabled(true);
    desk.bar()->setValue(100);
    desk.connection()->setText("Connected");
    desk.lamp()->setPixmap(QPixmap(GreenLamp));
    bool enabledWhileShown = true;
    desk.answers.onBox = [&](const ShownBox &) { enabledWhileShown = desk.button()->isEnabled(); };
    emit desk.window.uploadFinished();
    QCOMPARE(desk.answers.boxes.size(), 1);
    QCOMPARE(desk.answers.boxes.first().icon, QMessageBox::Information);
    QCOMPARE(desk.answers.boxes.first().title, QStringLiteral("Finish"));
    QCOMPARE(desk.answers.boxes.first().text,
             QStringLiteral("Firmware has been updated successfully."));
    QVERIFY(!enabledWhileShown); // the rest follows once the box is closed
    QVERIFY(desk.button()->isEnabled());
    QCOMPARE(desk.bar()->value(), 0);
    QCOMPARE(desk.connection()->text(), QStringLiteral("Disconnected"));
    QVERIFY(showsLamp(desk.lamp(), RedLamp));
}

void TestWindow::messageWithEmptyTexts()
{
    Desk desk;
    desk.button()->setDisabled(true);
    desk.bar()->setValue(40);
    emit desk.window.popMsgBox(QString(), QString());
    QCOMPARE(desk.answers.boxes.size(), 1);
    QCOMPARE(desk.answers.boxes.first().icon, QMessageBox::Information);
    QVERIFY(desk.answers.boxes.first().text.isEmpty());
    QVERIFY(desk.button()->isEnabled());
    QCOMPARE(desk.bar()->value(), 40);
    QCOMPARE(desk.connection()->text(), QStringLiteral("Disconnected"));
}

// --- Uploads through the window -------------------------------------------

void TestWindow::uploadThroughTheWindow()
{
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    Device device(pty, quickDevice());
    Desk desk;
    desk.choosePort(pty.slavePath());
    DebugLines debug;

    QVector<int> shown;
    connect(desk.bar(), &QProgressBar::valueChanged, [&](int value) { shown.append(value); });
    bool buttonDisabledWhileSending = false;
    connect(&device.sim, &BootloaderSim::blockReceived,
            [&] { buttonDisabledWhileSending = !desk.button()->isEnabled(); });
    bool portOpenAtSuccess = true;
    desk.answers.onBox = [&](const ShownBox &) { portOpenAtSuccess = desk.serial()->isOpen(); };

    const QByteArray image = makeFirmware(300 * 1024 + 77);
    desk.press(desk.file("firmware.kvt", image));
    QVERIFY(!desk.button()->isEnabled());
    QCOMPARE(desk.connection()->text(), QStringLiteral("Connected"));
    QVERIFY(showsLamp(desk.lamp(), GreenLamp));
    QTRY_COMPARE_WITH_TIMEOUT(desk.answers.boxes.size(), 1, 30000);

    QCOMPARE(desk.answers.boxes.first().text,
             QStringLiteral("Firmware has been updated successfully."));
    QCOMPARE(device.sim.receivedImage(), image);
    QCOMPARE(device.sim.fileName(), QStringLiteral("firmware.bin"));
    QVERIFY2(device.sim.problems().isEmpty(), qPrintable(device.sim.problems().join('\n')));
    QVERIFY(buttonDisabledWhileSending);
    QVERIFY(!portOpenAtSuccess);
    QVERIFY(shown.size() > 100);
    QCOMPARE(shown.last(), 0);
    shown.removeLast();
    QVERIFY(std::is_sorted(shown.begin(), shown.end()));
    QCOMPARE(shown.last(), 100);
    QVERIFY(desk.button()->isEnabled());
    QCOMPARE(desk.connection()->text(), QStringLiteral("Disconnected"));
    QVERIFY(showsLamp(desk.lamp(), RedLamp));
    const QString portName = desk.serial()->portName();
    QCOMPARE(debug.count("Open Port  \"" + portName + "\"  successfully."), 1);
    QCOMPARE(debug.count("finish!"), 1);
    QCOMPARE(debug.count("Got last ACK"), 1);
}

void TestWindow::uploadWithTheDevicesOwnTiming()
{
    PtyPair pty;
    QVERIFY(pty.isOpen());
    BootloaderSimOptions options; // "C" once a second, as the device does
    Device device(pty, options);
    Desk desk;
    desk.window.setUploadTiming(ymodem::UploadTiming());
    desk.choosePort(pty.slavePath());
    QElapsedTimer clock;
    clock.start();
    const QByteArray image = makeFirmware(64 * 1024);
    desk.press(desk.file("firmware.kvt", image));
    QSignalSpy entered(&device.sim, &BootloaderSim::commandFramesReceived);
    QVERIFY(entered.wait(10000));
    QVERIFY(clock.elapsed() >= 5000); // the second frame only after the first pause
    QTRY_COMPARE_WITH_TIMEOUT(desk.answers.boxes.size(), 1, 30000);
    QCOMPARE(device.sim.receivedImage(), image);
    QVERIFY(clock.elapsed() >= 6000);
}

void TestWindow::silentDeviceThenSecondUploadSucceeds()
{
    PtyPair pty;
    QVERIFY(pty.isOpen());
    Desk desk;
    desk.choosePort(pty.slavePath());
    const QString path = desk.file("firmware.kvt", makeFirmware(5000));
    {
        BootloaderSimOptions silent = quickDevice();
        silent.silent = true;
        Device device(pty, silent);
        QElapsedTimer clock;
        clock.start();
        desk.press(path);
        QTRY_COMPARE_WITH_TIMEOUT(desk.answers.boxes.size(), 1, 10000);
        QVERIFY(clock.elapsed() >= 150 + 50 + 1500);
    }
    const ShownBox box = desk.answers.boxes.first();
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.title, QStringLiteral("Time out"));
    QCOMPARE(box.text, QStringLiteral("Please try again or change port."));
    QVERIFY(desk.button()->isEnabled());
    QCOMPARE(desk.bar()->value(), 0);
    QCOMPARE(desk.connection()->text(), QStringLiteral("Connected"));
    QVERIFY(showsLamp(desk.lamp(), GreenLamp));
    QVERIFY(desk.serial()->isOpen()); // left open until the next press

    Device device(pty, quickDevice());
    desk.press(path);
    QTRY_COMPARE_WITH_TIMEOUT(desk.answers.boxes.size(), 2, 10000);
    QCOMPARE(desk.answers.boxes.last().title, QStringLiteral("Finish"));
    QCOMPARE(device.sim.receivedImage(), makeFirmware(5000));
}

void TestWindow::vanishedDeviceEndsInTimeOut()
{
    PtyPair pty;
    QVERIFY(pty.isOpen());
    BootloaderSimOptions options = quickDevice();
    options.closeAfterBlock = 5;
    Device device(pty, options);
    pty.closeMaster(); // only the device's descriptor holds the line now
    Desk desk;
    desk.choosePort(pty.slavePath());
    QVector<int> shown;
    connect(desk.bar(), &QProgressBar::valueChanged, [&](int value) { shown.append(value); });
    desk.press(desk.file("firmware.kvt", makeFirmware(20 * 1024)));
    QTRY_COMPARE_WITH_TIMEOUT(desk.answers.boxes.size(), 1, 15000);
    QCOMPARE(desk.answers.boxes.first().title, QStringLiteral("Time out"));
    QCOMPARE(device.sim.counters().dataBlocks, 5);
    QVERIFY(desk.button()->isEnabled());
    QCOMPARE(shown.last(), 0); // put back after the transfer had begun
}

void TestWindow::closingTheWindowMidUpload()
{
    PtyPair pty;
    QVERIFY(pty.isOpen());
    Device device(pty, quickDevice());
    auto desk = std::make_unique<Desk>();
    desk->choosePort(pty.slavePath());
    desk->press(desk->file("firmware.kvt", makeFirmware(400 * 1024)));
    QSignalSpy blocks(&device.sim, &BootloaderSim::blockReceived);
    QTRY_VERIFY_WITH_TIMEOUT(blocks.count() >= 3, 10000);
    QElapsedTimer clock;
    clock.start();
    desk->window.close();
    desk.reset(); // waits for the worker
    QVERIFY(clock.elapsed() < 2000);
    const int received = device.sim.counters().dataBlocks;
    QTest::qWait(300);
    QVERIFY(device.sim.counters().dataBlocks <= received + 1);
    QVERIFY(device.sim.phase() != BootloaderSim::Phase::Completed);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
