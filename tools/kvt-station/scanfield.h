#pragma once

// Where the label scanner types: a barcode scanner is a keyboard that types a
// code and Enter, so the field keeps the focus whatever the operator clicked,
// and each code goes to the station. Beside it, what the codes are waiting
// for: a board to be plugged, or the next label for a slot scanned.

#include <QWidget>

class QLabel;
class QLineEdit;

namespace station {

class Station;

class ScanField : public QWidget
{
    Q_OBJECT

public:
    explicit ScanField(QWidget *parent = nullptr);

    // The station the codes go to; none before it starts.
    void setStation(Station *station);
    QString stateText() const;

private:
    void take();
    void showState(const QString &code = QString(), const QString &slot = QString());
    void keepFocus(QWidget *now);

    Station *station_ = nullptr;
    QLineEdit *edit_;
    QLabel *state_;
};

} // namespace station
