#include "kvt-flash/stationconsole.h"

#include "common/stationwords.h"
#include "flash/outcomes.h"
#include "flash/uploadtext.h"
#include "kvt-flash/stationscreen.h"
#include "records/databaseurl.h"

#include <QDateTime>
#include <QJsonDocument>

namespace station {

namespace {

constexpr int RedrawMs = 200;
constexpr int MaxNotices = 3; // the terminal's last messages, under the header

QString nowUtc()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

} // namespace

StationConsole::StationConsole(Station &station, Mode mode, QTextStream &out, QTextStream &err,
                               std::function<ScreenSize()> screen, QObject *parent)
    : QObject(parent), station_(station), mode_(mode), out_(out), err_(err),
      screen_(std::move(screen))
{
    connect(&station_, &Station::plugged, this, &StationConsole::onPlugged);
    connect(&station_, &Station::unplugged, this, &StationConsole::onUnplugged);
    connect(&station_, &Station::boardWaiting, this, &StationConsole::onWaiting);
    connect(&station_, &Station::boardFinished, this, &StationConsole::onFinished);
    connect(&station_, &Station::recordHeld, this, &StationConsole::onRecordHeld);
    connect(&station_, &Station::folderWaiting, this, &StationConsole::onFolderWaiting);
    connect(&station_, &Station::stopping, this, &StationConsole::onStopping);
    connect(&station_, &Station::boardRecorded, this, &StationConsole::onRecorded);
    connect(&station_, &Station::databaseChanged, this, &StationConsole::onDatabase);
    if (mode_ == Mode::Terminal) {
        connect(&station_, &Station::changed, this, [this] { redraw(); });
        ticker_.setInterval(1000);
        connect(&ticker_, &QTimer::timeout, &station_, &Station::stampElapsed);
        nextDraw_.setSingleShot(true);
        connect(&nextDraw_, &QTimer::timeout, this, [this] { redraw(true); });
    }
}

void StationConsole::started()
{
    started_ = true;
    const StationConfig &config = station_.config();
    const QString text = QStringLiteral("station %1: watching %2 for boards; image %3 (%4 bytes, "
                                        "sha256 %5); %6")
                             .arg(config.stationName, config.folder, config.file)
                             .arg(station_.imageSize())
                             .arg(station_.imageSha256(), recordText());
    if (mode_ == Mode::Json)
        json({{"event", "watch"},
              {"station", config.stationName},
              {"folder", config.folder},
              {"file", config.file},
              {"bytes", station_.imageSize()},
              {"sha256", station_.imageSha256()},
              {"record", station_.recordPath().isEmpty() ? QJsonValue() : station_.recordPath()},
              {"database", config.databaseUrl.isEmpty()
                               ? QJsonValue()
                               : records::withoutSecrets(config.databaseUrl)}});
    else if (mode_ == Mode::Log)
        logLine({}, text);
    if (mode_ == Mode::Terminal) {
        out_ << "\x1b[?1049h"; // the alternate screen, left at the summary
        ticker_.start();
    }
    if (station_.isWaitingForFolder())
        onFolderWaiting(true);
    redraw(true);
}

void StationConsole::error(const QString &text)
{
    if (mode_ == Mode::Json)
        err_ << QJsonDocument(
                    QJsonObject{{"event", "error"}, {"time", nowUtc()}, {"message", text}})
                    .toJson(QJsonDocument::Compact)
             << '\n';
    else if (mode_ == Mode::Terminal && started_)
        notices_ = (notices_ << text).mid(qMax(0, int(notices_.size()) + 1 - MaxNotices));
    else
        err_ << "kvt-flash: " << text << '\n';
    err_.flush();
    redraw(true);
}

void StationConsole::summary()
{
    ticker_.stop();
    nextDraw_.stop();
    if (mode_ == Mode::Terminal && started_) {
        // Back on the normal screen, the last picture whole stays in the
        // scroll-back, once.
        out_ << "\x1b[?1049l";
        for (const QString &line : stationScreen(station_, {}, {screen_().columns, 0}))
            out_ << line << '\n';
    }
    const StationCounts counts = station_.counts();
    const int notInDatabase = station_.notInDatabase();
    if (mode_ == Mode::Json)
        json({{"event", "summary"},
              {"ok", counts.ok},
              {"failed", counts.failed},
              {"stopped", counts.stopped},
              {"not_recorded", counts.notRecorded},
              {"not_in_database", notInDatabase},
              {"boards", counts.boards()}});
    else
        out_ << "station stopped: " << counts.boards() << " boards, "
             << programs::countsText(counts)
             << (notInDatabase > 0 ? QStringLiteral("; %1 records not yet in the database (sent "
                                                    "when the station starts again)")
                                         .arg(notInDatabase)
                                   : QString())
             << '\n';
    out_.flush();
}

void StationConsole::imageChanged(const QString &loadedSha256, const QString &diskSha256)
{
    const QString file = station_.config().file;
    if (diskSha256 == loadedSha256)
        imageWarning_.clear();
    else if (diskSha256.isEmpty())
        imageWarning_ = QStringLiteral("%1 is gone from the disk; still flashing the image loaded "
                                       "at start (sha256 %2)")
                            .arg(file, loadedSha256);
    else
        imageWarning_ = QStringLiteral("%1 changed on disk (now sha256 %2); still flashing the "
                                       "image loaded at start (sha256 %3)")
                            .arg(file, diskSha256, loadedSha256);
    if (mode_ == Mode::Json)
        json({{"event", "image"},
              {"file", file},
              {"loaded_sha256", loadedSha256},
              {"disk_sha256", diskSha256.isEmpty() ? QJsonValue() : diskSha256}});
    else if (!imageWarning_.isEmpty())
        error(QStringLiteral("warning: ") + imageWarning_);
    redraw(true);
}

QString StationConsole::recordText() const
{
    const QString database = station_.config().databaseUrl;
    return (station_.recordPath().isEmpty()
                ? QStringLiteral("no record (--no-record)")
                : QStringLiteral("record %1").arg(station_.recordPath())) +
           (database.isEmpty()
                ? QStringLiteral(", no database")
                : QStringLiteral(", database %1").arg(records::withoutSecrets(database)));
}

void StationConsole::onRecordHeld(const QString &why)
{
    if (!why.isEmpty()) {
        error(QStringLiteral("held: %1; no board starts until it can").arg(why));
    } else if (mode_ == Mode::Json) {
        json({{"event", "record"}, {"held", false}, {"record", station_.recordPath()}});
    } else if (mode_ != Mode::Terminal) {
        logLine({}, QStringLiteral("the record can be written again: boards start"));
    }
}

void StationConsole::onDatabase(const QString &message)
{
    if (mode_ == Mode::Json)
        json({{"event", "database"},
              {"backlog", message.isEmpty() ? QJsonValue() : message},
              {"pending", station_.notInDatabase()}});
    else if (mode_ == Mode::Log)
        logLine({}, message.isEmpty() ? QStringLiteral("the database takes the records") : message);
}

void StationConsole::onFolderWaiting(bool waiting)
{
    if (!started_)
        return; // started() tells, after the start line
    const QString folder = station_.config().folder;
    if (mode_ == Mode::Json)
        json({{"event", waiting ? "waiting" : "watching"}, {"folder", folder}});
    else if (mode_ == Mode::Log)
        logLine({}, waiting ? QStringLiteral("waiting for %1 to appear").arg(folder)
                            : QStringLiteral("%1 is there: watching for boards").arg(folder));
}

void StationConsole::onStopping(int inFlight)
{
    if (mode_ == Mode::Json)
        json({{"event", "stopping"}, {"boards", inFlight}});
    else if (mode_ == Mode::Log && inFlight > 0)
        logLine({}, stoppingText(inFlight));
}

QString StationConsole::stoppingText(int inFlight)
{
    return QStringLiteral("stopping %1 boards… (Ctrl-C again to stop at once)").arg(inFlight);
}

void StationConsole::onPlugged(const Slot &slot)
{
    if (mode_ == Mode::Json) {
        QJsonObject event{{"event", "plug"}, {"slot", slot.name}, {"port", slot.device}};
        if (slot.usb.isKnown() || !slot.usb.serial.isEmpty())
            event.insert("usb", QJsonObject{{"vid", slot.usb.vid},
                                            {"pid", slot.usb.pid},
                                            {"serial", slot.usb.serial}});
        json(event);
    } else if (mode_ == Mode::Log) {
        logLine(slot.name,
                QStringLiteral("plugged: %1%2")
                    .arg(slot.device,
                         slot.usb.isKnown()
                             ? QStringLiteral(" (%1 %2)").arg(slot.usb.vidPid(), slot.usb.serial)
                             : QString()));
    }
}

void StationConsole::onUnplugged(const Slot &slot)
{
    if (mode_ == Mode::Json)
        json({{"event", "unplug"}, {"slot", slot.name}});
    else if (mode_ == Mode::Log)
        logLine(slot.name, QStringLiteral("unplugged"));
}

void StationConsole::onWaiting(const Slot &slot)
{
    if (mode_ == Mode::Json)
        json({{"event", "skip"}, {"slot", slot.name}, {"why", slot.skipped}});
    else if (mode_ == Mode::Log)
        logLine(slot.name, QStringLiteral("not flashed: ") + slot.skipped);
}

void StationConsole::onFinished(const Slot &slot, const QJsonObject &record)
{
    const bool ok = slot.lastOk;
    if (mode_ == Mode::Json) {
        QJsonObject event = record;
        event.insert("event", "result");
        event.insert("recorded", slot.lastRecorded);
        json(event);
    } else if (mode_ == Mode::Log || (mode_ == Mode::Quiet && !ok)) {
        const QString seconds = QString::number(slot.lastResult.durationMs / 1000.0, 'f', 1);
        QString message = slot.lastResult.message;
        if (!slot.lastRecorded)
            message += QStringLiteral(" (record not written yet)");
        logLine(slot.name, ok ? QStringLiteral("ok in %1 s: %2").arg(seconds, message)
                              : QStringLiteral("FAILED (%1) after %2 s: %3")
                                    .arg(QLatin1String(flash::outcomeName(slot.lastResult.outcome)),
                                         seconds, message));
    }
}

// A result told before its record was on the disk is told again once it is.
void StationConsole::onRecorded(const Slot &slot, const QJsonObject &record)
{
    const QString status = record.value(QStringLiteral("status")).toString();
    if (mode_ == Mode::Json)
        json({{"event", "recorded"},
              {"slot", slot.name},
              {"id", record.value(QStringLiteral("id"))},
              {"status", status}});
    else if (mode_ == Mode::Log)
        logLine(slot.name, QStringLiteral("recorded (%1)").arg(status));
}

void StationConsole::logLine(const QString &slot, const QString &text)
{
    QTextStream &stream = mode_ == Mode::Quiet ? err_ : out_;
    stream << nowUtc() << ' ' << (slot.isEmpty() ? QString() : slot + QStringLiteral(": ")) << text
           << '\n';
    stream.flush();
}

void StationConsole::json(QJsonObject object)
{
    object.insert(QStringLiteral("time"), nowUtc());
    out_ << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) << '\n';
    out_.flush();
}

