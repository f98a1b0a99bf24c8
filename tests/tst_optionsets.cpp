// The options both station programs take: every one reaches the engine from
// either program, and both programs' help lists them.

#include "kvt-flash/commandline.h"
#include "kvt-flash/stationcommand.h"
#include "kvt-station/stationoptions.h"

#include <QtTest>

class TestOptionSets : public QObject
{
    Q_OBJECT

private slots:
    void everyOptionReachesTheEngine();
};

void TestOptionSets::everyOptionReachesTheEngine()
{
    const QStringList options{"--match",       "0403:6015", "--record",  "/tmp/r.jsonl",
                              "--station",     "line9",     "--settle",  "123",
                              "--retries",     "7",         "--lead-in", "2000,300",
                              "--reply-limit", "900"};
    const flash::CommandLine flashLine = flash::parseCommandLine(
        QStringList{"kvt-flash", "app.kvt", "--watch", "/tmp/slots"} + options);
    QCOMPARE(flashLine.error, QString());
    const station::StationOptions stationLine =
        station::parseStationOptions(QStringList{"kvt-station", "app.kvt"} + options);
    QCOMPARE(stationLine.error, QString());
    for (const station::StationConfig &config :
         {flash::stationConfig(flashLine), station::stationConfig(stationLine)}) {
        QCOMPARE(config.matches, QStringList{"0403:6015"});
        QCOMPARE(config.recordPath, QStringLiteral("/tmp/r.jsonl"));
        QCOMPARE(config.stationName, QStringLiteral("line9"));
        QCOMPARE(config.settleMs, 123);
        QCOMPARE(config.upload.retries, 7);
        QCOMPARE(config.upload.timing.firstPause, 2000);
        QCOMPARE(config.upload.timing.secondPause, 300);
        QCOMPARE(config.upload.timing.replyLimit, 900);
    }
    const QString flashHelp = flash::helpText();
    const QString stationHelp = station::stationHelpText();
    for (int i = 0; i < options.size(); i += 2)
        QVERIFY2(flashHelp.contains(options[i]) && stationHelp.contains(options[i]),
                 qPrintable(options[i]));
    QVERIFY(flashHelp.contains("--no-record") && stationHelp.contains("--no-record"));
}

QTEST_GUILESS_MAIN(TestOptionSets)
#include "tst_optionsets.moc"
