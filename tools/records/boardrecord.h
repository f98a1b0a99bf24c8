#pragma once

// One board's record: what the station writes to its journal when the board
// ends, what the database holds, what kvt-records reads and what a station's
// `result` event says. Its fields and its JSON form are defined here alone;
// a field added to the record is added here.
//
// Schema 2 gives every record an id made when its board starts and a seq
// (the station's order). Schema 1 records have neither; their identity is a
// name-based UUID of their content, so the same line read twice is the same
// record. Fields this version does not know are kept as read, so a record
// read and written again holds what it held.

#include <QByteArray>
#include <QJsonObject>
#include <QMetaType>
#include <QString>

namespace records {

// How a board's upload ended, as a record says it.
namespace status {
inline const QString Ok = QStringLiteral("ok");
inline const QString Stopped =
    QStringLiteral("stopped"); // by the operator: not the board's failure
} // namespace status

// The USB adapter behind the port, as the system knew it.
struct UsbAdapter
{
    QString vid; // four hex digits, "0403"
    QString pid;
    QString serial;

    bool isEmpty() const { return vid.isEmpty() && pid.isEmpty() && serial.isEmpty(); }
    // {"vid": …, "pid": …, "serial": …}, the texts it has.
    QJsonObject toJson() const;
};

// The line that proved the new firmware runs: the board printed it when it
// started, `ms` after the flasher's last acknowledgement.
struct BootLine
{
    QString line;
    qint64 ms = -1;

    bool isEmpty() const { return line.isEmpty() && ms < 0; }
    // {"line": …, "ms": N}, what it has.
    QJsonObject toJson() const;
};

// A record's time (UTC, ISO 8601) to the minute, as people read it:
// "2026-12-03 14:02".
QString minuteOf(const QString &utc);

// An ok record of the same board with the same image that the database
// already held when this board ended; or why that could not be asked.
struct FlashedBefore
{
    QString station;
    QString ended;
    QString unchecked; // why the database was not asked

    bool isEmpty() const { return station.isEmpty() && ended.isEmpty() && unchecked.isEmpty(); }
    bool found() const { return !station.isEmpty() || !ended.isEmpty(); }
    // {"station": …, "ended": …} or {"unchecked": …}
    QJsonObject toJson() const;
};

struct BoardRecord
{
    static constexpr int Schema = 2;

    int schema = Schema;
    QString id;      // made when the board started; empty in schema 1
    qint64 seq = -1; // the station's order of its records; -1 when none
    QString station;
    QString version; // of the tool that wrote it
    QString slot;    // the watched entry's name, or the port as given
    QString label;   // the fixture's own name for the slot; empty when none
    QString port;    // the device the slot led to
    UsbAdapter usb;
    QString file;      // the image's file name
    qint64 bytes = -1; // the image's size
    QString sha256;    // the image's, hex
    QString started;   // UTC, ISO 8601 with milliseconds
    QString ended;
    qint64 durationMs = -1;
    QString status;           // ok, timeout, refused, cancelled, open-failed, port-failed,
                              // unplugged, stopped
    QString phase;            // the upload's phase when it ended
    QString message;          // what happened, in the flasher's words
    qint64 sent = -1;         // image bytes sent
    qint64 acknowledged = -1; // image bytes the device acknowledged
    int resends = -1;         // frames sent again
    int latencyMs = -1;       // the adapter's latency timer; -1 where unknown
    QString board;            // the board's own identity, from its boot line
    QString scanned;          // the code scanned from its label at the fixture
    BootLine boot;
    FlashedBefore flashedBefore;
    QJsonObject unknownFields; // kept as read

    bool isOk() const { return status == status::Ok; }
    bool isStopped() const { return status == status::Stopped; }
    // Its id, or for a schema 1 record the name-based UUID of its content.
    QString identity() const { return id.isEmpty() ? contentId_ : id; }

    // Whether the database can hold it and a count can place it: a station
    // and a status. False with the reason ("no station", "no status").
    bool isValid(QString *why = nullptr) const;

    QJsonObject toJson() const;
    // One line of a journal: compact JSON, without its newline.
    QByteArray toLine() const;
    static BoardRecord fromJson(const QJsonObject &object);
    // False for a line that is no JSON object (a torn or damaged line).
    static bool fromLine(const QByteArray &line, BoardRecord *record);

private:
    QString contentId_;
};

} // namespace records

Q_DECLARE_METATYPE(records::BoardRecord)
