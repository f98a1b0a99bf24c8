// The window's form as the Upgrader window builds it: the
// window's own properties, every widget's class, geometry, state, font, style
// sheet, frame, texts and pictures, the stacking order, and what it renders.

#include "upgrader.h"

#include <QApplication>
#include <QChildEvent>
#include <QComboBox>
#include <QEvent>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QPalette>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <cstddef>
#include <memory>
#include <type_traits>

namespace {

const QString Family =
    QString::fromUtf8("\xe5\xbe\xae\xe8\xbb\x9f\xe6\xad\xa3\xe9\xbb\x91\xe9\xab\x94"); // 微軟正黑體

const QString WhiteLabelSheet = QStringLiteral("QLabel{\nColor: white;\n}");
const QString ButtonSheet =
    QStringLiteral("QPushButton {\n"
                   "background-image: url(:/images/resources/button(112x32).png);\n"
                   "color: red;\n"
                   "border: 0px ;\n"
                   "}");
const QString LampSheet = QStringLiteral("QLabel{\nborder: 0px ;\n}");

const QString Background = QStringLiteral(":/images/resources/kvt_update(524x324).png");
const QString RedLamp = QStringLiteral(":/images/resources/light_r(24x24).png");
const QString Icon = QStringLiteral(":/images/resources/kvt_update_icon(256x256).png");

// Declaration and creation order of Ui::Form.
const QStringList CreationOrder = {
    QStringLiteral("updateButton"),        QStringLiteral("connectionColorLabel"),
    QStringLiteral("firmwareStatusLabel"), QStringLiteral("progressBar"),
    QStringLiteral("connectionLabel"),     QStringLiteral("label"),
    QStringLiteral("portNameComboBox"),    QStringLiteral("connectionLabel_2"),
};

// Stacking from bottom to top after setupUi's raises.
const QStringList RaiseOrder = {
    QStringLiteral("label"),
    QStringLiteral("connectionColorLabel"),
    QStringLiteral("progressBar"),
    QStringLiteral("firmwareStatusLabel"),
    QStringLiteral("connectionLabel"),
    QStringLiteral("updateButton"),
    QStringLiteral("portNameComboBox"),
    QStringLiteral("connectionLabel_2"),
};

} // namespace

class TstForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void window();
    void declarationOrder();
    void creationOrder();
    void widgets_data();
    void widgets();
    void fonts_data();
    void fonts();
    void sharedStatusFont();
    void frames_data();
    void frames();
    void texts_data();
    void texts();
    void updateButton();
    void progressBar();
    void pixmaps_data();
    void pixmaps();
    void cursor();
    void stackingOrder();
    void portLabelCoversComboBoxEdge();
    void disabledCaptionsStayWhite_data();
    void disabledCaptionsStayWhite();
    void rendersBackgroundAndControls();

private:
    template <typename T = QWidget> T *widget(const QString &name)
    {
        return window_->findChild<T *>(name, Qt::FindDirectChildrenOnly);
    }

    std::unique_ptr<Upgrader> window_;
};

void TstForm::initTestCase()
{
    window_ = std::make_unique<Upgrader>();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
}

void TstForm::cleanupTestCase()
{
    window_.reset();
}

