#pragma once

// Sends a station's records to the database on a thread of its own, so that
// flashing never waits for the database.
//
// The journal stays the truth: the station appends a record to it first, then
// hands the same record to forward(). At start the forwarder sends what the
// database lacks (this station's journal records above the highest seq the
// database holds for it), then every record it is handed, in seq order. While
// the database is down, slow or refusing, records wait in order and the
// forwarder tries again after a few seconds; status() tells how many wait,
// since when and why. Inserts are idempotent, so a batch whose commit
// succeeded but whose answer was lost is simply sent again.
//
//   records::Forwarder forwarder(journalPath, databaseUrl, stationName);
//   QObject::connect(&forwarder, &records::Forwarder::statusChanged, banner,
//                    [=](const records::ForwarderStatus &s) { banner->setText(backlogMessage(s));
//                    });
//   if (!forwarder.start(&error)) ...          // a bad URL; the database may well be down
//   ... append the record to the journal, then:
//   forwarder.forward(record);                 // any thread; returns at once
//
// Records without a seq (schema 1) are not the forwarder's: kvt-records import
// carries them.

#include <QDateTime>
#include <QJsonObject>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QThread>

#include <memory>
#include <mutex>

namespace records {

class ForwarderWorker;
class StatusMailbox;

struct ForwarderStatus
{
    int pending = 0;        // records not yet in the database
    qint64 oldestSince = 0; // ms since the epoch: when the oldest pending record ended
    qint64 oldestAgeMs = 0; // its age when this status was made
    QString reason;         // why they wait; empty while the database takes them
    bool caughtUp = false;  // the journal's backlog and every record handed over are in
};

// "3 records not yet in the database (oldest 12 min): cannot connect to ...";
// empty when none wait.
QString backlogMessage(const ForwarderStatus &status);

class Forwarder : public QObject
{
    Q_OBJECT
public:
    Forwarder(const QString &journalPath, const QString &databaseUrl, const QString &station,
              QObject *parent = nullptr);
    ~Forwarder() override; // stops

    // The pause before the first retry, doubled after each failure up to
    // `longestMs`. Set before start(); by default 500 ms up to 5 s.
    void setRetryDelays(int firstMs, int longestMs);

    // Starts the thread; false only when the URL is not one we take.
    bool start(QString *error);
    // Ends the thread promptly: a pending retry is not waited out. Records
    // not yet sent stay in the journal for the next start.
    void stop();

    // Thread-safe; returns at once. Records arrive in the database in the
    // order of their seq.
    void forward(const QJsonObject &record);

signals:
    // Emitted on the forwarder's thread whenever the backlog or its reason
    // changes, and at every retry.
    void statusChanged(const records::ForwarderStatus &status);

private:
    QString journalPath_;
    QString databaseUrl_;
    QString station_;
    int firstDelayMs_ = 500;
    int longestDelayMs_ = 5000;
    QThread thread_;
    std::mutex mutex_; // guards worker_ between forward() and stop()
    ForwarderWorker *worker_ = nullptr;
    std::unique_ptr<StatusMailbox> mailbox_; // outlives the worker: stop() ends it first
};

} // namespace records

Q_DECLARE_METATYPE(records::ForwarderStatus)
