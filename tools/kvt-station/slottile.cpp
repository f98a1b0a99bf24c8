#include "kvt-station/slottile.h"

#include <QJsonDocument>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>

namespace station {

namespace {

QFont fontOf(qreal pixels, bool bold)
{
    QFont font;
    font.setPixelSize(qRound(pixels));
    font.setBold(bold);
    return font;
}

// Type and spacing follow the tile's height. The label (what the operator
// looks for), the word and what to do next stay readable from a step away
// even on the least tile, of a full fixture on one screen; the rest is
// smaller and gives way first.
struct Metrics
{
    explicit Metrics(const QSize &size)
        : margin(qBound(6, size.width() / 25, 12)), textWidth(size.width() - 2 * margin),
          label(fontOf(qBound(20.0, size.height() * 0.15, 28.0), true)),
          word(fontOf(qBound(22.0, size.height() * 0.22, 40.0), true)),
          step(fontOf(qBound(15.0, size.height() * 0.11, 20.0), true)),
          line(fontOf(qBound(13.0, size.height() * 0.095, 17.0), false)),
          barHeight(qBound(6, size.height() / 13, 14))
    {}
    int margin;
    int textWidth;
    QFont label;
    QFont word;
    QFont step;
    QFont line;
    int barHeight;
};

// A long word ("NOT RECORDED") on a narrow tile is made smaller rather than
// cut: a word cut short says something else.
QFont fitted(QFont font, const QString &text, int width)
{
    const int advance = QFontMetrics(font).horizontalAdvance(text);
    if (advance > width)
        font.setPixelSize(qMax(12, font.pixelSize() * width / advance));
    return font;
}

// A paragraph on up to two lines of `width`, broken between words, the
// second cut short when even two do not hold it.
QStringList twoLines(const QString &text, const QFontMetrics &metrics, int width)
{
    if (metrics.horizontalAdvance(text) <= width)
        return {text};
    int cut = text.indexOf(QLatin1Char(' '));
    if (cut < 0 || metrics.horizontalAdvance(text.left(cut)) > width)
        return {metrics.elidedText(text, Qt::ElideRight, width)};
    for (int next = cut; next >= 0 && metrics.horizontalAdvance(text.left(next)) <= width;
         next = text.indexOf(QLatin1Char(' '), next + 1))
        cut = next;
    return {text.left(cut), metrics.elidedText(text.mid(cut + 1), Qt::ElideRight, width)};
}

} // namespace

SlotTile::Colours SlotTile::coloursOf(programs::Tone tone)
{
    using programs::Tone;
    switch (tone) {
    case Tone::Empty:
        return {"#d5d8dc", "#1c1c1c"};
    case Tone::Waiting:
        return {"#eef0f2", "#1c1c1c"};
    case Tone::Attention:
        return {"#ffd54f", "#1c1c1c"};
    case Tone::Flashing:
        return {"#1559b8", "#ffffff"};
    case Tone::Ok:
        return {"#1e7b34", "#ffffff"};
    case Tone::Failed:
        return {"#c0262d", "#ffffff"};
    }
    return {Qt::white, Qt::black};
}

SlotTile::SlotTile(const QString &name, QWidget *parent) : QWidget(parent)
{
    setObjectName(name);
    setFixedSize(Width, Height);           // until the grid says otherwise
    setAttribute(Qt::WA_OpaquePaintEvent); // every pixel is painted: nothing behind to draw
    setCursor(Qt::PointingHandCursor);
    setToolTip(name);
}

void SlotTile::showSlot(const Slot &slot, const programs::StationContext &context)
{
    const programs::BoardView view = programs::present(slot, context);
    if (slot.last.id != record_.id) {
        record_ = slot.last;
        setToolTip(QStringLiteral("%1\n%2\n\n%3")
                       .arg(objectName(), record_.message,
                            QString::fromUtf8(
                                QJsonDocument(record_.toJson()).toJson(QJsonDocument::Indented))));
    }
    if (slot.label == label_ && view.word == view_.word && view.tone == view_.tone &&
        view.detail == view_.detail && view.nextStep == view_.nextStep &&
        view.percent == view_.percent && view.speed == view_.speed &&
        view.duration == view_.duration && view.who == view_.who && view.proof == view_.proof)
        return;
    label_ = slot.label;
    view_ = view;
    update();
}

// Under the word: what to do first on a failed board, then what happened
// or how far it is, the speed, who the board is, how long it took.
QStringList SlotTile::textLines() const
{
    QString detail = view_.detail;
    if (!view_.speed.isEmpty())
        detail += QStringLiteral(" · ") + view_.speed;
    return {detail, view_.proof, view_.who, view_.duration};
}

void SlotTile::paintEvent(QPaintEvent *)
{
    const Colours colours = coloursOf(view_.tone);
    const Metrics metrics(size());
    QPainter painter(this);
    painter.fillRect(rect(), colours.background);
    painter.setPen(colours.background.darker(160));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    painter.setPen(colours.text);
    int y = metrics.margin / 2;
    // Draws one line at `y` if it fits in the tile; a long slot name keeps
    // its end, where names of a hub's ports differ.
    const auto draw = [&](const QFont &font, const QString &text, Qt::TextElideMode elide) {
        const QFontMetrics fontMetrics(font);
        if (y + fontMetrics.height() > height())
            return false;
        painter.setFont(font);
        painter.drawText(metrics.margin, y + fontMetrics.ascent(),
                         fontMetrics.elidedText(text, elide, metrics.textWidth));
        y += fontMetrics.height();
        return true;
    };
    draw(metrics.label, label_.isEmpty() ? objectName() : label_, Qt::ElideLeft);
    const QString word = view_.word.toUpper();
    draw(fitted(metrics.word, word, metrics.textWidth), word, Qt::ElideRight);
    if (view_.percent >= 0) {
        const QRect bar(metrics.margin, y + 2, metrics.textWidth, metrics.barHeight);
        painter.fillRect(bar, colours.background.darker(130));
        painter.fillRect(bar.adjusted(0, 0, -metrics.textWidth * (100 - view_.percent) / 100, 0),
                         colours.text);
        y += metrics.barHeight + 6;
    }
    // Each paragraph on up to two lines, while the tile has room.
    const auto drawParagraph = [&](const QFont &font, const QString &paragraph) {
        bool fits = true;
        for (const QString &line : twoLines(paragraph, QFontMetrics(font), metrics.textWidth))
            fits = fits && draw(font, line, Qt::ElideRight);
        return fits;
    };
    if (!view_.nextStep.isEmpty() && !drawParagraph(metrics.step, view_.nextStep))
        return;
    for (const QString &paragraph : textLines())
        if (!paragraph.isEmpty() && !drawParagraph(metrics.line, paragraph))
            return;
}

void SlotTile::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && !record_.status.isEmpty())
        showRecordBox();
    QWidget::mouseReleaseEvent(event);
}

// The whole message, what to do next, and the record, to read and copy.
void SlotTile::showRecordBox()
{
    const QString text =
        view_.nextStep.isEmpty()
            ? record_.message
            : QStringLiteral("%1\n\nNext: %2").arg(record_.message, view_.nextStep);
    auto *box = new QMessageBox(record_.isOk() ? QMessageBox::Information : QMessageBox::Warning,
                                objectName(), text, QMessageBox::Close, this);
    box->setDetailedText(
        QString::fromUtf8(QJsonDocument(record_.toJson()).toJson(QJsonDocument::Indented)));
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false); // the station stays in the operator's hands meanwhile
    box->show();
}

} // namespace station
