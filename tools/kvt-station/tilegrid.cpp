#include "kvt-station/tilegrid.h"

#include "station/slotlabels.h"

#include <QGridLayout>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>

namespace station {

namespace {

constexpr int Spacing = 10;

} // namespace

TileGrid::TileGrid(QWidget *parent)
    : QScrollArea(parent), inner_(new QWidget), layout_(new QGridLayout(inner_))
{
    layout_->setSpacing(Spacing);
    layout_->setContentsMargins(Spacing / 2, Spacing / 2, Spacing / 2, Spacing / 2);
    layout_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    setWidget(inner_);
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
}

void TileGrid::showSlot(const Slot &slot, const programs::StationContext &context)
{
    SlotTile *tile = tiles_.value(slot.name);
    if (!tile) {
        tile = new SlotTile(slot.name, inner_);
        tiles_.insert(slot.name, tile);
        const auto at = std::upper_bound(order_.begin(), order_.end(), slot.name, slotNameBefore);
        order_.insert(at, slot.name);
        placeSoon();
    }
    tile->showSlot(slot, context);
}

void TileGrid::expect(int count)
{
    if (count > expected_) {
        expected_ = count;
        placeSoon();
    }
}

// Boards plugged together arrive one by one within a single pass of the
// event loop: they are laid out once, after the last.
void TileGrid::placeSoon()
{
    if (!placing_) {
        placing_ = true;
        QTimer::singleShot(0, this, &TileGrid::place);
    }
}

TileGrid::Arrangement TileGrid::arrangementFor(int tiles) const
{
    // The scroll bar's room is kept whether it shows or not: counted only
    // when shown, the arrangement would depend on the order things happened
    // in.
    const QMargins margins = layout_->contentsMargins();
    const int width = this->width() - 2 * frameWidth() - verticalScrollBar()->sizeHint().width() -
                      margins.left() - margins.right();
    const int height = this->height() - 2 * frameWidth() - margins.top() - margins.bottom();
    // The column count that lets tiles be largest, in both directions alike:
    // full-size tiles when they all fit, the least size (and a scroll bar)
    // when even that does not.
    Arrangement best{1, QSize(SlotTile::Width, SlotTile::Height)};
    double bestScale = -1;
    int bestArea = 0;
    for (int columns = 1; columns <= qMax(1, tiles); ++columns) {
        const int rows = (tiles + columns - 1) / columns;
        const int tileWidth = (width - (columns - 1) * Spacing) / columns;
        const int tileHeight = (height - (rows - 1) * Spacing) / qMax(1, rows);
        const double scale = qMin(qMin(1.0, double(tileWidth) / SlotTile::Width),
                                  qMin(1.0, double(tileHeight) / SlotTile::Height));
        if (tileWidth < SlotTile::LeastWidth && columns > 1)
            break;
        const QSize size(qBound(SlotTile::LeastWidth, tileWidth, SlotTile::Width),
                         qBound(SlotTile::LeastHeight, tileHeight, SlotTile::Height));
        const int area = size.width() * size.height();
        // On a tie, the larger tiles (a label reads better on a wider one);
        // then more columns: a wider grid.
        if (scale > bestScale + 1e-9 || (scale > bestScale - 1e-9 && area >= bestArea)) {
            bestScale = scale;
            bestArea = area;
            best = {columns, size};
        }
    }
    return best;
}

void TileGrid::place()
{
    placing_ = false;
    arrangement_ = arrangementFor(qMax(order_.size(), expected_));
    for (int i = 0; i < order_.size(); ++i) {
        SlotTile *tile = tiles_.value(order_.at(i));
        tile->setFixedSize(arrangement_.tileSize);
        layout_->removeWidget(tile);
        layout_->addWidget(tile, i / arrangement_.columns, i % arrangement_.columns);
    }
}

void TileGrid::resizeEvent(QResizeEvent *event)
{
    QScrollArea::resizeEvent(event);
    if (arrangementFor(qMax(order_.size(), expected_)) != arrangement_)
        place();
}

bool TileGrid::isInView(const QString &slot) const
{
    const SlotTile *tile = tiles_.value(slot);
    if (!tile)
        return false;
    const QRect shown(tile->mapTo(viewport(), QPoint(0, 0)), tile->size());
    return viewport()->rect().contains(shown);
}

} // namespace station
