#include "kvt-station/slottile.h"

#include "flash/outcomes.h"
#include "flash/uploadtext.h"

#include <QJsonDocument>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>

namespace station {

namespace {

// "850 ms", "12.4 s", "2 min 05 s"
QString durationText(qint64 ms)
{
    if (ms < 1000)
        return QStringLiteral("%1 ms").arg(ms);
    if (ms < 60 * 1000)
        return QStringLiteral("%1 s").arg(ms / 1000.0, 0, 'f', 1);
    return QStringLiteral("%1 min %2 s").arg(ms / 60000).arg((ms / 1000) % 60, 2, 10, QChar('0'));
}

QFont fontOf(qreal pixels, bool bold)
{
    QFont font;
    font.setPixelSize(qRound(pixels));
    font.setBold(bold);
    return font;
}

// Type and spacing follow the tile's height: a full tile (180 px) reads from
// a couple of metres; the smallest, of a full fixture on one screen, still
// shows the label, the state word and a line or two.
struct Metrics
{
    explicit Metrics(const QSize &size)
        : margin(qBound(6, size.width() / 25, 12)), textWidth(size.width() - 2 * margin),
          label(fontOf(qBound(14.0, size.height() * 0.11, 20.0), true)),
          word(fontOf(qBound(20.0, size.height() * 0.2, 36.0), true)),
          line(fontOf(qBound(12.0, size.height() * 0.1, 18.0), false)),
          barHeight(qBound(6, size.height() / 13, 14))
    {}
    int margin;
    int textWidth;
    QFont label;
    QFont word;
    QFont line;
    int barHeight;
};

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

SlotTile::Colours SlotTile::coloursOf(Tone tone)
{
    switch (tone) {
    case Tone::Empty:
        return {"#d5d8dc", "#1c1c1c"};
    case Tone::Waiting:
        return {"#eef0f2", "#1c1c1c"};
    case Tone::Held:
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

SlotTile::Look SlotTile::lookOf(const Slot &slot)
{
    switch (slot.state) {
    case Slot::State::Settling:
        switch (slot.waiting) {
        case Slot::Waiting::No:
            return {Tone::Waiting, QStringLiteral("WAITING")};
        case Slot::Waiting::Paused:
            return {Tone::Held, QStringLiteral("PAUSED")};
        case Slot::Waiting::Held:
            return {Tone::Held, QStringLiteral("HELD")};
        case Slot::Waiting::WrongAdapter:
        case Slot::Waiting::NotSerial:
        case Slot::Waiting::Twin:
        case Slot::Waiting::InUse:
            return {Tone::Held, QStringLiteral("SKIPPED")};
        }
        break;
    case Slot::State::Flashing:
        return {Tone::Flashing, QStringLiteral("FLASHING")};
    case Slot::State::Done:
        // Until its record is on the disk, a board is nobody's to trace.
        if (!slot.lastRecorded)
            return {Tone::Held, QStringLiteral("NOT RECORDED")};
        return slot.lastOk ? Look{Tone::Ok, QStringLiteral("OK")}
                           : Look{Tone::Failed, QStringLiteral("FAILED")};
    case Slot::State::Empty:
        break;
    }
    return {Tone::Empty, QStringLiteral("UNPLUGGED")};
}

void SlotTile::showSlot(const Slot &slot)
{
    Shown shown = slot.state == Slot::State::Flashing ? flashing(slot)
                  : slot.state == Slot::State::Settling
                      ? Shown{lookOf(slot), -1, slot.skipped, {}, {}}
                      : result(slot);
    if (slot.label != label_) {
        label_ = slot.label;
        update();
    }
    shown.serial =
        slot.usb.serial.isEmpty() ? slot.device : QStringLiteral("SN ") + slot.usb.serial;
    if (shown.look.word == look_.word && shown.progress == progress_ && shown.detail == detail_ &&
        shown.serial == serial_ && shown.duration == duration_)
        return;
    look_ = shown.look;
    progress_ = shown.progress;
    detail_ = shown.detail;
    serial_ = shown.serial;
    duration_ = shown.duration;
    update();
}

SlotTile::Shown SlotTile::flashing(const Slot &slot)
{
    const flash::UploadProgress &progress = slot.progress;
    QString detail = QStringLiteral("%1 %").arg(progress.percent());
    if (progress.phase != ymodem::UploadPhase::Data)
        detail += QStringLiteral(" · ") + uploadtext::phaseName(progress.phase);
    else if (progress.bytesPerSecond() > 0)
        detail += QStringLiteral(" · %1 KiB/s").arg(progress.bytesPerSecond() / 1024, 0, 'f', 1);
    return {lookOf(slot), progress.percent(), detail, {}, durationText(progress.elapsedMs)};
}

SlotTile::Shown SlotTile::result(const Slot &slot)
{
    if (slot.last != record_) {
        record_ = slot.last;
        setToolTip(
            QStringLiteral("%1\n%2\n\n%3")
                .arg(objectName(), record_.value("message").toString(),
                     QString::fromUtf8(QJsonDocument(record_).toJson(QJsonDocument::Indented))));
    }
    if (record_.isEmpty())
        return {lookOf(slot), -1, {}, {}, {}};
    QString message = slot.lastResult.message;
    if (slot.state == Slot::State::Empty)
        message = QStringLiteral("last: %1 · %2").arg(slot.lastOk ? "ok" : "FAILED", message);
    // A failed board's tile says first what to do about it.
    else if (!slot.lastOk)
        message = flash::nextStep(slot.lastResult.outcome) + QLatin1Char('\n') + message;
    const qint64 took = slot.lastResult.durationMs;
    return {lookOf(slot), -1, message, {}, QStringLiteral("took ") + durationText(took)};
}

void SlotTile::paintEvent(QPaintEvent *)
{
    const Colours colours = coloursOf(look_.tone);
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
    draw(metrics.word, look_.word, Qt::ElideRight);
    if (progress_ >= 0) {
        const QRect bar(metrics.margin, y + 2, metrics.textWidth, metrics.barHeight);
        painter.fillRect(bar, colours.background.darker(130));
        painter.fillRect(bar.adjusted(0, 0, -metrics.textWidth * (100 - progress_) / 100, 0),
                         colours.text);
        y += metrics.barHeight + 6;
    }
    QStringList lines;
    for (const QString &paragraph : detail_.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines += twoLines(paragraph, QFontMetrics(metrics.line), metrics.textWidth);
    for (const QString &line : lines + QStringList{serial_, duration_})
        if (!draw(metrics.line, line, Qt::ElideRight))
            break;
}

void SlotTile::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && !record_.isEmpty())
        showRecordBox();
    QWidget::mouseReleaseEvent(event);
}

void SlotTile::showRecordBox()
{
    const bool ok = record_.value("status").toString() == QLatin1String("ok");
    auto *box = new QMessageBox(ok ? QMessageBox::Information : QMessageBox::Warning, objectName(),
                                record_.value("message").toString(), QMessageBox::Close, this);
    box->setDetailedText(QString::fromUtf8(QJsonDocument(record_).toJson(QJsonDocument::Indented)));
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false); // the station stays in the operator's hands meanwhile
    box->show();
}

} // namespace station