void TstForm::window()
{
    QWidget *w = window_.get();
    QCOMPARE(w->objectName(), QStringLiteral("Form"));
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), QStringLiteral("Upgrader"));
    QVERIFY(w->isWindow());
    QCOMPARE(w->windowModality(), Qt::NonModal);
    QVERIFY(w->isEnabled());
    QCOMPARE(w->size(), QSize(524, 325));
    QCOMPARE(w->minimumSize(), QSize(524, 325));
    QCOMPARE(w->maximumSize(), QSize(524, 325));
    QCOMPARE(w->contextMenuPolicy(), Qt::DefaultContextMenu);
    QCOMPARE(w->windowOpacity(), 1.0);
    QVERIFY(!w->autoFillBackground());
    QCOMPARE(w->styleSheet(), QString());
    QCOMPARE(w->locale().language(), QLocale::English);
    QCOMPARE(w->locale().country(), QLocale::UnitedStates);
    QCOMPARE(int(w->locale().language()), 31);
    QCOMPARE(int(w->locale().country()), 225);
    QCOMPARE(w->windowTitle(), QStringLiteral("KVT Firmware"));

    const QIcon icon = w->windowIcon();
    QVERIFY(!icon.isNull());
    QVERIFY2(icon.availableSizes().contains(QSize(256, 256)),
             "the window icon holds the 256 x 256 picture");
    QCOMPARE(icon.pixmap(QSize(256, 256)).toImage().convertToFormat(QImage::Format_ARGB32),
             QImage(Icon).convertToFormat(QImage::Format_ARGB32));

    // The window cannot be resized.
    w->resize(700, 500);
    QCOMPARE(w->size(), QSize(524, 325));
}

void TstForm::declarationOrder()
{
    // Ui::Form holds the eight pointers in creation order.
    static_assert(std::is_standard_layout<Ui::Form>::value, "offsetof needs a standard layout");
    const std::size_t offsets[] = {
        offsetof(Ui::Form, updateButton),        offsetof(Ui::Form, connectionColorLabel),
        offsetof(Ui::Form, firmwareStatusLabel), offsetof(Ui::Form, progressBar),
        offsetof(Ui::Form, connectionLabel),     offsetof(Ui::Form, label),
        offsetof(Ui::Form, portNameComboBox),    offsetof(Ui::Form, connectionLabel_2),
    };
    for (std::size_t i = 1; i < sizeof offsets / sizeof offsets[0]; ++i)
        QVERIFY2(offsets[i - 1] < offsets[i], qPrintable(CreationOrder.at(int(i))));
    QCOMPARE(sizeof(Ui::Form), 8 * sizeof(QWidget *));
}

namespace {
// Records the children a widget receives, in order.
class ChildRecorder : public QObject
{
public:
    QList<QObject *> added;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::ChildAdded)
            added << static_cast<QChildEvent *>(event)->child();
        return false;
    }
};
} // namespace

void TstForm::creationOrder()
{
    // setupUi creates the widgets in declaration order, each as a direct
    // child of the window.
    QWidget host;
    ChildRecorder recorder;
    host.installEventFilter(&recorder);
    Ui::Form form;
    form.setupUi(&host);
    host.removeEventFilter(&recorder);

    QStringList names;
    for (QObject *child : qAsConst(recorder.added))
        names << child->objectName();
    QCOMPARE(names, CreationOrder);
    QCOMPARE(host.objectName(), QStringLiteral("Form"));

    // A window that has an object name keeps it.
    QWidget named;
    named.setObjectName(QStringLiteral("mine"));
    Ui::Form other;
    other.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("mine"));
}

void TstForm::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("styleSheet");
    QTest::addColumn<bool>("autoFillBackground");

    QTest::newRow("updateButton") << "updateButton"
                                  << "QPushButton" << QRect(400, 280, 112, 32) << true
                                  << ButtonSheet << false;
    QTest::newRow("connectionColorLabel")
        << "connectionColorLabel"
        << "QLabel" << QRect(20, 290, 21, 20) << true << LampSheet << false;
    QTest::newRow("firmwareStatusLabel")
        << "firmwareStatusLabel"
        << "QLabel" << QRect(20, 240, 281, 31) << false << WhiteLabelSheet << false;
    QTest::newRow("progressBar") << "progressBar"
                                 << "QProgressBar" << QRect(120, 210, 331, 23) << true
                                 << "color: white" << false;
    QTest::newRow("connectionLabel")
        << "connectionLabel"
        << "QLabel" << QRect(50, 290, 101, 21) << false << WhiteLabelSheet << false;
    QTest::newRow("label") << "label"
                           << "QLabel" << QRect(0, 0, 524, 324) << true << QString() << false;
    QTest::newRow("portNameComboBox")
        << "portNameComboBox"
        << "QComboBox" << QRect(200, 280, 141, 27) << true << QString() << false;
    QTest::newRow("connectionLabel_2")
        << "connectionLabel_2"
        << "QLabel" << QRect(160, 290, 71, 21) << false << WhiteLabelSheet << false;
}

