#pragma once

// Helpers for tests that drive the real window: answering its modal boxes and
// file dialog, catching its debug lines, and writing image files.

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <mutex>

struct ShownBox
{
    QMessageBox::Icon icon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
};

// Answers whatever modal window the code under test opens: file dialogs with
// the queued answers (an empty answer cancels), message boxes with OK, after
// recording them. Modal windows run their own event loops, so a timer of the
// test's thread still fires while one is open.
class ModalAnswerer : public QObject
{
public:
    ModalAnswerer()
    {
        connect(&poll, &QTimer::timeout, this, &ModalAnswerer::answer);
        poll.start(10);
    }

    QStringList fileAnswers;
    QVector<ShownBox> boxes;
    QStringList dialogCaptions;
    QStringList dialogFilters;
    std::function<void(const ShownBox &)> onBox; // runs while the box is shown

private:
    void answer()
    {
        QWidget *modal = QApplication::activeModalWidget();
        // A modal window may still be up at the next tick after its answer.
        if (modal == nullptr || modal == lastAnswered)
            return;
        lastAnswered = modal;
        if (auto *dialog = qobject_cast<QFileDialog *>(modal))
            answerDialog(dialog);
        else if (auto *box = qobject_cast<QMessageBox *>(modal))
            answerBox(box);
    }
    void answerDialog(QFileDialog *dialog)
    {
        dialogCaptions.append(dialog->windowTitle());
        dialogFilters.append(dialog->nameFilters().join(";;"));
        const QString path = fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        // Typed as a person would: the whole path in the file name field.
        auto *nameField = dialog->findChild<QLineEdit *>("fileNameEdit");
        if (nameField == nullptr) {
            dialog->reject();
            return;
        }
        nameField->setText(QFileInfo(path).absoluteFilePath());
        QMetaObject::invokeMethod(dialog, "accept"); // a protected slot
    }
    void answerBox(QMessageBox *box)
    {
        const ShownBox shown{box->icon(), box->windowTitle(), box->text(), box->standardButtons()};
        boxes.append(shown);
        if (onBox)
            onBox(shown);
        box->button(QMessageBox::Ok)->click();
    }

    QTimer poll;
    QPointer<QWidget> lastAnswered;
};

// Every debug line written while an instance lives, from any thread.
class DebugLines
{
public:
    DebugLines()
    {
        instance = this;
        previous = qInstallMessageHandler(&DebugLines::handle);
    }
    ~DebugLines()
    {
        qInstallMessageHandler(previous);
        instance = nullptr;
    }
    QStringList lines() const
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return collected;
    }
    int count(const QString &line) const { return int(lines().count(line)); }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (instance != nullptr && type == QtDebugMsg) {
            const std::lock_guard<std::mutex> lock(instance->mutex);
            instance->collected.append(text);
        }
        if (instance != nullptr && instance->previous != nullptr && type != QtDebugMsg)
            instance->previous(type, context, text);
    }

    static inline DebugLines *instance = nullptr;
    QtMessageHandler previous = nullptr;
    mutable std::mutex mutex;
    QStringList collected;
};

inline QByteArray makeFirmware(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 131 + i / 977) & 0xFF);
    if (size >= 4)
        image.replace(0, 4, QByteArray::fromHex("00400020"));
    return image;
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
