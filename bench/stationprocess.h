#pragma once

// `kvt-flash --watch DIR --json` driven the way a fixture drives it: the bench
// makes one symlink per board in DIR, all at once, and reads the JSON lines
// the station prints, stamping each on arrival. The station's own CPU time and
// peak memory come from /proc, so they are its alone, whatever this process
// spends reading its output.

#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>

namespace bench {

class StationProcess : public QObject
{
    Q_OBJECT

public:
    struct Board
    {
        QString slot;          // the entry's name in the folder
        qint64 linkedNs = -1;  // the entry was made
        qint64 pluggedNs = -1; // its "plug" line arrived
        qint64 resultNs = -1;  // its "result" line arrived
        QJsonObject result;
    };

    // `folder` must exist and be empty; the station's standard error goes to
    // `errPath`.
    StationProcess(const QString &tool, const QString &folder, const QString &errPath);
    ~StationProcess() override;

    // Starts `tool IMAGE --watch FOLDER --json` plus `extra`, and waits until
    // the station says it watches.
    bool start(const QString &image, const QStringList &extra, QString *error);
    // Makes FOLDER/board-00, board-01, ... leading to `ports`, one after the
    // other as fast as the system allows.
    bool plug(const QStringList &ports, QString *error);
    // Runs the event loop until every board has its result line.
    bool waitForResults(int timeoutMs, QString *error);
    // SIGTERM: the station must end with status 130 and a summary counting
    // every board as ok.
    bool stop(QString *error);

    // User plus system CPU time of the station so far, all its threads.
    qint64 cpuNs() const;
    // Its resident set at its largest so far (VmHWM), in KiB.
    qint64 peakRssKiB() const;
    // cpuNs() when the last board's "plug" line arrived; -1 before.
    qint64 cpuAtLastPlugNs() const { return cpuAtLastPlugNs_; }

    const QVector<Board> &boards() const { return boards_; }

private:
    void readLines();
    void take(const QJsonObject &line, qint64 arrivedNs);
    int boardIndex(const QString &slot) const;
    QString stationErrors() const;

    QString tool_;
    QString folder_;
    QString errPath_;
    QProcess process_;
    QByteArray pending_; // a line not yet ended
    bool watching_ = false;
    QJsonObject summary_;
    QVector<Board> boards_;
    int plugs_ = 0;
    int results_ = 0;
    qint64 cpuAtLastPlugNs_ = -1;
};

} // namespace bench
