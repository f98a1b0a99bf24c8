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
    void everyOptionReachesTheEngine()
    {
        QTemporaryFile labels;
        QVERIFY(labels.open() &&
                labels.write("# fixture 3\n/dev/serial/by-path/usb-0:1.4 C4\n") > 0);
        labels.close();
        const QStringList options{"--labels",        labels.fileName(),
                                  "--match",         "0403:6015",
                                  "--record",        "/tmp/r.jsonl",
                                  "--station",       "line9",
                                  "--settle",        "123",
                                  "--retries",       "7",
                                  "--lead-in",       "2000,300",
                                  "--reply-limit",   "900",
                                  "--expect",        "SN=(\\w+)",
                                  "--expect-within", "5"};
        const QStringList flags{"--require-scan", "--released-only"};
        const flash::CommandLine flashLine = flash::parseCommandLine(
            QStringList{"kvt-flash", "app.kvt", "--watch", "/tmp/slots"} + options + flags);
        QCOMPARE(flashLine.error, QString());
        const station::StationOptions stationLine =
            station::parseStationOptions(QStringList{"kvt-station", "app.kvt"} + options + flags);
        QCOMPARE(stationLine.error, QString());
        for (const station::StationConfig &config :
             {flash::stationConfig(flashLine), station::stationConfig(stationLine)}) {
            QCOMPARE(config.labels.value("usb-0:1.4"), QStringLiteral("C4"));
            QCOMPARE(config.matches, QStringList{"0403:6015"});
            QCOMPARE(config.recordPath, QStringLiteral("/tmp/r.jsonl"));
            QCOMPARE(config.stationName, QStringLiteral("line9"));
            QCOMPARE(config.settleMs, 123);
            QCOMPARE(config.upload.retries, 7);
            QCOMPARE(config.upload.timing.firstPause, 2000);
            QCOMPARE(config.upload.timing.secondPause, 300);
            QCOMPARE(config.upload.timing.replyLimit, 900);
            QCOMPARE(config.boot.pattern.pattern(), QStringLiteral("SN=(\\w+)"));
            QCOMPARE(config.boot.withinMs, 5000);
            QVERIFY(config.requireScan && config.releasedOnly);
        }
        const QString flashHelp = flash::helpText();
        const QString stationHelp = station::stationHelpText();
        for (const QString &option : options + flags + QStringList{"--no-record"})
            QVERIFY2(!option.startsWith("--") ||
                         (flashHelp.contains(option) && stationHelp.contains(option)),
                     qPrintable(option));
        QVERIFY(!flashHelp.contains("timing-scale") && !stationHelp.contains("timing-scale"));
    }
    // The defaults the README and both helps promise, as the engine gets them
    // from a command line that names none: kvt-flash on given ports, kvt-flash
    // --watch and kvt-station.
    void documentedDefaults()
    {
        const flash::CommandLine ports =
            flash::parseCommandLine({"kvt-flash", "app.kvt", "--port", "ttyUSB0"});
        const flash::CommandLine watch =
            flash::parseCommandLine({"kvt-flash", "app.kvt", "--watch"});
        const station::StationOptions window =
            station::parseStationOptions({"kvt-station", "app.kvt"});
        QCOMPARE(ports.error + watch.error + window.error, QString());
        QCOMPARE(watch.watchFolder, QStringLiteral("/dev/serial/by-path"));
        const station::StationConfig configs[] = {flash::stationConfig(watch),
                                                  station::stationConfig(window)};
        for (const station::StationConfig &config : configs)
            QCOMPARE(config.settleMs, 500);
        const ymodem::UploadOptions uploads[] = {ports.upload.uploadOptions(), configs[0].upload,
                                                 configs[1].upload};
        for (const ymodem::UploadOptions &upload : uploads) {
            QCOMPARE(upload.retries, 3);
            QVERIFY(upload.stopOnCancel);
            QCOMPARE(upload.timing.firstPause, 5000); // about 6 s to restart into the bootloader
            QCOMPARE(upload.timing.secondPause, 1000);
            QCOMPARE(upload.timing.replyLimit, 5000);
        }
        QCOMPARE(ports.upload.expectWithinMs, 10000);
    }
    void labelsFile_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("error"); // after the file's name; empty: read
        QTest::newRow("labels with spaces, blanks and comments")
            << QByteArray("\n# entry label\n  a1   Left front \nb2 B\n") << QString();
        QTest::newRow("an entry without its label")
            << QByteArray("a1 A\nb2\n") << " line 2: needs an entry and its label";
        QTest::newRow("an entry named twice")
            << QByteArray("a1 A\na1 B\n") << " line 2: a1 has a label already";
        QTest::newRow("a label given twice")
            << QByteArray("a1 A\nb2 A\n") << " line 2: A is the label of a1 already";
    }
    void labelsFile()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, error);
        QTemporaryFile file;
        QVERIFY(file.open() && file.write(contents) == contents.size());
        file.close();
        const station::StationOptions options =
            station::parseStationOptions({"kvt-station", "app.kvt", "--labels", file.fileName()});
        if (error.isEmpty()) {
            QCOMPARE(options.error, QString());
            const auto labels = station::stationConfig(options).labels;
            QCOMPARE(labels, (QHash<QString, QString>{{"a1", "Left front"}, {"b2", "B"}}));
        } else {
            QVERIFY2(options.error.contains(file.fileName() + error), qPrintable(options.error));
        }
        const QString missing =
            station::parseStationOptions({"kvt-station", "--labels", "/nonexistent/labels"}).error;
        QVERIFY2(missing.contains("cannot read the labels /nonexistent/labels"),
                 qPrintable(missing));
    }
};

QTEST_GUILESS_MAIN(TestOptionSets)
#include "tst_optionsets.moc"
