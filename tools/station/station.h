#pragma once

// The one engine for every way of flashing: every board its source gives (a
// watched folder of serial port entries, or ports given by name) is flashed
// once, concurrently with the others, and recorded. After a board's result
// its slot waits until the entry goes; only a new entry in that slot starts
// another upload. A fixed list of ports ends once each of its boards has.
// Behind `kvt-flash --port`, `kvt-flash --watch` and the kvt-station window.
//
// The record is the gate: a board starts only while records can be written,
// and a board's result is told, and counts, once its record is on the disk.

#include "flash/portflasher.h"
#include "records/boardrecord.h"
#include "records/forwarder.h"
#include "recordwriter.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <functional>

namespace station {

class SlotSource;

struct StationConfig
{
    QString folder = QStringLiteral("/dev/serial/by-path");
    // Ports given by name instead of a watched folder: every board is there
    // at start, and the station ends once each has ended.
    QStringList ports;
    int settleMs = 500;
    QStringList matches;            // "VID:PID", lower-case hex; empty: every adapter
    QString stationName;            // the host name when empty
    QString recordPath;             // no record file when empty
    QString databaseUrl;            // where records are forwarded; none when empty
    QHash<QString, QString> labels; // the fixture's names of slots, by entry name
    QString file;                   // the image's file name as given
    QString version;                // of the tool
    ymodem::UploadOptions upload;
    // What proves that the new firmware runs; none when not set.
    flash::BootExpectation boot;
    // Who the adapter behind a device is; the system's view unless a test
    // says otherwise.
    std::function<flash::UsbIdentity(const QString &device)> identify;
    int recordRetryMs = 3000; // how often a held record is tried again
    // A board is flashed only once its label was scanned.
    bool requireScan = false;
    // Only an image the database lists as released: checked at start, and
    // new boards are held once it is withdrawn.
    bool releasedOnly = false;
    int releaseCheckMs = 30000; // how often it is read again while the station runs
    // How long a board's record waits for the database to say whether the
    // board was flashed ok before.
    int priorCheckMs = 3000;
};

// Counts since the station started. A board counts under its status once its
// record is written, and as not recorded until then.
struct StationCounts
{
    int ok = 0;
    int failed = 0;
    int stopped = 0;     // stopped by the operator: not the board's failure
    int notRecorded = 0; // ended, its record not written yet
    qint64 elapsedMs = 0;

    int boards() const { return ok + failed + stopped + notRecorded; }
    // ok / (ok + failed), in percent; -1 before the first such board.
    double yieldPercent() const;
    // Boards ended per hour so far; 0 before a minute has passed.
    double boardsPerHour() const;
};

struct Slot
{
    enum class State
    {
        Settling, // seen, not flashed yet (`waiting` says why, if it waits)
        Flashing,
        Done,  // result in `last`; waits for the board to be removed
        Empty, // the board is gone; `last` keeps its result
    };
    // Why a plugged board is not flashing.
    enum class Waiting
    {
        No,
        Paused,
        WrongAdapter, // --match excludes it
        Held,         // the record cannot be written
        NotSerial,    // the entry leads to no serial port
        Twin,         // another slot's entry leads to the same device
        InUse,        // another program holds the device
        NeedsScan,    // the board's label is to be scanned first
        Withdrawn,    // the image's release was withdrawn while the station ran
    };

    QString name;  // the entry's
    QString label; // what the operator calls it (see slotlabels.h)
    State state = State::Empty;
    Waiting waiting = Waiting::No;
    QString skipped; // the words for `waiting`
    QString device;
    flash::UsbIdentity usb;
    flash::UploadProgress progress; // of the board flashing, or the last one
    QDateTime started;
    QString scanned;               // the code scanned from the label of the board plugged now
    records::BoardRecord last;     // the record of the last board in this slot
    flash::FlashResult lastResult; // how that board's upload ended
    bool lastRecorded = false;     // `last` is on the disk

    bool lastOk() const { return lastResult.succeeded(); }
};

class Station : public QObject
{
    Q_OBJECT

public:
    Station(StationConfig config, QByteArray image, QObject *parent = nullptr);
    ~Station() override;

