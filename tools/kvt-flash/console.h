#pragma once

// What kvt-flash shows of its station, whether it watches a folder or was
// given ports: on a terminal a live picture (TerminalView), in logs a line
// per event, with --json one object per event, with --quiet only failures.
// Errors go to the error stream in every mode.

#include "station/station.h"

#include <QHash>
#include <QJsonObject>
#include <QTextStream>

namespace flash {

class TerminalView;

class Console : public QObject
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

    Console(station::Station &station, Mode mode, QTextStream &out, QTextStream &err,
            QObject *parent = nullptr);
    ~Console() override;

    void started();
    void error(const QString &text);
    // The image file on disk holds other bytes than those loaded
    // (`diskSha256` empty: it is gone), or the loaded ones again.
    void imageChanged(const QString &loadedSha256, const QString &diskSha256);
    // The closing lines: the last picture, the counts.
    void summary();

    TerminalView *terminal() const { return terminal_; }

private:
    void connectEvents();
    void onPlugged(const station::Slot &slot);
    void onUnplugged(const station::Slot &slot);
    void onWaiting(const station::Slot &slot);
    void onStarted(const station::Slot &slot);
    void onProgressed(const station::Slot &slot);
    void onFinished(const station::Slot &slot);
    void onRecorded(const station::Slot &slot, const records::BoardRecord &record);
    void onRecordHeld(const QString &why);
    void onFolderWaiting(bool waiting);
    void onStopping(int inFlight);
    void onDatabase(const QString &message);
    void onScanned(const QString &code, const QString &slot);
    QString startText() const;
    QString resultLine(const station::Slot &slot) const;
    void logLine(const QString &slot, const QString &text);
    void failure(const QString &slot, const QString &text);
    void json(QJsonObject object, bool toError = false);

    station::Station &station_;
    const Mode mode_;
    QTextStream &out_;
    QTextStream &err_;
    TerminalView *terminal_ = nullptr;
    bool started_ = false;
    QHash<QString, int> shownPercent_; // the last progress told, per slot
};

} // namespace flash
