#include "kvt-station/slottile.h"

#include <QJsonDocument>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QTextLayout>

namespace station {

namespace {

QFont fontOf(qreal pixels, bool bold)
{
    QFont font;
    font.setPixelSize(qRound(pixels));
    font.setBold(bold);
    return font;
}

} // namespace

// Type and spacing follow the tile's height. The label (what the operator
// looks for), the word and what to do next stay readable from a step away
// even on the least tile, of a full fixture on one screen; the rest is
// smaller and gives way first.
struct SlotTile::Metrics
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
    // The border as a fill under the face: stroking a rectangle costs the
    // raster engine many times what filling one does.
    painter.fillRect(rect(), colours.background.darker(160));
    painter.fillRect(rect().adjusted(1, 1, -1, -1), colours.background);
    painter.setPen(colours.text);
    drawTexts(painter, metrics, colours);
    text_.forgetUnused();
}

// From the top down while the tile has room: a paragraph that does not fit
// and all below it are left out.
void SlotTile::drawTexts(QPainter &painter, const Metrics &metrics, const Colours &colours)
{
    using Overflow = TileText::Overflow;
    int y = metrics.margin / 2;
    const auto draw = [&](const QString &text, const QFont &font, int maxLines, Overflow overflow) {
        const QTextLayout &layout =
            text_.laidOut(text, font, metrics.textWidth, maxLines, overflow);
        const int lineHeight = QFontMetrics(layout.font()).height();
        for (int i = 0; i < layout.lineCount(); ++i, y += lineHeight) {
            if (y + lineHeight > height())
                return false;
            layout.lineAt(i).draw(&painter, QPointF(metrics.margin, y - i * lineHeight));
        }
        return true;
    };
    draw(label_.isEmpty() ? objectName() : label_, metrics.label, 1, Overflow::ElideLeft);
    draw(view_.word.toUpper(), metrics.word, 1, Overflow::Shrink);
    if (view_.percent >= 0) {
        const QRect bar(metrics.margin, y + 2, metrics.textWidth, metrics.barHeight);
        painter.fillRect(bar, colours.background.darker(130));
        painter.fillRect(bar.adjusted(0, 0, -metrics.textWidth * (100 - view_.percent) / 100, 0),
                         colours.text);
        y += metrics.barHeight + 6;
    }
    // Each paragraph on up to two lines.
    if (!view_.nextStep.isEmpty() && !draw(view_.nextStep, metrics.step, 2, Overflow::ElideRight))
        return;
    for (const QString &paragraph : textLines())
        if (!paragraph.isEmpty() && !draw(paragraph, metrics.line, 2, Overflow::ElideRight))
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
