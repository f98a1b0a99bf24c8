// The window's pictures, and the window as its constructor builds it: what a
// user first sees (the fixed size, texts and pictures) and the widgets the
// window's code reads or writes. Its connections are exercised by tst_window.

#include "upgrader.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

namespace {

const QString Pictures = QStringLiteral(":/images/resources/");

} // namespace

class TstForm : public QObject
{
    Q_OBJECT

private slots:
    // The lamp the window turns green while the port is open.
    void greenLampLoads()
    {
        QCOMPARE(QImage(Pictures + "light_g(24x24).png").size(), QSize(24, 24));
    }

    void widgets_data()
    {
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("text");    // of a label or the button
        QTest::addColumn<QString>("picture"); // a label's pixmap or the button's face
        const auto row = [](const char *name, const char *className, const char *text,
                            const char *picture) {
            QTest::newRow(name) << QString(className) << QString(text) << QString(picture);
        };
        row("updateButton", "QPushButton", "Update", "button(112x32).png");
        row("portNameComboBox", "QComboBox", "", "");
        row("progressBar", "QProgressBar", "", "");
        row("connectionLabel", "QLabel", "Disconnected", "");
        row("connectionColorLabel", "QLabel", "", "light_r(24x24).png");
        row("connectionLabel_2", "QLabel", "Port:", "");
        row("firmwareStatusLabel", "QLabel", "Current Firmware: Unknown", "");
        row("label", "QLabel", "", "kvt_update(524x324).png");
    }

    void widgets()
    {
        QFETCH(QString, className);
        QFETCH(QString, text);
        QFETCH(QString, picture);
        Upgrader window;
        auto *widget = window.findChild<QWidget *>(QTest::currentDataTag());
        QVERIFY(widget);
        QCOMPARE(widget->metaObject()->className(), className);
        QVERIFY(widget->isVisibleTo(&window));
        if (widget->inherits("QLabel") || widget->inherits("QPushButton"))
            QCOMPARE(widget->property("text").toString(), text);
        // A label without a picture has a null pixmap, as QPixmap of the folder.
        if (auto *label = qobject_cast<QLabel *>(widget))
            QCOMPARE(label->pixmap(Qt::ReturnByValue).toImage(),
                     QPixmap(Pictures + picture).toImage());
        else if (!picture.isEmpty())
            QVERIFY(widget->styleSheet().contains("url(" + Pictures + picture + ")"));
    }

    void window()
    {
        Upgrader window;
        // Asked before the window is shown: a shown auto-default button turns
        // default as soon as it has the focus.
        QVERIFY(window.findChild<QPushButton *>("updateButton")->isDefault());
        const QSize fixed(524, 325);
        QCOMPARE(window.minimumSize(), fixed);
        QCOMPARE(window.maximumSize(), fixed);
        QCOMPARE(window.windowTitle(), QStringLiteral("KVT Firmware"));
        QCOMPARE(window.windowIcon().pixmap(256, 256).toImage(),
                 QPixmap(Pictures + "kvt_update_icon(256x256).png").toImage());
    }
};

QTEST_MAIN(TstForm)
#include "tst_form.moc"
