#pragma once

// The live picture on a terminal (terminalpicture.h), drawn again when the
// station changes, at most five times a second, and every second for the
// clocks. A watched folder gets the terminal's alternate screen, drawn from
// its top each time; a list of ports is drawn in place, under what the shell
// printed. Either way the last picture stays, whole, in the scroll-back.
//
// The header says what holds now, never what held once: the record held,
// the database's state, an image changed on disk, the folder missing, the
// station stopping; each line goes when its cause does.

#include "kvt-flash/terminalpicture.h"

#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>

#include <functional>

namespace flash {

class TerminalView : public QObject
{
    Q_OBJECT

public:
    TerminalView(
        station::Station &station, QTextStream &out,
        std::function<ScreenSize()> screen = [] { return ScreenSize{}; },
        QObject *parent = nullptr);

    void start();
    // A message of the moment: the last few stay under the header.
    void notice(const QString &text);
    // The image on disk is not the one loaded; empty when it is again.
    void setImageWarning(const QString &text);
    // Leaves the live picture, with the last one whole.
    void finish();

    // The picture as the terminal's size has it now.
    QStringList lines() const;

private:
    QStringList header() const;
    void redraw(bool now = false);
    void draw();

    station::Station &station_;
    QTextStream &out_;
    const std::function<ScreenSize()> screen_;
    const bool alternate_;
    QTimer ticker_;   // the clocks and speeds move in silence too
    QTimer nextDraw_; // changes that came too soon after the last picture
    QElapsedTimer sinceDraw_;
    int drawnLines_ = 0; // in place: the lines to go back over
    bool started_ = false;
    QString imageWarning_;
    QStringList notices_;
};

// "record /var/log/kvt/line3.jsonl, database sqlite:…" or what stands instead.
QString recordText(const station::Station &station);

} // namespace flash
