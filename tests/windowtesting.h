#pragma once

// Helpers for tests that drive the real window: answering its modal boxes and
// file dialog, and catching its debug lines.

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaEnum>
#include <QPointer>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <functional>
#include <mutex>

// Answers whatever modal window the code under test opens: file dialogs with
// the queued answers (an empty answer cancels), message boxes with OK, after
// recording them as "Icon|title|text". Modal windows run their own event
// loops, so a timer of the test's thread still fires while one is open.
class ModalAnswerer : public QObject
{
public:
    ModalAnswerer()
    {
        connect(&poll, &QTimer::timeout, this, &ModalAnswerer::answer);
        poll.start(10);
    }

    QStringList fileAnswers; // absolute paths
    QStringList boxes;
    std::function<void()> onBox; // runs while a box is shown

private:
    void answer()
    {
        QWidget *modal = QApplication::activeModalWidget();
        // A modal window may still be up at the next tick after its answer.
        if (modal == nullptr || modal == lastAnswered)
            return;
        lastAnswered = modal;
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            const char *icon = QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(box->icon());
            boxes.append(QStringList{icon, box->windowTitle(), box->text()}.join('|'));
            if (onBox)
                onBox();
            box->button(QMessageBox::Ok)->click();
        }
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (dialog == nullptr)
            return;
        const QString path = fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
        auto *nameField = dialog->findChild<QLineEdit *>("fileNameEdit");
        if (path.isEmpty() || nameField == nullptr)
            return dialog->reject();
        nameField->setText(path);                    // typed as a person would
        QMetaObject::invokeMethod(dialog, "accept"); // a protected slot
    }

    QTimer poll;
    QPointer<QWidget> lastAnswered;
};

// Every debug line written while an instance lives, from any thread; other
// messages go on to the previous handler.
class DebugLines
{
public:
    DebugLines() : previous(qInstallMessageHandler(&DebugLines::handle)) { instance = this; }
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

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (instance != nullptr && type == QtDebugMsg) {
            const std::lock_guard<std::mutex> lock(instance->mutex);
            instance->collected.append(text);
        } else if (instance != nullptr && instance->previous != nullptr) {
            instance->previous(type, context, text);
        }
    }

    static inline DebugLines *instance = nullptr;
    QtMessageHandler previous;
    mutable std::mutex mutex;
    QStringList collected;
};

// A display of its own, for a test that takes it away.
class Display
{
public:
    Display()
    {
        for (int number = 90; number < 100 && !isUp(); ++number) {
            name_ = QStringLiteral(":%1").arg(number);
            server_.start("Xvfb", {name_, "-nolisten", "tcp"});
            QTest::qWait(500);
        }
    }
    ~Display() { stop(); }
    bool isUp() const { return server_.state() == QProcess::Running; }
    QString name() const { return name_; }
    void stop()
    {
        server_.kill();
        server_.waitForFinished();
    }

private:
    QProcess server_;
    QString name_;
};