    // Opens the record and starts watching; false with the reason when the
    // station can never run (the folder missing is not such a reason).
    bool start(QString *why);
    // start() refused because the image is not released (--released-only).
    bool refusedUnreleased() const { return refusedUnreleased_; }
    // Uploads in flight are told to stop (CAN CAN) and recorded as stopped;
    // stopped() follows from the event loop once every one has ended.
    void stop();
    // At once, for a process that must end now: a device in its bootloader
    // is sent CAN CAN without waiting, every board in flight is recorded as
    // stopped before the device confirmed, and the record gets one last
    // attempt. Emits nothing.
    void abandon();
    // Ends the forwarding at once; notInDatabase() then counts what the
    // journal holds that the database lacks. stop() does it by itself.
    void stopForwarding();
    // A code the label scanner typed. A slot's label arms that slot: the
    // code after it goes to that slot's board. Any other code goes to the
    // armed slot, or else to the board that has waited longest for one
    // (--require-scan), or else waits for the next board plugged (a later
    // code takes its place).
    void scan(const QString &code);
    // The slot the next code goes to, and the code waiting for a board;
    // empty when none.
    QString armedSlot() const { return armedSlot_; }
    QString waitingCode() const { return waitingCode_; }
    // While paused, no new board starts; running ones finish.
    void setPaused(bool paused);
    bool isPaused() const { return paused_; }
    bool isStopping() const { return stopping_; }
    bool isWaitingForFolder() const;
    // A fixed list of ports: the station ends by itself (finished()).
    bool isFixed() const;
    // Why records cannot be written; empty while they can.
    QString recordError() const { return writer_.error(); }
    // Records that never reached the disk, oldest first.
    QVector<records::BoardRecord> unwrittenRecords() const { return writer_.unwritten(); }
    QString recordPath() const { return writer_.path(); }
    // What the operator should know of the database: records waiting, why
    // it cannot be used, another station under this name; empty while all is
    // well (or there is no database).
    QString databaseMessage() const { return databaseMessage_; }
    // Records in the journal, not yet in the database (0 without one).
    int notInDatabase() const;

    const QMap<QString, Slot> &slotStates() const { return slots_; }
    // Brings the elapsed time of the boards in flight up to now, for views
    // that show time passing between the uploads' own news (a change).
    void stampElapsed();
    StationCounts counts() const;
    // How each board ended, in the order their records were written.
    const QVector<flash::FlashResult::Outcome> &outcomes() const { return outcomes_; }
    int inFlight() const { return flights_.size(); }
    const StationConfig &config() const { return config_; }
    QString imageSha256() const { return sha256_; }
    qint64 imageSize() const { return image_.size(); }

signals:
    // What views draw from: once per pass of the event loop after anything
    // changed, with the slots that did (none when only the station's own
    // state did: held, waiting for the folder, stopping, the database).
    void changed(const QStringList &slotNames);

    // Events, for the logs; each also counts as a change.
    void plugged(const station::Slot &slot);
    void unplugged(const station::Slot &slot);
    void boardWaiting(const station::Slot &slot); // `waiting` says why
    void boardStarted(const station::Slot &slot);
    // The board entered a phase or the device acknowledged more.
    void boardProgressed(const station::Slot &slot);
    // Once the board's record is on the disk (`slot.lastRecorded`), or at
    // once when it cannot be written; then boardRecorded() follows once it is.
    void boardFinished(const station::Slot &slot);
    void boardRecorded(const station::Slot &slot, const records::BoardRecord &record);
    // The upload's own lines and the bytes on its line, for a trace.
    void boardTraced(const station::Slot &slot, const QString &line);
    void boardBytes(const station::Slot &slot, bool outgoing, const QByteArray &bytes);
    // Records cannot be written (why), or can again (empty).
    void recordHeld(const QString &why);
    // databaseMessage() changed.
    void databaseChanged(const QString &message);
    // A code was scanned: `slot` is the slot it went to, empty when it waits
    // for a board or armed a slot (armedSlot(), waitingCode() tell).
    void scanned(const QString &code, const QString &slot);
    // The watched folder is missing (true) or there again (false).
    void folderWaiting(bool waiting);
    void stopping(int inFlight);
    void stopped();
    // A fixed list: every board has ended and its record is written (or
    // cannot be).
    void finished();

private:
    // One board's upload, with what its record needs to know of it.
    struct Flight
    {
        flash::PortFlasher *flasher = nullptr;
        QString device;
        flash::UsbIdentity usb;
        QDateTime started;
        QString id;      // the record's, made when the board starts
        QString scanned; // the label's code when it started
    };
    // A board's record waiting to hear whether the board was flashed before.
    struct PriorCheck
    {
        QString slot;
        records::BoardRecord record;
        flash::FlashResult result;
    };