void TstForm::widgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(bool, enabled);
    QFETCH(QString, styleSheet);
    QFETCH(bool, autoFillBackground);

    QWidget *w = widget(name);
    QVERIFY2(w, qPrintable(name + QStringLiteral(" not found")));
    QCOMPARE(w->objectName(), name);
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
    QCOMPARE(w->parentWidget(), static_cast<QWidget *>(window_.get()));
    QCOMPARE(w->geometry(), geometry);
    QCOMPARE(w->isEnabled(), enabled);
    QCOMPARE(w->styleSheet(), styleSheet);
    QCOMPARE(w->autoFillBackground(), autoFillBackground);
    QVERIFY(w->isVisible());
}

void TstForm::fonts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("explicitFont");
    QTest::addColumn<int>("pointSize");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<int>("weight");

    // The button font, the caption font and the bar font; the two picture labels keep the window's
    // font.
    QTest::newRow("updateButton (F1)") << "updateButton" << true << 14 << true << 75;
    QTest::newRow("connectionColorLabel (default)")
        << "connectionColorLabel" << false << 0 << false << 0;
    QTest::newRow("firmwareStatusLabel (F2)") << "firmwareStatusLabel" << true << 10 << true << 75;
    QTest::newRow("progressBar (F3)") << "progressBar" << true << 14 << false << 9;
    QTest::newRow("connectionLabel (F2)") << "connectionLabel" << true << 10 << true << 75;
    QTest::newRow("label (default)") << "label" << false << 0 << false << 0;
    QTest::newRow("portNameComboBox (F2)") << "portNameComboBox" << true << 10 << true << 75;
    QTest::newRow("connectionLabel_2 (F2)") << "connectionLabel_2" << true << 10 << true << 75;
}

void TstForm::fonts()
{
    QFETCH(QString, name);
    QFETCH(bool, explicitFont);
    QFETCH(int, pointSize);
    QFETCH(bool, bold);
    QFETCH(int, weight);

    QWidget *w = widget(name);
    QVERIFY(w);
    QCOMPARE(w->testAttribute(Qt::WA_SetFont), explicitFont);
    if (!explicitFont) {
        QCOMPARE(w->font(), window_->font());
        return;
    }
    const QFont f = w->font();
    QCOMPARE(f.family(), Family);
    QCOMPARE(f.pointSize(), pointSize);
    QCOMPARE(f.bold(), bold);
    QCOMPARE(f.weight(), weight);
    QCOMPARE(f.italic(), false);
}

void TstForm::sharedStatusFont()
{
    // F2 is one font value for the four widgets.
    const QFont f2 = widget(QStringLiteral("firmwareStatusLabel"))->font();
    for (const char *name : {"connectionLabel", "portNameComboBox", "connectionLabel_2"})
        QCOMPARE(widget(QString::fromLatin1(name))->font(), f2);
}

void TstForm::frames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("shape");
    QTest::addColumn<int>("shadow");
    QTest::addColumn<int>("lineWidth");

    QTest::newRow("connectionColorLabel")
        << "connectionColorLabel" << int(QFrame::NoFrame) << int(QFrame::Plain) << 0;
    QTest::newRow("firmwareStatusLabel")
        << "firmwareStatusLabel" << int(QFrame::Box) << int(QFrame::Raised) << 0;
    QTest::newRow("connectionLabel")
        << "connectionLabel" << int(QFrame::Box) << int(QFrame::Raised) << 0;
    QTest::newRow("label") << "label" << int(QFrame::NoFrame) << int(QFrame::Plain) << 1;
    QTest::newRow("connectionLabel_2")
        << "connectionLabel_2" << int(QFrame::Box) << int(QFrame::Raised) << 0;
}

