// The station's window on the real engine, against simulated boards: each
// board is a simulator on a pseudo-terminal, plugged by a symlink to it in a
// temporary folder and pulled by removing the link.

#include "sim/bootloadersim.h"
#include "sim/pty.h"
#include "station/recordfile.h"
#include "station/slottile.h"
#include "station/stationwindow.h"
#include "station/tilegrid.h"

#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace station;

namespace {

QByteArray makeImage(int size)
{
    return QByteArray::fromHex("00400020") + QByteArray(size - 4, 'Z');
}

struct Board
{
    explicit Board(const BootloaderSimOptions &options) : sim(pty.releaseMaster(), options)
    {
        sim.start();
    }
    PtyPair pty;
    BootloaderSim sim;
};

BootloaderSimOptions boardThat(int replyDelayMs, int cancelAtBlock = 0)
{
    BootloaderSimOptions options;
    options.replyDelayMs = replyDelayMs; // 60: seconds of flashing for the fixture's image
    options.cancelAtBlock = cancelAtBlock;
    return options;
}

// The window, with its questions answered by the test.
class Window : public StationWindow
{
public:
    using StationWindow::StationWindow;
    QStringList complaints;
    bool stopWhenAsked = true;
    int asked = 0;

protected:
    void complain(const QString &text) override { complaints.append(text); }
    bool confirmStop(int) override { return ++asked, stopWhenAsked; }
};

class Fixture
{
public:
    Fixture() { QDir().mkpath(slotFolder()), writeImage(makeImage(20 * 1024)); }
    QString slotFolder() const { return dir_.filePath(QStringLiteral("slots")); }
    QString record() const { return dir_.filePath(QStringLiteral("record.jsonl")); }
    QString image() const { return dir_.filePath(QStringLiteral("app.kvt")); }
    void writeImage(const QByteArray &bytes) const
    {
        QFile file(image());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }

    Board &plug(const QString &slot, const BootloaderSimOptions &options = {})
    {
        auto &board = boards_[slot] = std::make_unique<Board>(options);
        serials_.insert(board->pty.slavePath(), QStringLiteral("SN-") + slot);
        QFile::link(board->pty.slavePath(), slotFolder() + '/' + slot);
        return *board;
    }
    void pull(const QString &slot) { QFile::remove(slotFolder() + '/' + slot); }

    std::unique_ptr<Window> startedWindow()
    {
        StationConfig config;
        config.settleMs = 30;
        config.upload.retries = 3;
        config.upload.stopOnCancel = true;
        config.upload.timing.firstPause = 30;
        config.upload.timing.secondPause = 10;
        config.upload.timing.replyLimit = 2000;
        config.identify = [this](const QString &device) {
            return flash::UsbIdentity{"0403", "6001", serials_.value(device)};
        };
        auto window = std::make_unique<Window>(config);
        window->chooseFolder(slotFolder());
        window->chooseRecord(record());
        if (!window->chooseImage(image()) || !window->startStation())
            qWarning() << "the station did not start:" << window->complaints;
        return window;
    }

    QStringList statuses() const
    {
        QStringList found;
        for (const QJsonObject &line : RecordFile::read(record()))
            found.append(line.value("slot").toString() + ' ' + line.value("status").toString());
        return found;
    }

private:
    QTemporaryDir dir_;
    std::map<QString, std::unique_ptr<Board>> boards_;
    QHash<QString, QString> serials_;
};

// What a person calls the colour: how the tile reads without its word.
QString colourName(const QColor &colour)
{
    const int hue = colour.hslHue();
    return colour.hslSaturation() < 40 ? QStringLiteral("grey")
           : hue < 20 || hue > 340     ? QStringLiteral("red")
           : hue < 70                  ? QStringLiteral("amber")
           : hue < 170                 ? QStringLiteral("green")
                                       : QStringLiteral("blue");
}

// WCAG's relative luminance; two colours' contrast is (L1 + 0.05) / (L2 + 0.05).
double luminance(const QColor &colour)
{
    const auto linear = [](double c) {
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
           0.0722 * linear(colour.blueF());
}

} // namespace

class TestStationWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { QSettings().clear(); }
    void tileLooks_data();
    void tileLooks();
    void tilesFollowTheBoards();
    void pauseHoldsNewBoards();
    void closingWithUploadsInFlight();
    void imageChoice_data();
    void imageChoice();
    void startedFromTheCommandLineAndTerminated();
};

