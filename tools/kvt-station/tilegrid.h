#pragma once

// The station's slots as a grid of tiles, one per slot seen, in slot order
// (numbers within names counted as numbers, so port 10 follows port 9), so
// that a tile keeps its place as the board keeps its place in the fixture.
// Tiles shrink to show every slot at once (64 on a 1600x1000 screen); the
// grid scrolls only when even the least tiles do not all fit.

#include "kvt-station/slottile.h"

#include <QMap>
#include <QScrollArea>
#include <QStringList>

class QGridLayout;

namespace station {

class TileGrid : public QScrollArea
{
    Q_OBJECT

public:
    explicit TileGrid(QWidget *parent = nullptr);

    // Shows the slot on its tile, making the tile on the slot's first sight.
    void showSlot(const Slot &slot, const programs::StationContext &context);
    // Sizes the tiles for `count` slots, though fewer have a tile yet.
    void expect(int count);
    SlotTile *tile(const QString &slot) const { return tiles_.value(slot); }
    // The slot's tile is wholly on screen.
    bool isInView(const QString &slot) const;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    struct Arrangement
    {
        int columns = 0;
        QSize tileSize;
        bool operator!=(const Arrangement &other) const
        {
            return columns != other.columns || tileSize != other.tileSize;
        }
    };

    void placeSoon();
    void place();
    Arrangement arrangementFor(int tiles) const;

    QWidget *inner_;
    QGridLayout *layout_;
    QMap<QString, SlotTile *> tiles_;
    QStringList order_;
    Arrangement arrangement_;
    int expected_ = 0;
    bool placing_ = false;
};

} // namespace station