void TstForm::frames()
{
    QFETCH(QString, name);
    QFETCH(int, shape);
    QFETCH(int, shadow);
    QFETCH(int, lineWidth);

    auto *frame = widget<QFrame>(name);
    QVERIFY(frame);
    QCOMPARE(int(frame->frameShape()), shape);
    QCOMPARE(int(frame->frameShadow()), shadow);
    QCOMPARE(frame->lineWidth(), lineWidth);
}

void TstForm::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");

    QTest::newRow("updateButton") << "updateButton"
                                  << "Update";
    QTest::newRow("connectionColorLabel") << "connectionColorLabel" << QString();
    QTest::newRow("firmwareStatusLabel") << "firmwareStatusLabel"
                                         << "Current Firmware: Unknown";
    QTest::newRow("connectionLabel") << "connectionLabel"
                                     << "Disconnected";
    QTest::newRow("label") << "label" << QString();
    QTest::newRow("connectionLabel_2") << "connectionLabel_2"
                                       << "Port:";
}

void TstForm::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);

    QWidget *w = widget(name);
    QVERIFY(w);
    if (auto *button = qobject_cast<QPushButton *>(w))
        QCOMPARE(button->text(), text);
    else if (auto *label = qobject_cast<QLabel *>(w))
        QCOMPARE(label->text(), text);
    else
        QFAIL("neither a button nor a label");
}

void TstForm::updateButton()
{
    auto *button = widget<QPushButton>(QStringLiteral("updateButton"));
    QVERIFY(button);
    QVERIFY(button->isFlat());
    QVERIFY(button->autoDefault());
    QVERIFY(button->isDefault());
    QVERIFY(!button->autoFillBackground());
    QVERIFY(button->icon().isNull());

    // An auto-default button also becomes default when it takes the focus, as
    // it does in the shown window; a window never shown tells whether setupUi
    // itself made it the default button.
    Upgrader hidden;
    auto *fresh = hidden.findChild<QPushButton *>(QStringLiteral("updateButton"));
    QVERIFY(fresh);
    QVERIFY(!fresh->hasFocus());
    QVERIFY(fresh->isDefault());
    QVERIFY(fresh->autoDefault());
    QVERIFY(fresh->isFlat());
}

void TstForm::progressBar()
{
    auto *bar = widget<QProgressBar>(QStringLiteral("progressBar"));
    QVERIFY(bar);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->layoutDirection(), Qt::LeftToRight);
    QVERIFY(!bar->invertedAppearance());
    QVERIFY(!bar->autoFillBackground());
    // Left at their defaults.
    QVERIFY(bar->isTextVisible());
    QCOMPARE(bar->format(), QStringLiteral("%p%"));
    QCOMPARE(bar->orientation(), Qt::Horizontal);
}

void TstForm::pixmaps_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");

    QTest::newRow("label") << "label" << Background << QSize(524, 324);
    QTest::newRow("connectionColorLabel") << "connectionColorLabel" << RedLamp << QSize(24, 24);
}

void TstForm::pixmaps()
{
    QFETCH(QString, name);
    QFETCH(QString, path);
    QFETCH(QSize, size);

    auto *label = widget<QLabel>(name);
    QVERIFY(label);
    const QPixmap pixmap = label->pixmap(Qt::ReturnByValue);
    QVERIFY(!pixmap.isNull());
    QCOMPARE(pixmap.size(), size);
    QVERIFY(!label->hasScaledContents());
    QCOMPARE(pixmap.toImage().convertToFormat(QImage::Format_ARGB32),
             QImage(path).convertToFormat(QImage::Format_ARGB32));
}

