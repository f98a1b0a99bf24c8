#include "kvt-station/slottile.h"

#include "uploadtext.h"

#include <QJsonDocument>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>

namespace station {

namespace {

constexpr int Margin = 12;
constexpr int TextWidth = SlotTile::Width - 2 * Margin;
constexpr int BarHeight = 14;

QFont fontOf(int pixels, bool bold)
{
    QFont font;
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

const QFont &nameFont()
{
    static const QFont font = fontOf(18, true);
    return font;
}

const QFont &wordFont()
{
    static const QFont font = fontOf(36, true);
    return font;
}

const QFont &lineFont()
{
    static const QFont font = fontOf(19, false);
    return font;
}

// "850 ms", "12.4 s", "2 min 05 s"
QString durationText(qint64 ms)
{
    if (ms < 1000)
        return QStringLiteral("%1 ms").arg(ms);
    if (ms < 60 * 1000)
        return QStringLiteral("%1 s").arg(ms / 1000.0, 0, 'f', 1);
    return QStringLiteral("%1 min %2 s").arg(ms / 60000).arg((ms / 1000) % 60, 2, 10, QChar('0'));
}

// A message on up to two lines, broken between words, the second cut short
// when even two do not hold it.
QString twoLines(const QString &text)
{
    const QFontMetrics metrics(lineFont());
    if (metrics.horizontalAdvance(text) <= TextWidth)
        return text;
    int cut = text.indexOf(QLatin1Char(' '));
    if (cut < 0 || metrics.horizontalAdvance(text.left(cut)) > TextWidth)
        return metrics.elidedText(text, Qt::ElideRight, TextWidth);
    for (int next = cut; next >= 0 && metrics.horizontalAdvance(text.left(next)) <= TextWidth;
         next = text.indexOf(QLatin1Char(' '), next + 1))
        cut = next;
    return text.left(cut) + QLatin1Char('\n') +
           metrics.elidedText(text.mid(cut + 1), Qt::ElideRight, TextWidth);
}

// Draws one line of text at `y` and returns where the next one starts.
int drawLine(QPainter &painter, int y, const QFont &font, const QString &text,
             Qt::TextElideMode elide = Qt::ElideRight)
{
    painter.setFont(font);
    const QFontMetrics metrics(font);
    painter.drawText(Margin, y + metrics.ascent(), metrics.elidedText(text, elide, TextWidth));
    return y + metrics.height();
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
    setFixedSize(Width, Height);
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
                      ? Shown{lookOf(slot), -1, twoLines(slot.skipped), {}, {}}
                      : result(slot);
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
    const qint64 took = slot.lastResult.durationMs;
    return {lookOf(slot), -1, twoLines(message), {}, QStringLiteral("took ") + durationText(took)};
}

void SlotTile::paintEvent(QPaintEvent *)
{
    const Colours colours = coloursOf(look_.tone);
    QPainter painter(this);
    painter.fillRect(rect(), colours.background);
    painter.setPen(colours.background.darker(160));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    painter.setPen(colours.text);
    // Slot names such as pci-0000:00:14.0-usb-0:1.4:1.0-port0 differ at the
    // end, in the port on the hub.
    int y = drawLine(painter, Margin / 2, nameFont(), objectName(), Qt::ElideLeft);
    y = drawLine(painter, y, wordFont(), look_.word);
    if (progress_ >= 0) {
        const QRect bar(Margin, y + 2, TextWidth, BarHeight);
        painter.fillRect(bar, colours.background.darker(130));
        painter.fillRect(bar.adjusted(0, 0, -TextWidth * (100 - progress_) / 100, 0), colours.text);
        y += BarHeight + 6;
    }
    for (const QString &line : detail_.split(QLatin1Char('\n')) + QStringList{serial_, duration_})
        y = drawLine(painter, y, lineFont(), line);
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
