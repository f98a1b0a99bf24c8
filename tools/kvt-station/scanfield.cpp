#include "kvt-station/scanfield.h"

#include "station/station.h"

#include <QApplication>
#include <QBoxLayout>
#include <QLabel>
#include <QLineEdit>

namespace station {

ScanField::ScanField(QWidget *parent)
    : QWidget(parent), edit_(new QLineEdit(this)), state_(new QLabel(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(QStringLiteral("Scan:"), this));
    edit_->setObjectName(QStringLiteral("scan"));
    edit_->setPlaceholderText(QStringLiteral("scan a board's label, or a slot's then a board's"));
    edit_->setMinimumWidth(320);
    layout->addWidget(edit_);
    state_->setObjectName(QStringLiteral("scanState"));
    layout->addWidget(state_, 1);
    connect(edit_, &QLineEdit::returnPressed, this, &ScanField::take);
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget *, QWidget *now) { keepFocus(now); });
    showState();
}

void ScanField::setStation(Station *station)
{
    station_ = station;
    if (station_)
        connect(station_, &Station::scanned, this,
                [this](const QString &code, const QString &slot) { showState(code, slot); });
    showState();
}

QString ScanField::stateText() const
{
    return state_->text();
}

void ScanField::take()
{
    const QString code = edit_->text().trimmed();
    edit_->clear();
    if (station_ && !code.isEmpty())
        station_->scan(code);
}

void ScanField::showState(const QString &code, const QString &slot)
{
    if (!station_)
        state_->setText(QStringLiteral("codes go to the boards once the station runs"));
    else if (!station_->armedSlot().isEmpty())
        state_->setText(
            QStringLiteral("slot %1: now scan its board's label").arg(station_->armedSlot()));
    else if (!station_->waitingCode().isEmpty())
        state_->setText(QStringLiteral("label %1: plug its board").arg(station_->waitingCode()));
    else if (!slot.isEmpty())
        state_->setText(QStringLiteral("label %1 given to slot %2").arg(code, slot));
    else
        state_->setText(QString());
}

// Buttons and tiles take no typing: the scanner's next code must land here,
// whatever was clicked last. A dialog or another field keeps its focus.
void ScanField::keepFocus(QWidget *now)
{
    if (!now || now == edit_ || window() != now->window() || qobject_cast<QLineEdit *>(now))
        return;
    edit_->setFocus();
}

} // namespace station
