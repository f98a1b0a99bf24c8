// The whole job from the button: the file check, the feedback, and uploads
// through the real window, its worker thread and its QSerialPort to the
// simulated bootloader on a pseudo-terminal.

#include "fakeadapter.h"
#include "firmwareimage.h"
#include "sim/bootloadersim.h"
#include "sim/pty.h"
#include "testdata.h"
#include "upgrader.h"
#include "windowtesting.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

// Its blocks differ, so a block sent twice or out of place shows.
using testdata::makeImage;

// One window set to a port, its widgets, and the answers to its modal windows.
struct Desk
{
    explicit Desk(const QString &port)
    {
        // Short pauses and limits: the same exchange in a fraction of the time.
        ymodem::UploadTiming quick;
        quick.firstPause = 150;
        quick.secondPause = 50;
        quick.receiverLimit = 1500;
        quick.replyLimit = 1000;
        window.setUploadTiming(quick);
        window.findChild<QComboBox *>("portNameComboBox")->clear();
        window.findChild<QComboBox *>("portNameComboBox")->addItem(port);
        window.show();
        QObject::connect(window.findChild<QProgressBar *>("progressBar"),
                         &QProgressBar::valueChanged, [this](int v) { shown.append(v); });
    }
    QPushButton *button() const { return window.findChild<QPushButton *>("updateButton"); }
    QSerialPort *serial() const { return window.findChild<QSerialPort *>(); }
    QString connection() const { return window.findChild<QLabel *>("connectionLabel")->text(); }
    // Presses "Update" and answers the file dialog with `path` (empty:
    // cancel). Returns once upgrade() has returned.
    void press(const QString &path)
    {
        answers.fileAnswers.append(path);
        button()->click();
    }
    QString file(const QString &name, const QByteArray &bytes)
    {
        if (!testdata::writeFile(dir.filePath(name), bytes))
            qFatal("cannot write %s", qPrintable(name));
        return dir.filePath(name);
    }

    QTemporaryDir dir;
    Upgrader window;
    ModalAnswerer answers;
    QVector<int> shown; // every value the bar took
};

// The far end of the cable: a pseudo-terminal and a simulated device on its
// master, in the test's thread.
struct Line
{
    Line() { options.cIntervalMs = 50; }
    // Connects a device with the current options in place of the last one.
    void plugIn()
    {
        if (!pty.isOpen())
            qFatal("no pty: %s", qPrintable(pty.errorString()));
        sim.reset();
        sim = std::make_unique<BootloaderSim>(::dup(pty.masterFd()), options);
        sim->start();
    }

