// A soak of the station as a line runs it: `kvt-flash --watch` with eight
// slots for minutes, each board plugged, flashed and pulled, now and then
// pulled mid-flash, and the factory's PostgreSQL stopped for the middle third
// and started again. What has to hold: every plug ends in one record in the
// journal and one row in the database, and every board told ok holds the
// image byte for byte.

#include "common.h"
#include "figures.h"
#include "throwawaypostgres.h"

#include "records/databaseurl.h"
#include "sim/boardfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>

namespace bench {

namespace {

constexpr int Slots = 8;
constexpr int PullMidFlashEvery = 7; // every seventh plug is pulled half way

struct Tally
{
    int plugs = 0;     // entries made that the station took as boards
    int results = 0;   // result lines
    int ok = 0;        // ... that said ok
    int identical = 0; // ok boards holding the image byte for byte
    int pulledHalfWay = 0;
};

class Soak : public QObject
{
public:
    Soak(const Config &config, const QString &databaseUrl)
        : config_(config), databaseUrl_(databaseUrl), image_(firmwareImage(16 * 1024))
    {}

    ~Soak() override
    {
        station_.disconnect(this);
        station_.terminate();
        station_.waitForFinished(10000);
    }

    bool run(qint64 durationMs, ThrowawayPostgres &postgres, QString *error);
    const Tally &tally() const { return tally_; }
    QString journal() const { return fixture_.folder() + QStringLiteral("/journal.jsonl"); }

private:
    void plug(const QString &slot);
    void readLines();
    void onResult(const QJsonObject &result);

    const Config &config_;
    const QString databaseUrl_;
    const QByteArray image_;
    sim::BoardFolder fixture_;
    QProcess station_;
    QByteArray pending_;
    Tally tally_;
    bool plugging_ = true;
};

void Soak::plug(const QString &slot)
{
    if (!plugging_)
        return;
    BootloaderSimOptions options;
    options.paceBaud = config_.paceBaud;
    options.cIntervalMs = 50;
    sim::Board &board = fixture_.plug(slot, options);
    ++tally_.plugs;
    if (tally_.plugs % PullMidFlashEvery == 0) {
        QObject::connect(&board.sim, &BootloaderSim::blockReceived, this, [this, slot](int count) {
            if (count == 3)
                fixture_.pull(slot);
        });
    }
}

void Soak::readLines()
{
    pending_ += station_.readAllStandardOutput();
    for (int end = pending_.indexOf('\n'); end >= 0; end = pending_.indexOf('\n')) {
        const QJsonObject line = QJsonDocument::fromJson(pending_.left(end)).object();
        pending_.remove(0, end + 1);
        if (line.value(QLatin1String("event")).toString() == QLatin1String("result"))
            onResult(line);
    }
}

// The board is looked at, pulled, and a new one plugged in its slot.
void Soak::onResult(const QJsonObject &result)
{
    const QString slot = result.value(QLatin1String("slot")).toString();
    ++tally_.results;
    if (result.value(QLatin1String("status")).toString() == QLatin1String("ok")) {
        ++tally_.ok;
        tally_.identical += fixture_.board(slot).sim.receivedImage() == image_ ? 1 : 0;
    } else if (result.value(QLatin1String("status")).toString() == QLatin1String("unplugged")) {
        ++tally_.pulledHalfWay;
    }
    fixture_.pull(slot);
    QTimer::singleShot(100, this, [this, slot] { plug(slot); });
}

bool Soak::run(qint64 durationMs, ThrowawayPostgres &postgres, QString *error)
{
    const QString image = fixture_.folder() + QStringLiteral("/app.kvt");
    writeFile(image, image_);
    connect(&station_, &QProcess::readyReadStandardOutput, this, &Soak::readLines);
    station_.setStandardErrorFile(fixture_.folder() + QStringLiteral("/station.err"));
    station_.start(config_.flashTool, {image, "--watch", fixture_.slotFolder(), "--json",
                                       "--settle", "100", "--timing-scale", "0.05", "--station",
                                       "soak", "--record", journal(), "--database", databaseUrl_});
    if (!station_.waitForStarted()) {
        *error = station_.errorString();
        return false;
    }
    for (int i = 0; i < Slots; ++i)
        plug(QStringLiteral("slot-%1").arg(i));
    QTimer::singleShot(durationMs / 3, this, [&postgres] { postgres.stop(); });
    QTimer::singleShot(2 * durationMs / 3, this, [&postgres] { postgres.start(); });
    QTimer::singleShot(durationMs, this, [this] { plugging_ = false; });
    QElapsedTimer clock;
    clock.start();
    // The last boards end, then every record reaches the database.
    while (clock.elapsed() < durationMs + 120000 && (plugging_ || tally_.results < tally_.plugs))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    return true;
}

int rowsIn(const QString &url)
{
    int rows = -1;
    {
        records::DatabaseUrl parsed;
        QString error;
        if (records::parseDatabaseUrl(url, &parsed, &error) &&
            records::openDatabase(parsed, QStringLiteral("soak-count"), &error)) {
            QSqlQuery query(QSqlDatabase::database(QStringLiteral("soak-count"), false));
            if (query.exec(QStringLiteral("SELECT COUNT(*) FROM board_records")) && query.next())
                rows = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("soak-count"));
    return rows;
}

int linesIn(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : -1;
}

} // namespace

bool runSoak(const Config &config, Report &report)
{
    const qint64 durationMs = config.quick ? 30000 : 240000;
    report.heading(QStringLiteral("11. Soak: %1 slots for %2 s, PostgreSQL stopped for the "
                                  "middle third")
                       .arg(Slots)
                       .arg(durationMs / 1000));
    ThrowawayPostgres postgres;
    QString error;
    if (!postgres.setUp(&error) || !postgres.exec(QStringLiteral("CREATE DATABASE soak"))) {
        report.failure(QStringLiteral("soak"), error);
        return false;
    }
    const QString url = postgres.url(QStringLiteral("soak"));
    Soak soak(config, url);
    if (!soak.run(durationMs, postgres, &error)) {
        report.failure(QStringLiteral("soak"), error);
        return false;
    }
    const Tally &tally = soak.tally();
    QElapsedTimer waited;
    waited.start();
    while (rowsIn(url) < tally.plugs && waited.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 200);
    const int rows = rowsIn(url);
    const int records = linesIn(soak.journal());
    report.detail(QStringLiteral("%1 plugs (%2 pulled half way), %3 results, %4 records in the "
                                 "journal, %5 rows in the database; %6 ok, %7 of them holding "
                                 "the image byte for byte")
                      .arg(tally.plugs)
                      .arg(tally.pulledHalfWay)
                      .arg(tally.results)
                      .arg(records)
                      .arg(rows)
                      .arg(tally.ok)
                      .arg(tally.identical));
    report.figure(QStringLiteral("soak: plugs without a record"), tally.plugs - records, 0,
                  QString(), 0);
    report.figure(QStringLiteral("soak: records without a row"), records - rows, 0, QString(), 0);
    report.figure(QStringLiteral("soak: ok boards not holding the image"),
                  tally.ok - tally.identical, 0, QString(), 0);
    return true;
}

} // namespace bench
