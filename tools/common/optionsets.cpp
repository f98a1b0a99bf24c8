#include "optionsets.h"

#include "flash/portflasher.h"
#include "records/journal.h"
#include "station/recordfile.h"
#include "station/slotlabels.h"

#include <QRegularExpression>

namespace programs {

namespace {

constexpr int MaxRetries = 100;
constexpr qint64 MaxMilliseconds = 600000;
constexpr int MaxSettleMs = 60000;
constexpr double MaxTimingScale = 10;

// A whole number of milliseconds from 1 to 10 minutes.
bool readMilliseconds(const QString &text, qint64 &value)
{
    bool ok = false;
    value = text.trimmed().toLongLong(&ok);
    return ok && value >= 1 && value <= MaxMilliseconds;
}

bool fail(QString *error, const QString &why)
{
    *error = why;
    return false;
}

} // namespace

ymodem::UploadOptions UploadSettings::uploadOptions() const
{
    ymodem::UploadOptions options;
    options.retries = retries;
    options.stopOnCancel = true;
    options.timing.firstPause = firstPause;
    options.timing.secondPause = secondPause;
    options.timing.replyLimit = replyLimit;
    if (timingScale != 1.0)
        options.timing = flash::scaledTiming(options.timing, timingScale);
    return options;
}

flash::BootExpectation UploadSettings::bootExpectation() const
{
    flash::BootExpectation boot;
    if (!expect.isEmpty())
        boot.pattern = QRegularExpression(expect);
    boot.withinMs = expectWithinMs;
    return boot;
}

QList<QCommandLineOption> UploadOptionSet::options() const
{
    QCommandLineOption hidden = timingScale_;
    hidden.setFlags(QCommandLineOption::HiddenFromHelp);
    return {retries_, leadIn_, replyLimit_, expect_, expectWithin_, hidden};
}

// A pattern the device's line is matched with, and a time from 1 s to an hour.
bool UploadOptionSet::readExpect(const QCommandLineParser &parser, UploadSettings *settings,
                                 QString *error) const
{
    settings->expect = parser.value(expect_);
    const QRegularExpression pattern(settings->expect);
    if (parser.isSet(expect_) && (settings->expect.isEmpty() || !pattern.isValid()))
        return fail(error,
                    QStringLiteral("--expect needs a regular expression, not '%1'%2")
                        .arg(settings->expect, pattern.isValid()
                                                   ? QString()
                                                   : QStringLiteral(": ") + pattern.errorString()));
    bool ok = false;
    const double seconds = parser.value(expectWithin_).toDouble(&ok);
    if (!ok || !(seconds >= 1) || seconds > 3600)
        return fail(error, QStringLiteral("--expect-within needs seconds from 1 to 3600, not '%1'")
                               .arg(parser.value(expectWithin_)));
    if (parser.isSet(expectWithin_) && !parser.isSet(expect_))
        return fail(error, QStringLiteral("--expect-within goes with --expect"));
    settings->expectWithinMs = qint64(seconds * 1000);
    return true;
}

bool UploadOptionSet::read(const QCommandLineParser &parser, UploadSettings *settings,
                           QString *error) const
{
    bool ok = false;
    settings->retries = parser.value(retries_).toInt(&ok);
    if (!ok || settings->retries < 0 || settings->retries > MaxRetries)
        return fail(error, QStringLiteral("--retries needs a whole number from 0 to %1, not '%2'")
                               .arg(MaxRetries)
                               .arg(parser.value(retries_)));
    const QStringList pauses = parser.value(leadIn_).split(QLatin1Char(','));
    if (pauses.size() != 2 || !readMilliseconds(pauses[0], settings->firstPause) ||
        !readMilliseconds(pauses[1], settings->secondPause))
        return fail(error, QStringLiteral("--lead-in needs two pauses in milliseconds, such as "
                                          "5000,1000 (each 1 to %1), not '%2'")
                               .arg(MaxMilliseconds)
                               .arg(parser.value(leadIn_)));
    if (!readMilliseconds(parser.value(replyLimit_), settings->replyLimit))
        return fail(error, QStringLiteral("--reply-limit needs milliseconds from 1 to %1, not '%2'")
                               .arg(MaxMilliseconds)
                               .arg(parser.value(replyLimit_)));
    settings->timingScale = parser.value(timingScale_).toDouble(&ok);
    if (!ok || !(settings->timingScale > 0) || settings->timingScale > MaxTimingScale)
        return fail(error, QStringLiteral("--timing-scale needs a factor above 0, at most %1")
                               .arg(MaxTimingScale));
    return readExpect(parser, settings, error);
}

QList<QCommandLineOption> StationOptionSet::options() const
{
    return {match_,       record_,      noRecord_,     database_, noDatabase_,
            stationName_, requireScan_, releasedOnly_, labels_,   settle_};
}

bool StationOptionSet::read(const QCommandLineParser &parser, StationSettings *settings,
                            QString *error) const
{
    static const QRegularExpression usbId(QStringLiteral("^[0-9a-fA-F]{4}:[0-9a-fA-F]{4}$"));
    for (const QString &id : parser.values(match_)) {
        if (!usbId.match(id).hasMatch())
            return fail(
                error,
                QStringLiteral("--match needs a USB identity such as 0403:6001, not '%1'").arg(id));
        settings->matches.append(id.toLower());
    }
    if (parser.isSet(record_) && parser.isSet(noRecord_))
        return fail(error, QStringLiteral("--record and --no-record exclude each other"));
    settings->recordPath = parser.value(record_);
    settings->noRecord = parser.isSet(noRecord_);
    if (parser.isSet(database_) && parser.isSet(noDatabase_))
        return fail(error, QStringLiteral("--database and --no-database exclude each other"));
    settings->databaseUrl = parser.value(database_);
    settings->noDatabase = parser.isSet(noDatabase_);
    settings->stationName = parser.value(stationName_);
    settings->requireScan = parser.isSet(requireScan_);
    settings->releasedOnly = parser.isSet(releasedOnly_);
    if (settings->releasedOnly && settings->noDatabase)
        return fail(error, QStringLiteral("--released-only needs the database that lists the "
                                          "releases: it excludes --no-database"));
    if (parser.isSet(labels_) &&
        !station::readSlotLabels(parser.value(labels_), &settings->labels, error))
        return false;
    bool ok = false;
    settings->settleMs = parser.value(settle_).toInt(&ok);
    if (!ok || settings->settleMs < 0 || settings->settleMs > MaxSettleMs)
        return fail(error, QStringLiteral("--settle needs milliseconds from 0 to %1, not '%2'")
                               .arg(MaxSettleMs)
                               .arg(parser.value(settle_)));
    return true;
}

station::StationConfig stationConfig(const StationSettings &station, const UploadSettings &upload)
{
    station::StationConfig config;
    config.settleMs = station.settleMs;
    config.matches = station.matches;
    config.stationName = station.stationName;
    config.requireScan = station.requireScan;
    config.releasedOnly = station.releasedOnly;
    // The hidden scale speeds the release's watch up with every other wait.
    config.releaseCheckMs = qMax(1, int(config.releaseCheckMs * upload.timingScale));
    config.labels = station.labels;
    if (!station.noRecord)
        config.recordPath =
            station.recordPath.isEmpty() ? station::RecordFile::defaultPath() : station.recordPath;
    if (!station.noDatabase)
        config.databaseUrl =
            station.databaseUrl.isEmpty() ? records::defaultDatabaseUrl() : station.databaseUrl;
    config.upload = upload.uploadOptions();
    config.boot = upload.bootExpectation();
    return config;
}

} // namespace programs
