#pragma once

// One slot of the station on screen, made to be read from a couple of metres:
// the slot's name, its state as a word in large type on a colour that says the
// same (blue flashing, green ok, red failed, grey empty), the progress and
// speed while flashing, the board's USB serial number, the last result's
// message and how long it took. Hovering shows the whole message and record;
// a click opens them in a box that can be copied from.

#include "station.h"

#include <QFrame>

class QLabel;
class QProgressBar;

namespace station {

class SlotTile : public QFrame
{
    Q_OBJECT

public:
    enum class Tone
    {
        Empty,    // grey: the board is gone
        Waiting,  // light grey: seen, about to start
        Held,     // amber: not flashed (paused, or not a matching adapter)
        Flashing, // blue
        Ok,       // green
        Failed,   // red
    };

    struct Look
    {
        Tone tone;
        QString word;
    };

    static constexpr int Width = 300;
    static constexpr int Height = 200;

    explicit SlotTile(const QString &name, QWidget *parent = nullptr);

    static Look lookOf(const Slot &slot);
    // Draws the slot as it is now; cheap when nothing shown has changed.
    void showSlot(const Slot &slot);

    Tone tone() const { return look_.tone; }
    QString word() const { return look_.word; }
    QString serialText() const;
    QString detailText() const;

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void setTone(Tone tone);
    void showWaiting(const Slot &slot);
    void showFlashing(const Slot &slot);
    void showResult(const Slot &slot);
    void showRecordBox();

    Look look_{Tone::Waiting, QString()};
    bool toneSet_ = false;
    QJsonObject record_;
    QLabel *name_;
    QLabel *word_;
    QProgressBar *progress_;
    QLabel *detail_;
    QLabel *serial_;
    QLabel *duration_;
};

} // namespace station
