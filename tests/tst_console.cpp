// kvt-flash's views of the station in-process, against simulated boards:
// the log's lines and the terminal's picture, each from the same boards.

#include "kvt-flash/console.h"
#include "kvt-flash/terminalpicture.h"
#include "kvt-flash/terminalview.h"
#include "stationfixture.h"

using namespace station;
using namespace stationtest;

class TestConsole : public QObject
{
    Q_OBJECT

private slots:
    void viewsOfOneStation();
};

void TestConsole::viewsOfOneStation()
{
    Fixture fixture;
    BootloaderSimOptions cancels;
    cancels.cancelAtBlock = 2;
    fixture.plug("usb-0:1.10", cancels);
    for (int i = 1; i <= 5; ++i)
        fixture.plug(QStringLiteral("usb-0:1.%1").arg(i));
    Station station(fixture.config(), makeImage(5000));
    QString logText, errText;
    QTextStream log(&logText), err(&errText);
    flash::Console logView(station, flash::Console::Mode::Log, log, err);
    QString why;
    QVERIFY2(station.start(&why), qPrintable(why));
    logView.started();
    QTRY_COMPARE_WITH_TIMEOUT(station.counts().ok + station.counts().failed, 6, 20000);

    // The log: a line per event; a failed board's says what to do, the
    // failure is also on the error stream.
    QVERIFY2(logText.contains("usb-0:1.3: plugged: "), qPrintable(logText));
    QCOMPARE(logText.count(" ok after "), 5);
    QVERIFY2(logText.contains(QRegularExpression(
                 "usb-0:1.10: failed after [0-9.]+ m?s: the device cancelled .*\\(.*\\)")),
             qPrintable(logText));
    QVERIFY(errText.contains("kvt-flash: usb-0:1.10: the device cancelled"));
    // The JSON events of the same boards: tst_flash and tst_stationrecord,
    // from the program.

    // The terminal: the header, then the failed board first, its next step on
    // a line of its own and never cut; as many as the rows hold; the state
    // words coloured where there is colour.
    QString screen;
    QTextStream terminalOut(&screen);
    flash::ScreenSize size{60, 8, false};
    flash::TerminalView terminal(station, terminalOut, [&size] { return size; });
    QStringList lines = terminal.lines();
    QCOMPARE(lines.size(), 8);
    QVERIFY2(lines[0].contains("ok 5 · failed 1"), qPrintable(lines[0]));
    QVERIFY2(lines[2].startsWith("1.10 FAILED       the device cancelled"), qPrintable(lines[2]));
    QCOMPARE(lines[3].trimmed(), QStringLiteral("→ set the board aside, or plug it again once"));
    QCOMPARE(lines.last(), QStringLiteral("+2 more"));
    for (const QString &line : lines)
        QVERIFY2(line.size() < size.columns, qPrintable(line));
    size = {30, 0, true}; // narrow, with colour: the next step wraps, never cut
    lines = terminal.lines();
    QVERIFY2(lines[2].contains("\x1b[1;31mFAILED\x1b[0m"), qPrintable(lines[2]));
    QCOMPARE(lines.mid(3, 2).join(' ').simplified(),
             QStringLiteral("→ set the board aside, or plug it again once"));
    QCOMPARE(lines.size(), 2 + 6 + 2);
}

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
