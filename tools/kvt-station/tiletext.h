#pragma once

// The lines of a tile's text, shaped once and drawn from their glyphs on
// every repaint while they stay the same. Shaping text is most of what
// painting a tile costs, a tile is repainted ten times a second while its
// board flashes, and between two repaints only its progress line changes.

#include <QFont>
#include <QHash>
#include <QString>
#include <QTextLayout>

#include <memory>

namespace station {

class TileText
{
public:
    // What becomes of text wider than its room: cut at the start (a slot
    // name, whose end tells ports apart), cut at the end, or set smaller
    // (a word cut short says something else) and then cut at the end.
    enum class Overflow
    {
        ElideLeft,
        ElideRight,
        Shrink
    };

    // `text` in `font` on at most `maxLines` lines of `width` pixels, broken
    // between words; what does not fit is cut on the last line. Lines stand
    // one below the other from 0; each is a whole number of pixels high.
    const QTextLayout &laidOut(const QString &text, const QFont &font, int width, int maxLines,
                               Overflow overflow);
    // Forgets what was not asked for since the last call: a tile keeps only
    // the text it shows.
    void forgetUnused();

private:
    struct Entry
    {
        std::shared_ptr<QTextLayout> layout;
        bool used = true;
    };
    QHash<QString, Entry> entries_;
};

} // namespace station
