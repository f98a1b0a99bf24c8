#pragma once

// The updater's real window, driven as a person drives it: a port chosen in
// the list, Update pressed, the image picked in the file dialog, each message
// box read and closed with OK.

#include "upgrader.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

class QFileDialog;
class QMessageBox;
class QSerialPort;

namespace bench {

struct ShownBox
{
    QString title;
    QString text;
};

// Answers modal windows the moment they are shown: the file dialog with the
// queued path, a message box with OK. It reacts to Show events rather than
// polling on a timer, so it adds no wake-ups of its own to the CPU and stall
// figures.
class ModalWatcher : public QObject
{
    Q_OBJECT

public:
    ModalWatcher();
    ~ModalWatcher() override;

    void answerFileDialogWith(const QString &path) { filePath_ = path; }
    const QVector<ShownBox> &boxes() const { return boxes_; }

signals:
    // Emitted while the box is being shown, before it is answered: a
    // measurement that ends at the box ends here.
    void boxShown();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void answerDialog(QFileDialog *dialog);
    void answerBox(QMessageBox *box);

    QString filePath_;
    QVector<ShownBox> boxes_;
    QPointer<QObject> lastAnswered_;
};

class WindowDesk
{
public:
    explicit WindowDesk(const ymodem::UploadTiming &timing);

    Upgrader &window() { return window_; }
    ModalWatcher &modals() { return modals_; }
    QSerialPort *serial() const;

    void choosePort(const QString &path);
    // Presses Update and picks `imagePath`. Returns once the window has
    // opened the port and started its upload task; false if it did not.
    bool press(const QString &imagePath);

    // Waits for the first message box after the last press; false when none
    // came in time.
    bool waitForBox(int timeoutMs);
    ShownBox lastBox() const { return modals_.boxes().value(modals_.boxes().size() - 1); }

private:
    Upgrader window_;
    ModalWatcher modals_;
    int boxesAtPress_ = 0;
};

} // namespace bench
