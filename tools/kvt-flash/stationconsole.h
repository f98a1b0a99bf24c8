#pragma once

// What `kvt-flash --watch` shows: on a terminal, a header with the counts
// since start and a live line per slot; in logs, a line per event; with
// --json, one object per event (plug, unplug, skip, result: the record).
// Errors go to the error stream in every mode.

#include "kvt-flash/stationscreen.h"
#include "station/station.h"

#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>

#include <functional>

namespace station {

class StationConsole : public QObject
{
    Q_OBJECT

public:
    enum class Mode
    {
        Terminal,
        Log,
        Json,
        Quiet, // errors and failed boards only
    };

    // `screen` tells the terminal's size at each turn, so a resize is
    // followed.
    StationConsole(
        Station &station, Mode mode, QTextStream &out, QTextStream &err,
        std::function<ScreenSize()> screen = [] { return ScreenSize{}; },
        QObject *parent = nullptr);

    void started();
    void error(const QString &text);
    // The image file on disk no longer holds what the station loaded
    // (`diskSha256` empty: it is gone); the station flashes what it loaded.
    void imageChanged(const QString &loadedSha256, const QString &diskSha256);
    // The closing line with the counts.
    void summary();

    // The terminal's picture: the header, then the slots that fit.
    QStringList terminalLines() const;

private:
    void onPlugged(const Slot &slot);
    void onUnplugged(const Slot &slot);
    void onWaiting(const Slot &slot);
    void onFinished(const Slot &slot, const QJsonObject &record);
    void onRecordHeld(const QString &why);
    void onFolderWaiting(bool waiting);
    void onStopping(int inFlight);
    void onDatabase(const QString &message);
    void onRecorded(const Slot &slot, const QJsonObject &record);
    QString recordText() const;
    static QString stoppingText(int inFlight);
    void logLine(const QString &slot, const QString &text);
    void json(QJsonObject object);
    void redraw(bool now = false);

    Station &station_;
    const Mode mode_;
    QTextStream &out_;
    QTextStream &err_;
    const std::function<ScreenSize()> screen_;
    QTimer ticker_;   // the terminal's clock and speeds move in silence too
    QTimer nextDraw_; // changes that came too soon after the last picture
    QElapsedTimer sinceDraw_;
    bool started_ = false;
    QString imageWarning_; // kept in the terminal's header
    QStringList notices_;  // the terminal's last messages, under the header
};

} // namespace station
