#include "windowdesk.h"

#include "common.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSerialPort>

namespace bench {

ModalWatcher::ModalWatcher()
{
    qApp->installEventFilter(this);
}

ModalWatcher::~ModalWatcher()
{
    qApp->removeEventFilter(this);
}

bool ModalWatcher::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Show || watched == lastAnswered_)
        return false;
    if (auto *dialog = qobject_cast<QFileDialog *>(watched)) {
        lastAnswered_ = watched;
        answerDialog(dialog);
    } else if (auto *box = qobject_cast<QMessageBox *>(watched)) {
        lastAnswered_ = watched;
        answerBox(box);
    }
    return false;
}

void ModalWatcher::answerDialog(QFileDialog *dialog)
{
    const QString path = QFileInfo(filePath_).absoluteFilePath();
    filePath_.clear();
    // Answered from the dialog's own event loop, once it runs.
    QTimer::singleShot(0, dialog, [dialog, path] {
        auto *nameField = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (path.isEmpty() || nameField == nullptr) {
            dialog->reject();
            return;
        }
        nameField->setText(path); // typed as a person would: the whole path
        QMetaObject::invokeMethod(dialog, "accept");
    });
}

void ModalWatcher::answerBox(QMessageBox *box)
{
    boxes_.append({box->windowTitle(), box->text()});
    emit boxShown();
    QPointer<QMessageBox> guarded(box);
    QTimer::singleShot(0, box, [guarded] {
        if (guarded && guarded->button(QMessageBox::Ok) != nullptr)
            guarded->button(QMessageBox::Ok)->click();
    });
}

WindowDesk::WindowDesk(const ymodem::UploadTiming &timing)
{
    window_.setUploadTiming(timing);
    window_.show();
}

QSerialPort *WindowDesk::serial() const
{
    return window_.findChild<QSerialPort *>();
}

void WindowDesk::choosePort(const QString &path)
{
    auto *ports = window_.findChild<QComboBox *>(QStringLiteral("portNameComboBox"));
    ports->addItem(path);
    ports->setCurrentIndex(ports->count() - 1);
}

bool WindowDesk::press(const QString &imagePath)
{
    boxesAtPress_ = modals_.boxes().size();
    modals_.answerFileDialogWith(imagePath);
    window_.findChild<QPushButton *>(QStringLiteral("updateButton"))->click();
    // Any box by now is an error of the file or the port, not the upload's.
    return modals_.boxes().size() == boxesAtPress_ && serial()->isOpen();
}

bool WindowDesk::waitForBox(int timeoutMs)
{
    return waitUntil([&] { return modals_.boxes().size() > boxesAtPress_; }, &modals_,
                     &ModalWatcher::boxShown, timeoutMs);
}

} // namespace bench
