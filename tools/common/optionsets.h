#pragma once

// The options that kvt-flash and kvt-station share, each defined once with
// its default: how an upload runs, and how a station watches, records and
// names its boards. One parser reads them for every program, and one
// function turns them into the station engine's configuration.

#include "flash/bootproof.h"
#include "station/station.h"
#include "ymodem/upload.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

namespace programs {

// The robust exchange's resends, the tools' default; the window sends none.
constexpr int RobustRetries = 3;

struct UploadSettings
{
    int retries = RobustRetries;
    // The device's pauses after the two command frames and its reply limit.
    qint64 firstPause = ymodem::UploadTiming{}.firstPause;
    qint64 secondPause = ymodem::UploadTiming{}.secondPause;
    qint64 replyLimit = ymodem::UploadTiming{}.replyLimit;
    // Multiplies every pause and limit; hidden, for tests and benchmarks.
    double timingScale = 1.0;
    // --expect: what the new firmware prints once it runs; empty: no proof.
    QString expect;
    qint64 expectWithinMs = flash::BootExpectation{}.withinMs;

    ymodem::UploadOptions uploadOptions() const;
    flash::BootExpectation bootExpectation() const;
};

struct StationSettings
{
    QStringList matches; // "vid:pid", lower-case
    QString recordPath;  // empty: the default record
    bool noRecord = false;
    QString databaseUrl; // empty: the default database
    bool noDatabase = false;
    QString stationName;
    QHash<QString, QString> labels; // from --labels
    int settleMs = station::StationConfig{}.settleMs;
    bool requireScan = false;
    bool releasedOnly = false;
};

class UploadOptionSet
{
public:
    QList<QCommandLineOption> options() const;
    // False with the user's words for a wrong value.
    bool read(const QCommandLineParser &parser, UploadSettings *settings, QString *error) const;

private:
    bool readExpect(const QCommandLineParser &parser, UploadSettings *settings,
                    QString *error) const;

    QCommandLineOption retries_{{"r", "retries"},
                                QStringLiteral("Send a block, EOT or the closing block again, up "
                                               "to N times, when the device answers NAK or does "
                                               "not answer in time (default %1). 0 keeps the "
                                               "exchange exactly as the updater's window "
                                               "performs it.")
                                    .arg(RobustRetries),
                                "N",
                                QString::number(RobustRetries)};
    QCommandLineOption leadIn_{
        "lead-in",
        QStringLiteral("The device's pauses after the first and the second "
                       "command frame, in milliseconds (default %1,%2).")
            .arg(UploadSettings{}.firstPause)
            .arg(UploadSettings{}.secondPause),
        "MS,MS",
        QStringLiteral("%1,%2").arg(UploadSettings{}.firstPause).arg(UploadSettings{}.secondPause)};
    QCommandLineOption replyLimit_{"reply-limit",
                                   QStringLiteral("How long the device may take to answer each "
                                                  "frame of the transfer, in milliseconds "
                                                  "(default %1).")
                                       .arg(UploadSettings{}.replyLimit),
                                   "MS", QString::number(UploadSettings{}.replyLimit)};
    QCommandLineOption timingScale_{"timing-scale", QString(), "FACTOR", "1"};
    QCommandLineOption expect_{
        "expect",
        "Prove that the new firmware runs: after the image is in, keep the port open and wait "
        "for a line the device prints that matches REGEX; the board is ok only then. A named "
        "group board, as in 'SN=(?<board>[0-9A-F]+)', takes the board's own identity into "
        "the record.",
        "REGEX"};
    QCommandLineOption expectWithin_{
        "expect-within",
        QStringLiteral("How long the new firmware may take to print that line, in seconds "
                       "(default %1).")
            .arg(UploadSettings{}.expectWithinMs / 1000),
        "SECONDS", QString::number(UploadSettings{}.expectWithinMs / 1000)};
};

class StationOptionSet
{
public:
    QList<QCommandLineOption> options() const;
    bool read(const QCommandLineParser &parser, StationSettings *settings, QString *error) const;

private:
    QCommandLineOption match_{"match",
                              "Flash only boards on adapters with this USB identity, such as "
                              "0403:6001. Give it once per kind of adapter.",
                              "VID:PID"};
    QCommandLineOption record_{"record",
                               "Append one JSON line per board to FILE (default "
                               "$XDG_STATE_HOME/kvt/records.jsonl).",
                               "FILE"};
    QCommandLineOption noRecord_{"no-record", "Keep no record of the boards."};
    QCommandLineOption database_{"database",
                                 "Also send every record to the database at URL: sqlite:PATH, or "
                                 "postgresql://USER@HOST:PORT/DB (credentials from ~/.pgpass, "
                                 "never the URL). Default sqlite: beside the default record.",
                                 "URL"};
    QCommandLineOption noDatabase_{"no-database", "Send the records to no database."};
    QCommandLineOption stationName_{
        "station", "The station's name in the record (default the host name).", "NAME"};
    QCommandLineOption labels_{"labels",
                               "Call the slots by the fixture's names, from FILE: lines ENTRY "
                               "LABEL, such as 'pci-0000:00:14.0-usb-0:1.4.12:1.0-port0 C4'. "
                               "Records carry the label.",
                               "FILE"};
    QCommandLineOption requireScan_{"require-scan",
                                    "Flash a board only once its label was scanned: a board "
                                    "plugged without a code waits for one."};
    QCommandLineOption releasedOnly_{
        "released-only",
        "Flash only an image the database lists as released (kvt-records release): refuse to "
        "start otherwise, and hold new boards once it is withdrawn."};
    QCommandLineOption settle_{"settle",
                               QStringLiteral("Wait MS milliseconds after a port appears before "
                                              "opening it (default %1).")
                                   .arg(StationSettings{}.settleMs),
                               "MS", QString::number(StationSettings{}.settleMs)};
};

// What the station engine runs with, from the options both programs take.
station::StationConfig stationConfig(const StationSettings &station, const UploadSettings &upload);

} // namespace programs
