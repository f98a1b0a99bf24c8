#include "kvt-station/tiletext.h"

#include <QFontMetrics>

namespace station {

namespace {

// Lays `text` out with the given number of characters on each line, or
// broken between words at `width` where none is given.
std::unique_ptr<QTextLayout> lines(const QString &text, const QFont &font, int width, int maxLines,
                                   const QVector<int> &lengths = {})
{
    auto layout = std::make_unique<QTextLayout>(text, font);
    QTextOption option;
    option.setWrapMode(maxLines > 1 ? QTextOption::WordWrap : QTextOption::NoWrap);
    layout->setTextOption(option);
    const int height = QFontMetrics(font).height();
    layout->beginLayout();
    for (int i = 0; lengths.isEmpty() || i < lengths.size(); ++i) {
        QTextLine line = layout->createLine();
        if (!line.isValid())
            break;
        if (lengths.isEmpty())
            line.setLineWidth(width);
        else
            line.setNumColumns(lengths.at(i));
        line.setPosition(QPointF(0, i * height));
    }
    layout->endLayout();
    return layout;
}

// The first line that does not stand as laid out: too wide, or the last
// one allowed while text remains. The line count when all of it fits.
int firstLineToCut(const QTextLayout &layout, int width, int maxLines)
{
    const int count = layout.lineCount();
    for (int i = 0; i < count; ++i) {
        if (layout.lineAt(i).naturalTextWidth() > width)
            return i;
        if (i == maxLines - 1)
            return i == count - 1 ? count : i;
    }
    return count;
}

std::unique_ptr<QTextLayout> layOut(const QString &text, QFont font, int width, int maxLines,
                                    TileText::Overflow overflow)
{
    if (overflow == TileText::Overflow::Shrink) {
        const int advance = QFontMetrics(font).horizontalAdvance(text);
        if (advance > width)
            font.setPixelSize(qMax(12, font.pixelSize() * width / advance));
    }
    std::unique_ptr<QTextLayout> layout = lines(text, font, width, maxLines);
    const int cut = firstLineToCut(*layout, width, maxLines);
    if (cut == layout->lineCount())
        return layout;
    QVector<int> lengths;
    for (int i = 0; i < cut; ++i)
        lengths.append(layout->lineAt(i).textLength());
    const int start = layout->lineAt(cut).textStart();
    const QString rest = QFontMetrics(font).elidedText(
        text.mid(start), overflow == TileText::Overflow::ElideLeft ? Qt::ElideLeft : Qt::ElideRight,
        width);
    lengths.append(rest.size());
    return lines(text.left(start) + rest, font, width, maxLines, lengths);
}

} // namespace

const QTextLayout &TileText::laidOut(const QString &text, const QFont &font, int width,
                                     int maxLines, Overflow overflow)
{
    const QString key = QStringLiteral("%1 %2 %3 %4 %5|")
                            .arg(font.pixelSize())
                            .arg(font.bold())
                            .arg(width)
                            .arg(maxLines)
                            .arg(int(overflow)) +
                        text;
    Entry &entry = entries_[key];
    if (!entry.layout)
        entry.layout = layOut(text, font, width, maxLines, overflow);
    entry.used = true;
    return *entry.layout;
}

void TileText::forgetUnused()
{
    for (auto entry = entries_.begin(); entry != entries_.end();) {
        if (entry->used) {
            entry->used = false;
            ++entry;
        } else {
            entry = entries_.erase(entry);
        }
    }
}

} // namespace station