    PtyPair pty;
    BootloaderSimOptions options;
    std::unique_ptr<BootloaderSim> sim;
};

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    // What the user is told when there is nothing to upload or nowhere to send
    // it ("icon|title|text"), and the debug line, if any, that goes with it.
    void boxes_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("debug");
        const QStringList none;
        const QStringList notOpened(" Could not open the file for reading");
        QTest::newRow("no file chosen") << "Critical|Error|file path cannot be empty" << none;
        QTest::newRow("missing") << "Critical|Error|file cannot open" << notOpened;
        QTest::newRow("directory") << "Critical|Error|file cannot open" << notOpened;
        QTest::newRow("not valid") << "Information|Error|Not a valid file" << none;
        QTest::newRow("too short") << "Information|Error|Not a valid file" << none;
        QTest::newRow("too large") << "Critical|Error|The file is too large: 1073741825 bytes "
                                      "(at most 1073741824 bytes)."
                                   << none;
        QTest::newRow("no port") << "Critical|Error|Not a valid port" << none;
        QTest::newRow("port cannot open") << "Critical|Serial port error|No such file or directory"
                                          << QStringList("error: \"No such file or directory\"");
    }

    void boxes()
    {
        QFETCH(QString, box);
        QFETCH(QStringList, debug);
        const QString kind = QTest::currentDataTag();
        // A port that cannot open: a check that lets the upload go on shows a
        // second box.
        Desk desk(kind == "no port" ? QString() : QStringLiteral("/dev/kvt-no-such-port"));
        DebugLines lines;
        if (kind == "missing" || kind == "directory") { // the dialog never hands these out
            desk.window.readFile(kind == "missing" ? desk.dir.filePath("gone.kvt")
                                                   : desk.dir.path());
        } else if (kind == "too large") {
            QFile sparse(desk.file("huge.kvt", makeImage(4)));
            QVERIFY(sparse.resize(firmware::MaxImageSize + 1)); // holes, no disk used
            desk.press(sparse.fileName());
        } else {
            const QByteArray content = kind == "not valid"   ? QByteArray("hello world")
                                       : kind == "too short" ? QByteArray::fromHex("004000")
                                                             : makeImage(2000);
            desk.press(kind == "no file chosen" ? QString() : desk.file("firmware.kvt", content));
        }
        QCOMPARE(desk.answers.boxes, QStringList(box));
        QCOMPARE(lines.lines(), debug);
        QVERIFY(desk.button()->isEnabled());
    }

    void progress_data()
    {
        QTest::addColumn<double>("rest");
        QTest::addColumn<double>("total");
        QTest::addColumn<int>("shown");
        QTest::newRow("2 of 3 left") << 2.0 << 3.0 << 34;
        QTest::newRow("29 of 100 left") << 29.0 << 100.0 << 72;
        QTest::newRow("no total") << 5.0 << 0.0 << 55;
        QTest::newRow("negative total") << 5.0 << -1.0 << 55;
        QTest::newRow("more left than the image") << 500.0 << 100.0 << 0;
        QTest::newRow("negative rest") << -5.0 << 100.0 << 100;
    }

    void progress()
    {
        QFETCH(double, rest);
        QFETCH(double, total);
        QFETCH(int, shown);
        Upgrader window;
        auto *bar = window.findChild<QProgressBar *>("progressBar");
        bar->setValue(55);
        window.progressUpdateHandler(rest, total);
        QCOMPARE(bar->value(), shown);
    }

    // A device that vanishes mid-transfer: the time-out box, the bar put back
    // and the port left open; then a second upload through it succeeds, with
    // the button off while it runs and the port closed once it is done. More
    // than 256 blocks: their numbers wrap.
    void vanishedDeviceThenSecondUploadSucceeds()
    {
        Line line;
        line.options.closeAfterBlock = 5;
        line.plugIn();
        Desk desk(line.pty.slavePath());
        DebugLines debug;
        // An adapter whose driver offers low latency: set while the port is
        // open (a time-out leaves it open), put back when it closes.
        const FakeSerialDriver driver(ASYNC_SPD_HI);
        const QByteArray image = makeImage(300 * 1024 + 77);
        const QString path = desk.file("firmware.kvt", image);
        desk.press(path);
        QTRY_COMPARE_WITH_TIMEOUT(desk.answers.boxes.size(), 1, 15000);
        QCOMPARE(desk.answers.boxes,
                 QStringList("Information|Time out|Please try again or change port."));
        QCOMPARE(line.sim->counters().dataBlocks, 5);
        QVERIFY(desk.button()->isEnabled());
        QVERIFY(*std::max_element(desk.shown.begin(), desk.shown.end()) > 0);
        QCOMPARE(desk.shown.last(), 0); // put back: the transfer had begun
        QCOMPARE(desk.connection(), QStringLiteral("Connected"));
        QCOMPARE(driver.flags(), ASYNC_SPD_HI | ASYNC_LOW_LATENCY);

        line.options.closeAfterBlock = 0;
        line.plugIn();
        bool buttonDisabledWhileSending = false;
        connect(line.sim.get(), &BootloaderSim::blockReceived,
                [&] { buttonDisabledWhileSending = !desk.button()->isEnabled(); });
        bool portOpenAtSuccess = true;
        desk.answers.onBox = [&] { portOpenAtSuccess = desk.serial()->isOpen(); };
        desk.shown.clear();
        desk.press(path);
        QTRY_COMPARE_WITH_TIMEOUT(desk.answers.boxes.size(), 2, 20000);
        QCOMPARE(desk.answers.boxes.last(),
                 "Information|Finish|Firmware has been updated successfully.");
        QCOMPARE(line.sim->receivedImage(), image);
        QVERIFY(buttonDisabledWhileSending);
        QVERIFY(!portOpenAtSuccess);
        QVERIFY(desk.shown.size() > 100);
        QVERIFY(std::is_sorted(desk.shown.begin(), desk.shown.end() - 1));
        QCOMPARE(desk.shown.mid(desk.shown.size() - 2), QVector<int>({100, 0}));
        QCOMPARE(desk.connection(), QStringLiteral("Disconnected"));
        QCOMPARE(driver.flags(), ASYNC_SPD_HI);
        const QString opened = "Open Port  \"" + desk.serial()->portName() + "\"  successfully.";
        QCOMPARE(debug.lines().count(opened), 2);
        QCOMPARE(debug.lines().count("finish!"), 1); // the upload's own lines come through
    }

    void closingTheWindowMidUpload()
    {
        Line line;
        line.plugIn();
        auto desk = std::make_unique<Desk>(line.pty.slavePath());
        const FakeSerialDriver driver;
        desk->press(desk->file("firmware.kvt", makeImage(400 * 1024)));
        QTRY_VERIFY_WITH_TIMEOUT(line.sim->counters().dataBlocks >= 3, 10000);
        QElapsedTimer clock;
        clock.start();
        desk->window.close();
        desk.reset(); // waits for the worker
        QVERIFY(clock.elapsed() < 2000);
        QCOMPARE(driver.flags(), 0); // put back as it went (the other test sees them set)
        const int received = line.sim->counters().dataBlocks;
        QTest::qWait(300);
        QVERIFY(line.sim->counters().dataBlocks <= received + 1);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
