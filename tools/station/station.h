#pragma once

// The production station: every board plugged into a watched folder of serial
// port entries is flashed once, concurrently with the others, and recorded.
// After a board's result its slot waits until the entry goes; only a new
// entry in that slot starts another upload. The one engine behind
// `kvt-flash --watch` and the kvt-station window.

#include "flash/portflasher.h"
#include "recordfile.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QStringList>

#include <functional>

namespace station {

struct StationConfig
{
    QString folder = QStringLiteral("/dev/serial/by-path");
    int settleMs = 500;
    QStringList matches; // "VID:PID", lower-case hex; empty: every adapter
    QString stationName; // the host name when empty
    QString recordPath;  // no record file when empty
    QString file;        // the image's file name as given
    QString version;     // of the tool
    ymodem::UploadOptions upload;
    // Who the adapter behind a device is; the system's view unless a test
    // says otherwise.
    std::function<flash::UsbIdentity(const QString &device)> identify;
};

// Counts since the station started.
struct StationCounts
{
    int ok = 0;
    int failed = 0;
    qint64 elapsedMs = 0;

    int boards() const { return ok + failed; }
    // Share of boards ok, in percent; -1 before the first board.
    double yieldPercent() const;
    // Boards ended per hour so far; 0 before a minute has passed.
    double boardsPerHour() const;
};

struct Slot
{
    enum class State
    {
        Settling, // seen, not flashed yet (or skipped: `skipped` says why)
        Flashing,
        Done,  // result in `last`; waits for the board to be removed
        Empty, // the board is gone; `last` keeps its result
    };

    QString name;
    State state = State::Empty;
    QString device;
    flash::UsbIdentity usb;
    QString skipped; // why the board is not flashed (--match, paused)
    ymodem::UploadPhase phase = ymodem::UploadPhase::NotStarted;
    qint64 sent = 0;
    qint64 acknowledged = 0;
    qint64 total = 0;
    QDateTime started;
    QElapsedTimer clock;
    QJsonObject last; // the record of the last board in this slot
    bool lastOk = false;
};

class Station : public QObject
{
    Q_OBJECT

public:
    Station(StationConfig config, QByteArray image, QObject *parent = nullptr);
    ~Station() override;

    // Opens the record and starts watching; false with the reason when the
    // station cannot run.
    bool start(QString *why);
    // Uploads in flight are told to stop (CAN CAN) and recorded as stopped;
    // stopped() follows once every one has ended.
    void stop();
    // While paused, no new board starts; running ones finish.
    void setPaused(bool paused);
    bool isPaused() const { return paused_; }

    const QMap<QString, Slot> &slotStates() const { return slots_; }
    StationCounts counts() const;
    int inFlight() const;
    const StationConfig &config() const { return config_; }
    QString imageSha256() const { return sha256_; }
    qint64 imageSize() const { return image_.size(); }

signals:
    void plugged(const station::Slot &slot);
    void unplugged(const station::Slot &slot);
    void slotChanged(const station::Slot &slot); // state, phase or progress
    void boardFinished(const station::Slot &slot, const QJsonObject &record);
    // A record could not be written: the station goes on, but says so.
    void recordFailed(const QString &why);
    void stopped();

private:
    void onPlugged(const QString &slot, const QString &entry, const QString &device);
    void onUnplugged(const QString &slot);
    void queueStart(const QString &name);
    void startNext();
    void startBoard(Slot &slot);
    void onFinished(const QString &name, const flash::FlashResult &result);
    QJsonObject recordFor(const Slot &slot, const flash::FlashResult &result) const;
    bool matches(const flash::UsbIdentity &usb) const;

    StationConfig config_;
    const QByteArray image_;
    const QString sha256_;
    QMap<QString, Slot> slots_;
    QMap<QString, flash::PortFlasher *> flashers_;
    // Boards plugged together settle together: each starts in a pass of
    // the event loop of its own, so the loop stays responsive.
    QStringList startQueue_;
    RecordFile record_;
    QElapsedTimer sinceStart_;
    int ok_ = 0;
    int failed_ = 0;
    bool paused_ = false;
    bool stopping_ = false;
};

} // namespace station

Q_DECLARE_METATYPE(station::Slot)