    // station.cpp
    void noteChange(const QString &slot = QString());
    void publishChanges();
    bool startSource(QString *why);
    bool startForwarding(QString *why);
    void finishStopping();
    bool matches(const flash::UsbIdentity &usb) const;
    // stationslots.cpp
    void onPlugged(const QString &slot, const QString &entry, const QString &device);
    void relabel();
    void onUnplugged(const QString &slot);
    Slot::Waiting waitReason(const Slot &slot, const QString &entry, QString *words) const;
    void setWaiting(Slot &slot, Slot::Waiting waiting, const QString &words);
    void queueStart(const QString &name);
    void startNext();
    void startBoard(Slot &slot);
    void connectFlasher(flash::PortFlasher *flasher, const QString &name);
    void resumeWaiting(Slot::Waiting waiting, const QString &only = QString());
    // stationscans.cpp
    void giveCode(const QString &code, const QString &slotName);
    void takeWaitingCode(Slot &slot);
    QString slotByLabel(const QString &label) const;
    QString longestWaitingForCode();
    void checkLabel(flash::FlashResult &result, const QString &scanned) const;
    // stationdatabase.cpp
    bool checkRelease(QString *why) const;
    void onForwarderStatus(const records::ForwarderStatus &status);
    bool askFlashedBefore(const QString &slot, const records::BoardRecord &record,
                          const flash::FlashResult &result);
    void onPriorOk(const records::PriorOk &answer);
    void submitRecord(records::BoardRecord record);
    void endPriorChecks(const QString &why);
    // stationends.cpp
    void onFinished(const QString &name, flash::PortFlasher *flasher,
                    const flash::FlashResult &result);
    void endWithoutUpload(Slot &slot, const QString &why);
    void finishBoard(Slot &slot, records::BoardRecord record, const flash::FlashResult &result);
    Slot slotAsRecorded(const records::BoardRecord &record, const flash::FlashResult &result,
                        bool recorded) const;
    void onWritten(const records::BoardRecord &record);
    void onHeldChanged(const QString &why);
    void tellUnrecorded();
    void checkFinished();
    records::BoardRecord recordFor(const QString &slot, const Flight &flight,
                                   const QString &scanned, const flash::FlashResult &result) const;

    StationConfig config_;
    const QByteArray image_;
    const QString sha256_;
    QMap<QString, Slot> slots_;
    QMap<QString, Flight> flights_;
    QSet<QString> changedSlots_;
    bool changeQueued_ = false;
    // Boards plugged together settle together: each starts in a pass of
    // the event loop of its own, so the loop stays responsive.
    QStringList startQueue_;
    RecordWriter writer_;
    // A record handed to the writer: its slot, and how its board ended.
    struct Untold
    {
        QString slot;
        flash::FlashResult result;
    };
    QHash<QString, Untold> untold_;         // by id: not told yet
    QHash<QString, Untold> toldUnrecorded_; // by id: told before the record was written
    records::Forwarder *forwarder_ = nullptr;
    QString databaseMessage_;
    bool refusedUnreleased_ = false;
    QStringList awaitingCode_; // slots whose boards wait for a code, in the order plugged
    QString withdrawn_;        // why new boards are held; empty while released
    QHash<QString, PriorCheck> priorChecks_; // by the record's id
    qint64 lastSeq_ = 0; // of this station's records, carried over from the journal
    SlotSource *source_ = nullptr;
    QElapsedTimer sinceStart_;
    StationCounts counts_;
    QVector<flash::FlashResult::Outcome> outcomes_;
    bool paused_ = false;
    bool stopping_ = false;
    bool abandoning_ = false;
    bool finishedTold_ = false;
    QString armedSlot_;
    QString waitingCode_;
    QHash<QString, QString> nextCodes_; // by slot: for the next board plugged there
};

} // namespace station

Q_DECLARE_METATYPE(station::Slot)