void TstForm::cursor()
{
    QWidget *caption = widget(QStringLiteral("connectionLabel_2"));
    QVERIFY(caption);
    QVERIFY(caption->testAttribute(Qt::WA_SetCursor));
    QCOMPARE(caption->cursor().shape(), Qt::ArrowCursor);
    for (const QString &name : CreationOrder) {
        if (name != QLatin1String("connectionLabel_2"))
            QVERIFY2(!widget(name)->testAttribute(Qt::WA_SetCursor), qPrintable(name));
    }
}

void TstForm::stackingOrder()
{
    // raise() moves a widget to the end of its parent's children(); the final
    // order of the window's child widgets is the stacking, bottom to top.
    QStringList order;
    for (QObject *child : window_->children()) {
        if (child->isWidgetType())
            order << child->objectName();
    }
    QCOMPARE(order, RaiseOrder);
}

void TstForm::portLabelCoversComboBoxEdge()
{
    // "Port:" (x 160..230) overlaps the combo box's left edge and lies above it.
    QCOMPARE(window_->childAt(QPoint(215, 300)), widget(QStringLiteral("connectionLabel_2")));
    QCOMPARE(window_->childAt(QPoint(300, 300)), widget(QStringLiteral("portNameComboBox")));
    // The background picture is below everything.
    QCOMPARE(window_->childAt(QPoint(470, 100)), widget(QStringLiteral("label")));
}

void TstForm::disabledCaptionsStayWhite_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("firmwareStatusLabel") << "firmwareStatusLabel";
    QTest::newRow("connectionLabel") << "connectionLabel";
    QTest::newRow("connectionLabel_2") << "connectionLabel_2";
}

void TstForm::disabledCaptionsStayWhite()
{
    QFETCH(QString, name);
    QWidget *w = widget(name);
    QVERIFY(w);
    QVERIFY(!w->isEnabled());
    QCOMPARE(w->palette().color(QPalette::Disabled, QPalette::WindowText), QColor(Qt::white));
}

void TstForm::rendersBackgroundAndControls()
{
    const QImage shot = window_->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shot.size(), QSize(524, 325));
    const QImage background = QImage(Background).convertToFormat(QImage::Format_RGB32);

    // Where no control lies, the window shows the background picture.
    for (const QPoint &at :
         {QPoint(5, 5), QPoint(260, 60), QPoint(470, 100), QPoint(515, 315), QPoint(60, 180)})
        QCOMPARE(shot.pixel(at), background.pixel(at));

    // The bottom row (y = 324) is not covered by the picture: it shows the
    // window's own background colour.
    const QColor windowColour = window_->palette().color(QPalette::Window);
    QCOMPARE(QColor(shot.pixel(5, 324)), windowColour);

    // The lamp label (21 x 20 at 20,290) shows the 24 x 24 red picture
    // unscaled, left-aligned and vertically centred: picture row y + 2 at
    // label row y.
    const QImage lamp = QImage(RedLamp).convertToFormat(QImage::Format_ARGB32);
    for (const QPoint &at : {QPoint(10, 10), QPoint(6, 8), QPoint(14, 13)}) {
        const QRgb picture = lamp.pixel(at + QPoint(0, 2));
        QCOMPARE(qAlpha(picture), 255);
        QCOMPARE(shot.pixel(QPoint(20, 290) + at), picture);
    }

    // The button's text is red on its face.
    int reddish = 0;
    for (int y = 280; y < 312; ++y) {
        for (int x = 400; x < 512; ++x) {
            const QColor c(shot.pixel(x, y));
            if (c.red() > 150 && c.green() < 90 && c.blue() < 90)
                ++reddish;
        }
    }
    QVERIFY2(reddish > 20, qPrintable(QStringLiteral("red text pixels: %1").arg(reddish)));
}

QTEST_MAIN(TstForm)
#include "tst_form.moc"
