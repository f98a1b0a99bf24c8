#pragma once

// Sends a station's journal to the database on a thread of its own, so that
// flashing never waits for the database.
//
// The journal stays the truth, and the forwarder reads it: the station
// appends a record, then tells journalGrew(); the forwarder reads the new
// lines and inserts them in order, whatever station wrote them. Whether a
// record is in the database is decided by its id (inserts are idempotent);
// how far the journal has gone in is kept beside it (JournalCursor), so a
// restarted station sends what the database has not confirmed: its journal
// rotated, truncated or made anew while it was stopped, a second journal
// under the same station name, or a second station writing the same journal.
// While the database is down, slow or refusing, lines wait and the forwarder
// tries again after a few seconds; status() tells how many wait, since when
// and why, and whether another station runs under the same name.
//
//   records::Forwarder forwarder(journalPath, databaseUrl, stationName);
//   QObject::connect(&forwarder, &records::Forwarder::statusChanged, banner,
//                    [=](const records::ForwarderStatus &s) { banner->setText(databaseMessage(s));
//                    });
//   if (!forwarder.start(&error)) ...          // a bad URL; the database may well be down
//   ... append the record to the journal, then:
//   forwarder.journalGrew();                   // any thread; returns at once
//
// It also tells whether the station's image is still released (watchRelease)
// and answers whether a board was flashed ok with it before (askPriorOk),
// both through its own connection, so the station never waits for the
// database.

#include "records/priorok.h"
#include "records/releases.h"

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
    int pending = 0;        // journal lines read, not yet in the database
    qint64 oldestSince = 0; // ms since the epoch: when the oldest pending record ended
    qint64 oldestAgeMs = 0; // its age when this status was made
    QString reason;         // why they wait, or why the database cannot be used
    bool connected = false;
    bool caughtUp = false; // connected, and every line of the journal is in
    // Another station forwards under the same name into the same database.
    bool twin = false;
    QString station;
    int refused = 0; // records the database refused and that were set aside
    // Whether the image watched is released; cannot tell while the database
    // is out of reach. Only when watchRelease() was called.
    bool releaseWatched = false;
    ReleaseState release;
};

// "3 records not yet in the database (oldest 12 min): cannot connect to ...",
// "the database cannot be used: ...; records wait in the journal", and
// whether another station uses the name; empty while all is well.
QString databaseMessage(const ForwarderStatus &status);

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
    // How often the journal is read without being told (another process may
    // write it); by default every 2 s. Set before start().
    void setPollInterval(int ms) { pollMs_ = ms; }
    // Reads whether the image is released at every reconnect and every
    // `everyMs`, and tells it in the status. Set before start().
    void watchRelease(const QString &sha256, int everyMs = 30000)
    {
        watchedSha256_ = sha256;
        releaseCheckMs_ = everyMs;
    }

    // Starts the thread; false only when the URL is not one we take.
    bool start(QString *error);
    // Ends the thread. With `drainMs`, while the database takes records, what
    // the journal holds is sent for up to that long first. Records not yet
    // sent stay in the journal for the next start.
    void stop(int drainMs = 0);
    // The last status the forwarder told.
    ForwarderStatus status() const;

    // Thread-safe; returns at once.
    void journalGrew();
    // Asks on the forwarder's thread whether the database holds an ok record
    // of this board with this image; priorOkAnswered tells, on the thread
    // the forwarder lives in. Returns at once.
    void askPriorOk(const PriorOkQuestion &question);

signals:
    // Whenever the backlog, its reason or the name's claim changes, and at
    // every retry.
    void statusChanged(const records::ForwarderStatus &status);
    void priorOkAnswered(const records::PriorOk &answer);

private:
    void tellAnswers();

    QString journalPath_;
    QString databaseUrl_;
    QString station_;
    int firstDelayMs_ = 500;
    int longestDelayMs_ = 5000;
    int pollMs_ = 2000;
    QString watchedSha256_;
    int releaseCheckMs_ = 30000;
    QThread thread_;
    std::mutex mutex_; // guards worker_ between journalGrew() and stop()
    ForwarderWorker *worker_ = nullptr;
    std::unique_ptr<StatusMailbox> mailbox_; // outlives the worker: stop() ends it first
    std::unique_ptr<Mailbox<PriorOkQuestion>> questions_;
    std::unique_ptr<Mailbox<PriorOk>> answers_;
};

} // namespace records

Q_DECLARE_METATYPE(records::ForwarderStatus)
