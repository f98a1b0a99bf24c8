#pragma once

// The station's slots as a grid of tiles, one per slot seen, in slot order
// (numbers within names counted as numbers, so port 10 follows port 9), as
// many columns as the width holds; scrolls when they do not all fit.

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
    void showSlot(const Slot &slot);
    SlotTile *tile(const QString &slot) const { return tiles_.value(slot); }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void place();
    int columnsForWidth() const;

    QWidget *inner_;
    QGridLayout *layout_;
    QMap<QString, SlotTile *> tiles_;
    QStringList order_;
    int columns_ = 0;
    bool placing_ = false;
};

} // namespace station
