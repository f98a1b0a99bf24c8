#include "kvt-flash/console.h"

#include "common/boardview.h"
#include "common/words.h"
#include "kvt-flash/terminalview.h"
#include "records/databaseurl.h"

#include <QDateTime>
#include <QJsonDocument>

namespace flash {

using station::Slot;

namespace {

QString nowUtc()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

Console::Console(station::Station &station, Mode mode, QTextStream &out, QTextStream &err,
                 QObject *parent)
    : QObject(parent), station_(station), mode_(mode), out_(out), err_(err)
{
    if (mode_ == Mode::Terminal)
        terminal_ = new TerminalView(station_, out_, terminalSize, this);
    connectEvents();
}

Console::~Console() = default;

void Console::connectEvents()
{
    using station::Station;
    connect(&station_, &Station::plugged, this, &Console::onPlugged);
    connect(&station_, &Station::unplugged, this, &Console::onUnplugged);
    connect(&station_, &Station::boardWaiting, this, &Console::onWaiting);
    connect(&station_, &Station::boardStarted, this, &Console::onStarted);
    if (mode_ == Mode::Json || mode_ == Mode::Log)
        connect(&station_, &Station::boardProgressed, this, &Console::onProgressed);
    connect(&station_, &Station::boardFinished, this, &Console::onFinished);
    connect(&station_, &Station::boardRecorded, this, &Console::onRecorded);
    connect(&station_, &Station::recordHeld, this, &Console::onRecordHeld);
    connect(&station_, &Station::folderWaiting, this, &Console::onFolderWaiting);
    connect(&station_, &Station::stopping, this, &Console::onStopping);
    connect(&station_, &Station::databaseChanged, this, &Console::onDatabase);
    connect(&station_, &Station::scanned, this, &Console::onScanned);
}

QString Console::startText() const
{
    const station::StationConfig &config = station_.config();
    return QStringLiteral("station %1: watching %2 for boards; image %3 (%4 bytes, sha256 %5); "
                          "%6")
        .arg(config.stationName, config.folder, config.file)
        .arg(station_.imageSize())
        .arg(station_.imageSha256(), recordText(station_));
}

void Console::started()
{
    started_ = true;
    const station::StationConfig &config = station_.config();
    if (mode_ == Mode::Json && !station_.isFixed())
        json({{"event", "watch"},
              {"station", config.stationName},
              {"folder", config.folder},
              {"file", config.file},
              {"bytes", station_.imageSize()},
              {"sha256", station_.imageSha256()},
              {"record", textOrNull(station_.recordPath())},
              {"database", textOrNull(records::withoutSecrets(config.databaseUrl))}});
    else if (mode_ == Mode::Log && !station_.isFixed())
        logLine({}, startText());
    if (terminal_)
        terminal_->start();
    if (station_.isWaitingForFolder())
        onFolderWaiting(true);
}

void Console::error(const QString &text)
{
    if (mode_ == Mode::Json)
        json({{"event", "error"}, {"message", text}}, true);
    else if (terminal_ && started_)
        terminal_->notice(text);
    else
        failure({}, text);
}

void Console::imageChanged(const QString &loadedSha256, const QString &diskSha256)
{
    const QString file = station_.config().file;
    const QString warning = programs::imageChangedText(file, loadedSha256, diskSha256);
    if (mode_ == Mode::Json)
        json({{"event", "image"},
              {"file", file},
              {"loaded_sha256", loadedSha256},
              {"disk_sha256", textOrNull(diskSha256)}});
    else if (terminal_)
        terminal_->setImageWarning(warning);
    else if (!warning.isEmpty())
        failure({}, QStringLiteral("warning: ") + warning);
}

void Console::summary()
{
    if (terminal_)
        terminal_->finish();
    const station::StationCounts counts = station_.counts();
    const int notInDatabase = station_.notInDatabase();
    if (mode_ == Mode::Json) {
        json({{"event", "summary"},
              {"ok", counts.ok},
              {"failed", counts.failed},
              {"stopped", counts.stopped},
              {"not_recorded", counts.notRecorded},
              {"not_in_database", notInDatabase},
              {"boards", counts.boards()}});
        return;
    }
    if (mode_ == Mode::Quiet || (station_.isFixed() && counts.boards() < 2))
        return;
    out_ << (station_.isFixed() ? QStringLiteral("%1 boards: ")
                                : QStringLiteral("station "
                                                 "stopped: %1 "
                                                 "boards, "))
                .arg(counts.boards())
         << programs::countsText(counts);
    if (notInDatabase > 0)
        out_ << QStringLiteral("; %1 records not yet in the database (sent when the station "
                               "starts again)")
                    .arg(notInDatabase);
    out_ << '\n';
    out_.flush();
}

void Console::onPlugged(const Slot &slot)
{
    if (mode_ == Mode::Json) {
        QJsonObject event{{"event", "plug"}, {"slot", slot.name}, {"port", slot.device}};
        const records::UsbAdapter usb{slot.usb.vid, slot.usb.pid, slot.usb.serial};
        if (!usb.isEmpty())
            event.insert("usb", usb.toJson());
        json(event);
    } else if (mode_ == Mode::Log && !station_.isFixed()) {
        logLine(slot.name,
                QStringLiteral("plugged: %1%2")
                    .arg(slot.device,
                         slot.usb.isKnown()
                             ? QStringLiteral(" (%1 %2)").arg(slot.usb.vidPid(), slot.usb.serial)
                             : QString()));
    }
}

void Console::onUnplugged(const Slot &slot)
{
    if (mode_ == Mode::Json)
        json({{"event", "unplug"}, {"slot", slot.name}});
    else if (mode_ == Mode::Log)
        logLine(slot.name, QStringLiteral("unplugged"));
}

void Console::onWaiting(const Slot &slot)
{
    if (mode_ == Mode::Json)
        json({{"event", "skip"}, {"slot", slot.name}, {"why", slot.skipped}});
    else if (mode_ == Mode::Log)
        logLine(slot.name, QStringLiteral("not flashed: ") + slot.skipped);
}

void Console::onStarted(const Slot &slot)
{
    shownPercent_[slot.name] = 0;
    const station::StationConfig &config = station_.config();
    if (mode_ == Mode::Json)
        json({{"event", "start"},
              {"slot", slot.name},
              {"port", slot.device},
              {"file", config.file},
              {"bytes", station_.imageSize()},
              {"sha256", station_.imageSha256()}});
    else if (mode_ == Mode::Log)
        logLine(slot.name, QStringLiteral("sending %1 (%2 bytes, sha256 %3)")
                               .arg(config.file)
                               .arg(station_.imageSize())
                               .arg(station_.imageSha256()));
}

// JSON at each whole percent the device acknowledged, logs at each tenth.
void Console::onProgressed(const Slot &slot)
{
    const flash::UploadProgress &progress = slot.progress;
    const int step = mode_ == Mode::Json ? 1 : 10;
    int &shown = shownPercent_[slot.name];
    if (progress.percent() / step <= shown / step)
        return;
    shown = progress.percent();
    if (mode_ == Mode::Json) {
        json({{"event", "progress"},
              {"slot", slot.name},
              {"port", slot.device},
              {"percent", shown},
              {"sent", progress.sent},
              {"acknowledged", progress.acknowledged},
              {"bytes", progress.total},
              {"elapsed_ms", progress.elapsedMs}});
        return;
    }
    QString text =
        QStringLiteral("%1% (%2 of %3")
            .arg(shown / step * step)
            .arg(programs::kibText(progress.acknowledged), programs::kibText(progress.total));
    if (progress.bytesPerSecond() > 0)
        text += QStringLiteral(", %1, %2 left")
                    .arg(programs::speedText(progress.bytesPerSecond()),
                         programs::durationText(progress.msLeft()));
    logLine(slot.name, text + QLatin1Char(')'));
}

QString Console::resultLine(const Slot &slot) const
{
    const programs::BoardView view = programs::present(slot, programs::contextOf(station_));
    QString line = QStringLiteral("%1 after %2: %3").arg(view.word, view.duration, view.detail);
    for (const QString &part : {view.proof, view.who})
        if (!part.isEmpty())
            line += QStringLiteral(" · ") + part;
    if (!view.nextStep.isEmpty())
        line += QStringLiteral(" (%1)").arg(view.nextStep);
    return line;
}

void Console::onFinished(const Slot &slot)
{
    const bool failed = !slot.lastOk() && slot.lastResult.outcome != FlashResult::Outcome::Stopped;
    if (mode_ == Mode::Json) {
        QJsonObject event = slot.last.toJson();
        event.insert("event", "result");
        event.insert("recorded", slot.lastRecorded);
        if (failed)
            json({{"event", "error"},
                  {"slot", slot.name},
                  {"phase", slot.last.phase},
                  {"message", slot.last.message}},
                 true);
        json(event);
        return;
    }
    if (mode_ == Mode::Log)
        logLine(slot.name, resultLine(slot));
    if (failed && mode_ != Mode::Terminal)
        failure(slot.name, slot.last.message);
}

// A result told before its record was on the disk is told again once it is.
void Console::onRecorded(const Slot &slot, const records::BoardRecord &record)
{
    if (mode_ == Mode::Json)
        json({{"event", "recorded"},
              {"slot", slot.name},
              {"id", record.id},
              {"status", record.status}});
    else if (mode_ == Mode::Log)
        logLine(slot.name, QStringLiteral("recorded (%1)").arg(record.status));
}

void Console::onRecordHeld(const QString &why)
{
    if (mode_ == Mode::Json)
        why.isEmpty()
            ? json({{"event", "record"}, {"held", false}, {"record", station_.recordPath()}})
            : json({{"event", "error"}, {"message", QStringLiteral("held: ") + why}}, true);
    else if (mode_ == Mode::Log)
        logLine({}, why.isEmpty()
                        ? QStringLiteral("the record can be written again: boards start")
                        : QStringLiteral("held: %1; no board starts until it can").arg(why));
    else if (mode_ == Mode::Quiet && !why.isEmpty())
        failure({}, QStringLiteral("held: ") + why);
}

void Console::onFolderWaiting(bool waiting)
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

void Console::onStopping(int inFlight)
{
    if (mode_ == Mode::Json)
        json({{"event", "stopping"}, {"boards", inFlight}});
    else if (mode_ == Mode::Log && inFlight > 0)
        logLine({},
                QStringLiteral("stopping %1 boards… (Ctrl-C again to stop at once)").arg(inFlight));
}

void Console::onDatabase(const QString &message)
{
    if (mode_ == Mode::Json)
        json({{"event", "database"},
              {"backlog", textOrNull(message)},
              {"pending", station_.notInDatabase()}});
    else if (mode_ == Mode::Log)
        logLine({}, message.isEmpty() ? QStringLiteral("the database takes the records") : message);
}

void Console::onScanned(const QString &code, const QString &slot)
{
    const QString armed = station_.armedSlot();
    if (mode_ == Mode::Json)
        json({{"event", "scan"},
              {"code", code},
              {"slot", textOrNull(slot)},
              {"armed", textOrNull(armed)},
              {"waiting", !station_.waitingCode().isEmpty() && slot.isEmpty() && armed.isEmpty()}});
    else if (mode_ == Mode::Log)
        logLine(slot, !slot.isEmpty()    ? QStringLiteral("label scanned: %1").arg(code)
                      : !armed.isEmpty() ? QStringLiteral("slot %1 scanned: the next label is its "
                                                          "board's")
                                               .arg(code)
                                         : QStringLiteral("label scanned: %1; it goes to the next "
                                                          "board plugged")
                                               .arg(code));
}

void Console::logLine(const QString &slot, const QString &text)
{
    out_ << nowUtc() << ' ' << (slot.isEmpty() ? QString() : slot + QStringLiteral(": ")) << text
         << '\n';
    out_.flush();
}

void Console::failure(const QString &slot, const QString &text)
{
    err_ << "kvt-flash: " << (slot.isEmpty() ? QString() : slot + QStringLiteral(": ")) << text
         << '\n';
    err_.flush();
}

void Console::json(QJsonObject object, bool toError)
{
    object.insert(QStringLiteral("time"), nowUtc());
    QTextStream &stream = toError ? err_ : out_;
    stream << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) << '\n';
    stream.flush();
}

} // namespace flash
