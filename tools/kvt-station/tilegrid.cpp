#include "kvt-station/tilegrid.h"

#include <QGridLayout>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>

namespace station {

namespace {

constexpr int Spacing = 10;

// Slot names compared as a person reads them: runs of digits by their value,
// so "port-2" comes before "port-10" whatever the locale.
bool slotOrder(const QString &a, const QString &b)
{
    int i = 0;
    int j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            const int startA = i;
            const int startB = j;
            while (i < a.size() && a.at(i).isDigit())
                ++i;
            while (j < b.size() && b.at(j).isDigit())
                ++j;
            const qulonglong numberA = a.mid(startA, i - startA).toULongLong();
            const qulonglong numberB = b.mid(startB, j - startB).toULongLong();
            if (numberA != numberB)
                return numberA < numberB;
        } else if (a.at(i) != b.at(j)) {
            return a.at(i) < b.at(j);
        } else {
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j || (a.size() - i == b.size() - j && a < b);
}

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

void TileGrid::showSlot(const Slot &slot)
{
    SlotTile *tile = tiles_.value(slot.name);
    if (!tile) {
        tile = new SlotTile(slot.name, inner_);
        tiles_.insert(slot.name, tile);
        const auto at = std::upper_bound(order_.begin(), order_.end(), slot.name, slotOrder);
        order_.insert(at, slot.name);
        // Boards plugged together arrive one by one within a single pass of
        // the event loop: lay them out once, after the last.
        if (!placing_) {
            placing_ = true;
            QTimer::singleShot(0, this, &TileGrid::place);
        }
    }
    tile->showSlot(slot);
}

int TileGrid::columnsForWidth() const
{
    // The scroll bar's room is kept whether it shows or not: counted only
    // when shown, a second row that brings it would take a column away, and
    // the column count would depend on the order things happened in.
    const QMargins margins = layout_->contentsMargins();
    const int width = this->width() - 2 * frameWidth() - verticalScrollBar()->sizeHint().width() -
                      margins.left() - margins.right();
    return qMax(1, (width + Spacing) / (SlotTile::Width + Spacing));
}

void TileGrid::place()
{
    placing_ = false;
    columns_ = columnsForWidth();
    for (int i = 0; i < order_.size(); ++i) {
        SlotTile *tile = tiles_.value(order_.at(i));
        layout_->removeWidget(tile);
        layout_->addWidget(tile, i / columns_, i % columns_);
    }
}

void TileGrid::resizeEvent(QResizeEvent *event)
{
    QScrollArea::resizeEvent(event);
    if (columnsForWidth() != columns_)
        place();
}

} // namespace station