void TestStationWindow::tileLooks_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("skipped");
    QTest::addColumn<bool>("lastOk");
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("colour");
    using State = Slot::State;
    const auto row = [](const char *name, State state, const char *skipped, bool lastOk,
                        const char *word, const char *colour) {
        QTest::newRow(name) << int(state) << skipped << lastOk << word << colour;
    };
    row("seen", State::Settling, "", false, "WAITING", "grey");
    row("paused", State::Settling, "paused", false, "PAUSED", "amber");
    row("no match", State::Settling, "not a match", false, "SKIPPED", "amber");
    row("flashing", State::Flashing, "", false, "FLASHING", "blue");
    row("ok", State::Done, "", true, "OK", "green");
    row("failed", State::Done, "", false, "FAILED", "red");
    row("gone", State::Empty, "", true, "UNPLUGGED", "grey");
}

void TestStationWindow::tileLooks()
{
    QFETCH(int, state);
    QFETCH(QString, skipped);
    QFETCH(bool, lastOk);
    QFETCH(QString, word);
    QFETCH(QString, colour);
    Slot slot;
    slot.state = Slot::State(state);
    slot.skipped = skipped;
    slot.lastOk = lastOk;
    SlotTile tile(QStringLiteral("usb-1"));
    tile.showSlot(slot);
    QCOMPARE(tile.word(), word);
    // What is painted: the corner is background.
    const QColor painted = tile.grab().toImage().pixelColor(SlotTile::Width - 3, 3);
    QCOMPARE(colourName(painted), colour);
    const double back = luminance(painted);
    const double text = luminance(SlotTile::coloursOf(tile.tone()).text);
    QVERIFY2((qMax(back, text) + 0.05) / (qMin(back, text) + 0.05) >= 4.5, "readable text");
}

void TestStationWindow::tilesFollowTheBoards()
{
    Fixture fixture;
    const auto window = fixture.startedWindow();
    window->show();
    fixture.plug("port-10", boardThat(0, 2));
    fixture.plug("port-2");
    Board &slow = fixture.plug("port-1", boardThat(60));
    TileGrid *grid = window->grid();
    QTRY_VERIFY_WITH_TIMEOUT(grid->tile("port-10") && grid->tile("port-2"), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(grid->tile("port-2")->word(), "OK", 10000);
    QTRY_COMPARE_WITH_TIMEOUT(grid->tile("port-10")->word(), "FAILED", 10000);
    QTRY_VERIFY_WITH_TIMEOUT(slow.sim.counters().dataBlocks >= 6, 10000);
    SlotTile *flashing = grid->tile("port-1");
    QTRY_VERIFY(flashing->detailText().contains(" KiB/s"));
    QCOMPARE(flashing->word(), "FLASHING");
    QVERIFY(flashing->progress() > 0);
    // Laid out in slot order, numbers counted as numbers.
    QVERIFY(flashing->x() < grid->tile("port-2")->x());
    QVERIFY(grid->tile("port-2")->x() < grid->tile("port-10")->x());
    QCOMPARE(grid->tile("port-2")->serialText(), QStringLiteral("SN SN-port-2"));

    // The failed board stays red, with its reason, until it is taken out.
    SlotTile *failed = grid->tile("port-10");
    QTRY_COMPARE_WITH_TIMEOUT(flashing->word(), "OK", 20000);
    QCOMPARE(failed->word(), "FAILED");
    QVERIFY(failed->detailText().contains("cancel"));
    QVERIFY(failed->toolTip().contains("\"status\": \"cancelled\""));
    QTest::mouseClick(failed, Qt::LeftButton);
    auto *box = failed->findChild<QMessageBox *>();
    QVERIFY(box && box->detailedText().contains("SN-port-10"));
    fixture.pull("port-10");
    QTRY_COMPARE(failed->word(), "UNPLUGGED");
    QVERIFY(failed->detailText().startsWith("last: FAILED"));
    // Its slot is armed again: the next board there is flashed.
    fixture.plug("port-10");
    QTRY_COMPARE_WITH_TIMEOUT(failed->word(), "OK", 10000);
    QCOMPARE(fixture.statuses(),
             QStringList({"port-10 cancelled", "port-2 ok", "port-1 ok", "port-10 ok"}));
    QTRY_VERIFY(window->findChild<QLabel *>("counts")->text().startsWith("ok 3 · failed 1"));

    // The image rebuilt meanwhile is noticed; the last choices are remembered.
    auto *warning = window->findChild<QLabel *>("imageWarning");
    QVERIFY(warning->isHidden() && window->findChild<QLabel *>("recordError")->isHidden());
    fixture.writeImage(makeImage(30 * 1024));
    QTRY_VERIFY(!warning->isHidden());
    Window next{StationConfig{}};
    next.restoreChoices();
    QCOMPARE(next.image().data.size(), 30 * 1024);
    QCOMPARE(next.folder(), fixture.slotFolder());
}

void TestStationWindow::pauseHoldsNewBoards()
{
    Fixture fixture;
    const auto window = fixture.startedWindow();
    window->setPaused(true);
    Board &board = fixture.plug("port-1");
    QTRY_VERIFY(window->grid()->tile("port-1"));
    QTRY_COMPARE(window->grid()->tile("port-1")->word(), "PAUSED");
    QTest::qWait(200);
    QCOMPARE(board.sim.counters().bytesRead, 0);
    window->setPaused(false);
    QTRY_COMPARE_WITH_TIMEOUT(window->grid()->tile("port-1")->word(), "OK", 10000);
}

void TestStationWindow::closingWithUploadsInFlight()
{
    Fixture fixture;
    const auto window = fixture.startedWindow();
    window->show();
    Board &board = fixture.plug("port-1", boardThat(60));
    QTRY_VERIFY_WITH_TIMEOUT(board.sim.counters().dataBlocks >= 2, 10000);
    window->stopWhenAsked = false;
    window->close();
    QTest::qWait(300);
    QVERIFY(window->isVisible());
    QCOMPARE(window->station()->inFlight(), 1);
    window->stopWhenAsked = true;
    window->close();
    QCOMPARE(window->asked, 2);
    QTRY_VERIFY(!window->isVisible());
    QTRY_COMPARE(board.sim.phase(), BootloaderSim::Phase::Cancelled);
    QCOMPARE(fixture.statuses(), QStringList{"port-1 stopped"});
}

void TestStationWindow::imageChoice_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("complaint");
    QTest::newRow("an image") << makeImage(3000) << QString();
    QTest::newRow("wrong signature") << QByteArray(3000, 'x') << "Not a valid file";
    QTest::newRow("too short") << QByteArray::fromHex("0040") << "Not a valid file";
    QTest::newRow("no such file") << QByteArray() << "file cannot open";
}

