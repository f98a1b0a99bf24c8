#pragma once

// One slot of the station on screen, made to be read from a couple of metres:
// the slot's label (the fixture's name for it, or the part of the entry's name
// that tells it apart), its state as a word in large type on a colour that says the
// same (blue flashing, green ok, red failed, grey empty), the progress and
// speed while flashing, the board's USB serial number, the last result's
// message and how long it took; a failed board's tile says first, in bold,
// what to do. The label, the word and what to do stay large on the least
// tile; what does not fit is left out from the bottom. Hovering shows the whole message and
// record; a click opens them in a box that can be copied from.
//
// One widget that paints itself: a station shows dozens, and a tile drawn as
// a handful of child widgets costs far more to make, lay out and repaint.

#include "common/boardview.h"
#include "kvt-station/tiletext.h"

#include <QColor>
#include <QWidget>

namespace station {

class SlotTile : public QWidget
{
    Q_OBJECT

public:
    // Each text colour stands at least 4.5:1 against its background.
    struct Colours
    {
        QColor background;
        QColor text;
    };

    // The full size; the grid makes tiles smaller, down to the least, to
    // show a whole fixture at once.
    static constexpr int Width = 300;
    static constexpr int Height = 180;
    static constexpr int LeastWidth = 150;
    static constexpr int LeastHeight = 90;

    explicit SlotTile(const QString &name, QWidget *parent = nullptr);

    static Colours coloursOf(programs::Tone tone);
    // Takes the slot as the presenter reads it now; repaints only when what
    // shows changed.
    void showSlot(const Slot &slot, const programs::StationContext &context);

    const programs::BoardView &view() const { return view_; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    struct Metrics;
    void drawTexts(QPainter &painter, const Metrics &metrics, const Colours &colours);
    void showRecordBox();
    QStringList textLines() const;

    QString label_;
    programs::BoardView view_;
    records::BoardRecord record_; // of the last board, for the click box
    TileText text_;
};

} // namespace station
