// The station's window on the real engine, against simulated boards: each
// board is a simulator on a pseudo-terminal, plugged by a symlink to it in a
// temporary folder and pulled by removing the link.

#include "kvt-station/slottile.h"
#include "kvt-station/stationwindow.h"
#include "kvt-station/tilegrid.h"
#include "kvt-station/tiletext.h"
#include "stationfixture.h"
#include "windowtesting.h"

#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <optional>

Q_DECLARE_METATYPE(station::TileText::Overflow)

using namespace station;
using stationtest::Board;
using stationtest::makeImage;

namespace {

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

class Fixture : public stationtest::Fixture
{
public:
    Fixture() { writeImage(20 * 1024); }

    std::unique_ptr<Window> startedWindow()
    {
        StationConfig base = config();
        base.upload.retries = 0;
        auto window = std::make_unique<Window>(base);
        window->chooseFolder(slotFolder());
        window->chooseRecord(record());
        if (!window->chooseImage(image()) || !window->startStation())
            qWarning() << "the station did not start:" << window->complaints;
        return window;
    }
};

// What a person reads on a tile: its word and what its colour is called.
QString look(SlotTile *tile)
{
    // What is painted: the corner is background.
    const QColor painted = tile->grab().toImage().pixelColor(tile->width() - 3, 3);
    const int hue = painted.hslHue();
    return tile->view().word.toUpper() + ' ' +
           (painted.hslSaturation() < 40 ? "grey"
            : hue < 20 || hue > 340      ? "red"
            : hue < 70                   ? "amber"
            : hue < 170                  ? "green"
                                         : "blue");
}

} // namespace