void TestStationWindow::imageChoice()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, complaint);
    Fixture fixture;
    bytes.isEmpty() ? void(QFile::remove(fixture.image())) : fixture.writeImage(bytes);
    Window window(StationConfig{});
    QCOMPARE(window.chooseImage(fixture.image()), complaint.isEmpty());
    QCOMPARE(window.complaints, complaint.isEmpty() ? QStringList() : QStringList{complaint});
    const QString sha = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    QCOMPARE(window.findChild<QLabel *>("image")->text(),
             complaint.isEmpty() ? "app.kvt · 2.9 KiB (3000 bytes) · sha256 " + sha.left(12)
                                 : QStringLiteral("none chosen"));
}

// Started with arguments, the station runs at once; SIGTERM stops the boards
// in flight as closing does, without asking.
void TestStationWindow::startedFromTheCommandLineAndTerminated()
{
    Fixture fixture;
    QTemporaryDir config;
    QProcess app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", config.path());
    app.setProcessEnvironment(environment);
    app.start(KVT_STATION_BINARY, {fixture.image(), "--watch", fixture.slotFolder(), "--record",
                                   fixture.record(), "--settle", "30"});
    QVERIFY(app.waitForStarted());
    Board &board = fixture.plug("port-1");
    QTRY_VERIFY_WITH_TIMEOUT(board.sim.counters().bytesRead > 0, 10000);
    ::kill(app.processId(), SIGTERM);
    QVERIFY(app.waitForFinished(10000));
    QCOMPARE(app.exitCode(), 130);
    QCOMPARE(fixture.statuses(), QStringList{"port-1 stopped"});
    QCOMPARE(QSettings(config.filePath("KVT/kvt-station.conf"), QSettings::IniFormat)
                 .value("station/folder"),
             fixture.slotFolder());
}

QTEST_MAIN(TestStationWindow)
#include "tst_stationwindow.moc"
