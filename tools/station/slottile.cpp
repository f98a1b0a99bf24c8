#include "slottile.h"

#include "uploadtext.h"

#include <QJsonDocument>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QVBoxLayout>

namespace station {

namespace {

constexpr int Margin = 12;
constexpr int WordPixels = 34;
constexpr int NamePixels = 18;
constexpr int LinePixels = 17;
constexpr qint64 SpeedAfterMs = 500; // a speed over less time is noise

struct Colours
{
    const char *background;
    const char *text;
};

// Each text colour stands at least 4.5:1 against its background.
Colours coloursOf(SlotTile::Tone tone)
{
    switch (tone) {
    case SlotTile::Tone::Empty:
        return {"#d5d8dc", "#1c1c1c"};
    case SlotTile::Tone::Waiting:
        return {"#eef0f2", "#1c1c1c"};
    case SlotTile::Tone::Held:
        return {"#ffd54f", "#1c1c1c"};
    case SlotTile::Tone::Flashing:
        return {"#1559b8", "#ffffff"};
    case SlotTile::Tone::Ok:
        return {"#1e7b34", "#ffffff"};
    case SlotTile::Tone::Failed:
        return {"#c0262d", "#ffffff"};
    }
    return {"#ffffff", "#000000"};
}

QLabel *line(int pixels, bool bold, QWidget *parent)
{
    auto *label = new QLabel(parent);
    QFont font = label->font();
    font.setPixelSize(pixels);
    font.setBold(bold);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    return label;
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

void setElided(QLabel *label, const QString &text)
{
    const int width = SlotTile::Width - 2 * Margin;
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, width));
}

} // namespace

SlotTile::SlotTile(const QString &name, QWidget *parent)
    : QFrame(parent), name_(line(NamePixels, true, this)), word_(line(WordPixels, true, this)),
      progress_(new QProgressBar(this)), detail_(line(LinePixels, false, this)),
      serial_(line(LinePixels, false, this)), duration_(line(LinePixels, false, this))
{
    setObjectName(name);
    setFixedSize(Width, Height);
    setFrameShape(QFrame::Box);
    setAutoFillBackground(true);
    setCursor(Qt::PointingHandCursor);
    setElided(name_, name);
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    progress_->setFixedHeight(14);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(Margin, Margin / 2, Margin, Margin / 2);
    layout->setSpacing(2);
    for (QWidget *widget : {static_cast<QWidget *>(name_), static_cast<QWidget *>(word_),
                            static_cast<QWidget *>(progress_), static_cast<QWidget *>(detail_),
                            static_cast<QWidget *>(serial_), static_cast<QWidget *>(duration_)})
        layout->addWidget(widget);
    layout->addStretch();
    setTone(Tone::Waiting);
}

SlotTile::Look SlotTile::lookOf(const Slot &slot)
{
    switch (slot.state) {
    case Slot::State::Settling:
        if (slot.skipped == QLatin1String("paused"))
            return {Tone::Held, QStringLiteral("PAUSED")};
        if (!slot.skipped.isEmpty())
            return {Tone::Held, QStringLiteral("SKIPPED")};
        return {Tone::Waiting, QStringLiteral("WAITING")};
    case Slot::State::Flashing:
        return {Tone::Flashing, QStringLiteral("FLASHING")};
    case Slot::State::Done:
        return slot.lastOk ? Look{Tone::Ok, QStringLiteral("OK")}
                           : Look{Tone::Failed, QStringLiteral("FAILED")};
    case Slot::State::Empty:
        break;
    }
    return {Tone::Empty, QStringLiteral("UNPLUGGED")};
}

void SlotTile::showSlot(const Slot &slot)
{
    const Look look = lookOf(slot);
    setTone(look.tone);
    look_.word = look.word;
    word_->setText(look.word);
    progress_->setVisible(slot.state == Slot::State::Flashing);
    const QString board = slot.usb.serial.isEmpty() ? slot.device : slot.usb.serial;
    setElided(serial_, slot.usb.serial.isEmpty() ? board : QStringLiteral("SN ") + board);
    if (slot.state == Slot::State::Flashing)
        showFlashing(slot);
    else if (slot.state == Slot::State::Settling)
        showWaiting(slot);
    else
        showResult(slot);
}

void SlotTile::showFlashing(const Slot &slot)
{
    const int percent = qMax(
        0, uploadtext::percentSent(double(slot.total - slot.acknowledged), double(slot.total)));
    progress_->setValue(percent);
    const qint64 ms = slot.clock.isValid() ? slot.clock.elapsed() : 0;
    QString detail = QStringLiteral("%1 %").arg(percent);
    if (slot.phase != ymodem::UploadPhase::Data)
        detail += QStringLiteral(" · ") + uploadtext::phaseName(slot.phase);
    else if (ms > SpeedAfterMs && slot.sent > 0)
        detail += QStringLiteral(" · %1 KiB/s").arg(slot.sent / 1.024 / ms, 0, 'f', 1);
    setElided(detail_, detail);
    duration_->setText(durationText(ms));
}

void SlotTile::showWaiting(const Slot &slot)
{
    setElided(detail_, slot.skipped);
    duration_->clear();
}

void SlotTile::showResult(const Slot &slot)
{
    if (slot.last != record_) {
        record_ = slot.last;
        setToolTip(
            QStringLiteral("%1\n\n%2")
                .arg(record_.value("message").toString(),
                     QString::fromUtf8(QJsonDocument(record_).toJson(QJsonDocument::Indented))));
    }
    const QString message = record_.value("message").toString();
    const QString took = durationText(qint64(record_.value("duration_ms").toDouble()));
    if (slot.state == Slot::State::Empty && !record_.isEmpty()) {
        setElided(detail_,
                  QStringLiteral("last: %1 · %2")
                      .arg(slot.lastOk ? QStringLiteral("ok") : QStringLiteral("FAILED"), message));
        duration_->setText(QStringLiteral("took ") + took);
    } else {
        setElided(detail_, message);
        duration_->setText(record_.isEmpty() ? QString() : QStringLiteral("took ") + took);
    }
}

QString SlotTile::serialText() const
{
    return serial_->text();
}

QString SlotTile::detailText() const
{
    return detail_->text();
}

void SlotTile::setTone(Tone tone)
{
    if (toneSet_ && tone == look_.tone)
        return;
    toneSet_ = true;
    look_.tone = tone;
    const Colours colours = coloursOf(tone);
    QPalette colour = palette();
    colour.setColor(QPalette::Window, QColor(colours.background));
    colour.setColor(QPalette::WindowText, QColor(colours.text));
    // The bar's filled part in the text's colour, so it shows on the blue.
    colour.setColor(QPalette::Highlight, QColor(colours.text));
    colour.setColor(QPalette::Base, QColor(colours.background).darker(130));
    setPalette(colour);
}

void SlotTile::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && !record_.isEmpty())
        showRecordBox();
    QFrame::mouseReleaseEvent(event);
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