class TestStationWindow : public QObject
{
    Q_OBJECT

private slots:
    // The window's remembered choices in a folder of this run's own: two
    // runs at once must not clear each other's.
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    }
    void init() { QSettings().clear(); }
    void tilesFollowTheBoards()
    {
        Fixture fixture;
        const auto window = fixture.startedWindow();
        window->show();
        BootloaderSimOptions cancelAt2;
        cancelAt2.cancelAtBlock = 2;
        fixture.plug("port-10", cancelAt2);
        TileGrid *grid = window->grid();
        QTRY_VERIFY_WITH_TIMEOUT(grid->tile("port-10"), 5000);
        SlotTile *failed = grid->tile("port-10");
        QTRY_COMPARE_WITH_TIMEOUT(look(failed), "FAILED red", 10000);
        // Once another board takes the image, the device is what failed.
        fixture.plug("port-2");
        Board &slow = fixture.plug("port-1", 60);
        QTRY_VERIFY_WITH_TIMEOUT(grid->tile("port-2"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(look(grid->tile("port-2")), "OK green", 10000);
        QTRY_COMPARE(failed->view().nextStep, "set the board aside, or plug it again once");
        QTRY_VERIFY_WITH_TIMEOUT(slow.sim.counters().dataBlocks >= 6, 10000);
        SlotTile *flashing = grid->tile("port-1");
        QTRY_VERIFY(!flashing->view().speed.isEmpty());
        QVERIFY(look(flashing) == "FLASHING blue" && flashing->view().percent > 0);
        // Laid out in slot order, numbers counted as numbers.
        QVERIFY(flashing->x() < grid->tile("port-2")->x() &&
                grid->tile("port-2")->x() < failed->x());

        // The failed board stays red until it is taken out; its words are the
        // presenter's (tst_boardview), its record under the pointer.
        QTRY_COMPARE_WITH_TIMEOUT(flashing->view().word, "ok", 20000);
        QCOMPARE(look(failed), "FAILED red");
        QVERIFY(failed->toolTip().contains("\"status\": \"cancelled\""));
        // Out of view, a failed tile is named in a strip above the grid.
        auto *strip = window->findChild<QLabel *>("failedStrip");
        QVERIFY(strip->isHidden());
        grid->setFixedHeight(60); // a screen too small for even the least tiles
        QTRY_VERIFY(!strip->isHidden());
        QVERIFY2(strip->text().contains("href=\"port-10\""), qPrintable(strip->text()));
        grid->setFixedHeight(QWIDGETSIZE_MAX);
        grid->setMinimumHeight(0);
        QTRY_VERIFY(strip->isHidden());
        fixture.pull("port-10");
        QTRY_COMPARE(look(failed), "UNPLUGGED grey");
        // Its slot is armed again: the next board there is flashed.
        fixture.plug("port-10");
        QTRY_COMPARE_WITH_TIMEOUT(failed->view().word, "ok", 10000);
        QTRY_VERIFY(window->findChild<QLabel *>("counts")->text().startsWith("ok 3 · failed 1"));

        // The image on disk is told as its writer left it: rebuilt (never half
        // written: the copy outlasts a quiet time, each pause well within
        // one), removed, put back (then no longer); the last one chosen is
        // remembered.
        auto *warning = window->findChild<QLabel *>("imageWarning");
        QVERIFY(warning->isHidden() && window->findChild<QLabel *>("recordError")->isHidden());
        QFile rebuilt(fixture.image());
        QVERIFY(rebuilt.open(QIODevice::WriteOnly));
        const QByteArray bytes = makeImage(30 * 1024);
        for (int at = 0; at < bytes.size(); at += bytes.size() / 8) {
            QTest::qWait(ImageWatch::QuietMs / 5);
            QVERIFY(rebuilt.write(bytes.mid(at, bytes.size() / 8)) > 0 && rebuilt.flush());
        }
        QTRY_VERIFY(!warning->isHidden());
        QVERIFY2(warning->text().contains(testdata::sha256Of(bytes).left(12)),
                 qPrintable(warning->text()));
        QVERIFY(rebuilt.remove());
        QTRY_VERIFY2(warning->text().contains("is gone from the disk"),
                     qPrintable(warning->text()));
        fixture.writeImage(20 * 1024);
        QTRY_VERIFY(warning->isHidden());
        // A record that can no longer be written: a banner says why, and the
        // next board counts as not recorded. How the engine holds:
        // tst_stationrecord; the tile's words: tst_boardview.
        QVERIFY(QFile::remove(fixture.record()) && QFile::link("/dev/full", fixture.record()));
        fixture.plug("port-3");
        auto *banner = window->findChild<QLabel *>("recordError");
        QTRY_VERIFY_WITH_TIMEOUT(!banner->isHidden(), 10000);
        QVERIFY2(banner->text().contains("the record cannot be written"),
                 qPrintable(banner->text()));
        QTRY_VERIFY(window->findChild<QLabel *>("counts")->text().contains("not recorded 1"));
        Window next{StationConfig{}};
        next.restoreChoices();
        const QString restored = next.findChild<QLabel *>("image")->text();
        QVERIFY2(restored.startsWith("app.kvt · 20.0 KiB (20480 "), qPrintable(restored));
    }
    // Paused, the station holds a new board; resumed, it flashes it; closing
    // then asks, and stops the upload only when told to (CAN CAN to the device:
    // tst_station's boardsInFlight, tst_stationrecord's endsOfAStation).
    void pausedThenClosedWithUploadsInFlight()
    {
        Fixture fixture;
        const auto window = fixture.startedWindow();
        window->show();
        // F11 goes to full screen and back; Escape only leaves it.
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        for (const Qt::Key key :
             {Qt::Key_F11, Qt::Key_F11, Qt::Key_Escape, Qt::Key_F11, Qt::Key_Escape}) {
            const bool wasFullScreen = window->isFullScreen();
            QTest::keyClick(window.get(), key);
            QCOMPARE(window->isFullScreen(), key == Qt::Key_F11 && !wasFullScreen);
        }
        window->setPaused(true);
        Board &board = fixture.plug("port-1", 60);
        QTRY_VERIFY(window->grid()->tile("port-1"));
        QTRY_COMPARE(look(window->grid()->tile("port-1")), "PAUSED amber");
        QTest::qWait(200);
        QCOMPARE(board.sim.counters().bytesRead, 0);
        window->setPaused(false);
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
        QCOMPARE(stationtest::statusesOf(fixture.record()), QStringList{"stopped"});
    }
    // A file that is no image, given (as the command line does) then picked with
    // Image…, is named with why, and the image chosen before is let go: Start
    // must not flash what the operator chose to replace. A missing one given on
    // the command line: startedFromTheCommandLineAndEnded.
    void anImageThatDoesNotLoad()
    {
        Fixture fixture;
        Window window{fixture.config()};
        const QString bad = fixture.folder() + "/bad.kvt";
        QVERIFY(testdata::writeFile(bad, makeImage(4096, "\177ELF")));
        QVERIFY(!window.chooseImage(bad));
        QVERIFY(window.chooseImage(fixture.image()));
        ModalAnswerer answerer;
        answerer.fileAnswers = QStringList{bad};
        for (QPushButton *button : window.findChildren<QPushButton *>())
            if (button->text() == QStringLiteral("Image…"))
                button->click();
        QVERIFY2(window.complaints.size() == 2 &&
                     window.complaints[1].startsWith(bad + ": not a firmware image"),
                 qPrintable(window.complaints.join('\n')));
        QVERIFY(!window.image().isLoaded() && !window.startStation());
        QCOMPARE(window.findChild<QLabel *>("image")->text(), "none: " + window.complaints[1]);
        Window next{StationConfig{}};
        next.restoreChoices();
        QVERIFY(!next.image().isLoaded());
    }
    // Tiles placed anew as the window is dragged smaller, then larger: what the
    // screen shows (the window's pixels, not a fresh rendering) has no piece of
    // a tile outside the tiles.
    void noPieceOfATileLeftAfterAResize()
    {
        Fixture fixture;
        const auto window = fixture.startedWindow();
        window->resize(1280, 800);
        window->show();
        for (int slot = 1; slot <= 9; ++slot)
            fixture.plug(QStringLiteral("port-%1").arg(slot));
        TileGrid *grid = window->grid();
        QTRY_VERIFY_WITH_TIMEOUT(window->station()->counts().ok == 9, 10000);
        for (const QSize to : {QSize(560, 420), QSize(1280, 800)}) {
            const QSize from = window->size();
            for (int step = 1; step <= 10; ++step) {
                window->resize(from + (to - from) * step / 10);
                QTest::qWait(20);
            }
            QTest::qWait(200);
            const QImage shown = window->screen()->grabWindow(window->winId()).toImage();
            QRegion tiles;
            for (SlotTile *tile : grid->findChildren<SlotTile *>())
                tiles += QRect(tile->mapTo(window.get(), QPoint(0, 0)), tile->size());
            const QRect area(grid->mapTo(window.get(), QPoint(0, 0)), grid->size());
            const QColor ok = SlotTile::coloursOf(programs::Tone::Ok).background;
            int stale = 0;
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x)
                    stale += !tiles.contains(QPoint(x, y)) && shown.pixelColor(x, y) == ok;
            QVERIFY2(stale == 0, qPrintable(QString("%1 stale pixels at %2x%3")
                                                .arg(stale)
                                                .arg(to.width())
                                                .arg(to.height())));
        }
    }
    void tileTextFitsItsRoom_data()
    {
        using Overflow = TileText::Overflow;
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("maxLines");
        QTest::addColumn<Overflow>("overflow");
        QTest::addColumn<bool>("cut");
        const QString step = "plug it again once";
        QTest::newRow("long name: its end")
            << "pci-0000:00:14.0-usb-0:1.4:1.0" << 140 << 1 << Overflow::ElideLeft << true;
        QTest::newRow("on two lines") << step << 140 << 2 << Overflow::ElideRight << false;
        // The same text on a narrower tile: laid out anew, not as it was.
        QTest::newRow("narrower, cut") << step << 40 << 2 << Overflow::ElideRight << true;
        QTest::newRow("one word too long")
            << QString(40, 'W') << 140 << 2 << Overflow::ElideRight << true;
        QTest::newRow("word set smaller")
            << "NOT RECORDED" << 100 << 1 << Overflow::Shrink << false;
    }

    void tileTextFitsItsRoom()
    {
        QFETCH(QString, text);
        QFETCH(int, width);
        QFETCH(int, maxLines);
        QFETCH(TileText::Overflow, overflow);
        static TileText shown; // one tile's, kept from row to row as a tile keeps it
        QFont font;
        font.setPixelSize(16);
        const QTextLayout &layout = shown.laidOut(text, font, width, maxLines, overflow);
        QVERIFY(layout.lineCount() <= maxLines);
        for (int i = 0; i < layout.lineCount(); ++i)
            QVERIFY(layout.lineAt(i).naturalTextWidth() <= width);
        const QString whole = layout.text().remove(QChar(0x2026));
        QTEST(whole != layout.text(), "cut");
        QVERIFY(overflow == TileText::Overflow::ElideLeft ? text.endsWith(whole)
                                                          : text.startsWith(whole.trimmed()));
        QCOMPARE(layout.font().pixelSize() < font.pixelSize(),
                 overflow == TileText::Overflow::Shrink);
        shown.forgetUnused();
    }

    void startedFromTheCommandLineAndEnded_data()
    {
        QTest::addColumn<int>("signal");    // 0: the display goes away
        QTest::addColumn<bool>("badImage"); // complained of in a dialog when the signal comes
        QTest::newRow("the display went away") << 0 << false;
        QTest::newRow("SIGTERM while a bad image is complained of") << int(SIGTERM) << true;
    }
    // Started with arguments, the station runs at once; SIGTERM, SIGHUP or a
    // lost display stop the boards in flight as closing does, without asking,
    // and close a dialog that is open.
    void startedFromTheCommandLineAndEnded()
    {
        QFETCH(int, signal);
        QFETCH(bool, badImage);
        Fixture fixture;
        QTemporaryDir config;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", config.path()); // the program's settings go there
        std::optional<Display> display;                       // only for the row that takes it away
        if (signal == 0) {
            display.emplace();
            if (!display->isUp())
                QSKIP("needs Xvfb");
            environment.insert("QT_QPA_PLATFORM", "xcb");
            environment.insert("DISPLAY", display->name());
        }
        stationtest::Program app;
        app.process.setProcessEnvironment(environment);
        const QString image = badImage ? fixture.folder() + "/missing.kvt" : fixture.image();
        app.start(KVT_STATION_BINARY, {image, "--watch", fixture.slotFolder(), "--record",
                                       fixture.record(), "--settle", "30"});
        QByteArray err; // the complaint is written there before its dialog opens
        Board *board = badImage ? nullptr : &fixture.plug("port-1");
        QTRY_VERIFY_WITH_TIMEOUT(board ? board->sim.counters().bytesRead > 0
                                       : (err += app.process.readAllStandardError())
                                             .contains((image + ": no such file").toUtf8()),
                                 10000);
        if (signal == 0)
            display->stop();
        QCOMPARE(app.end(signal), 130);
        QCOMPARE(stationtest::statusesOf(fixture.record()),
                 badImage ? QStringList() : QStringList{"stopped"});
    }

private:
    QTemporaryDir settings;
};

QTEST_MAIN(TestStationWindow)
#include "tst_stationwindow.moc"