QStringList StationConsole::terminalLines() const
{
    const StationConfig &config = station_.config();
    QStringList header{QStringLiteral("%1 · %2 · sha256 %3… · %4")
                           .arg(config.stationName, config.file, station_.imageSha256().left(12),
                                programs::countsText(station_.counts())),
                       recordText()};
    if (!station_.recordError().isEmpty())
        header.append(QStringLiteral("HELD: ") + station_.recordError());
    if (!station_.databaseMessage().isEmpty())
        header.append(station_.databaseMessage());
    if (!imageWarning_.isEmpty())
        header.append(QStringLiteral("WARNING: ") + imageWarning_);
    if (station_.isWaitingForFolder())
        header.append(QStringLiteral("waiting for %1 to appear").arg(config.folder));
    if (station_.isStopping())
        header.append(stoppingText(station_.inFlight()));
    header += notices_;
    return stationScreen(station_, header, screen_());
}

// The terminal's alternate screen, drawn from its top each time: the
// scroll-back keeps no copies, and a stray line from another program is
// drawn over at the next turn. Changes closer together than RedrawMs are
// drawn together, at the end of that time.
void StationConsole::redraw(bool now)
{
    if (mode_ != Mode::Terminal || !started_)
        return;
    const qint64 since = sinceDraw_.isValid() ? sinceDraw_.elapsed() : RedrawMs;
    if (!now && since < RedrawMs) {
        if (!nextDraw_.isActive())
            nextDraw_.start(int(RedrawMs - since));
        return;
    }
    nextDraw_.stop();
    sinceDraw_.start();
    // No line break after the last line: on the bottom row it would scroll
    // the header away.
    out_ << "\x1b[H\x1b[2K" << terminalLines().join(QStringLiteral("\r\n\x1b[2K")) << "\x1b[J";
    out_.flush();
}

} // namespace station
