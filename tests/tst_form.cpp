// The window's form as the Upgrader window builds it: one row per widget
// (class, geometry, state, font, style sheet, frame, text, picture, cursor),
// then the window itself, the button's default flags and the stacking order.

#include "upgrader.h"

#include <QFrame>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <iterator>
#include <memory>
#include <optional>

namespace {

const QString Family = QString::fromUtf8("微軟正黑體");
const QString Pictures = QStringLiteral(":/images/resources/");

struct Font
{
    int pointSize;
    bool bold;
    int weight;
};
const Font F1{14, true, 75};
const Font F2{10, true, 75};
const Font F3{14, false, 9}; // weight 9 is set after bold off, and holds

struct Frame
{
    QFrame::Shape shape;
    QFrame::Shadow shadow;
    int lineWidth;
};
const Frame Caption{QFrame::Box, QFrame::Raised, 0};

struct Row
{
    const char *name;
    const char *className;
    QRect geometry;
    bool enabled;
    std::optional<Font> font; // none: the window's font, not set on the widget
    QString styleSheet;
    std::optional<Frame> frame; // exactly for the QFrame widgets
    QString text;               // buttons and labels
    QString picture;            // a label's pixmap, under Pictures
    QSize pictureSize;
    bool arrowCursor;
};

const QString CaptionSheet = QStringLiteral("QLabel{\nColor: white;\n}");
const QString ButtonSheet =
    QStringLiteral("QPushButton {\nbackground-image: url(:/images/resources/button(112x32).png);\n"
                   "color: red;\nborder: 0px ;\n}");
const Frame Lamp{QFrame::NoFrame, QFrame::Plain, 0};
const Frame Plain{QFrame::NoFrame, QFrame::Plain, 1};
const auto None = std::nullopt;

const Row Rows[] = {
    {"updateButton", "QPushButton", QRect(400, 280, 112, 32), true, F1, ButtonSheet, None,
     QStringLiteral("Update"), QString(), QSize(), false},
    {"connectionColorLabel", "QLabel", QRect(20, 290, 21, 20), true, None,
     QStringLiteral("QLabel{\nborder: 0px ;\n}"), Lamp, QString(),
     QStringLiteral("light_r(24x24).png"), QSize(24, 24), false},
    {"firmwareStatusLabel", "QLabel", QRect(20, 240, 281, 31), false, F2, CaptionSheet, Caption,
     QStringLiteral("Current Firmware: Unknown"), QString(), QSize(), false},
    {"progressBar", "QProgressBar", QRect(120, 210, 331, 23), true, F3,
     QStringLiteral("color: white"), None, QString(), QString(), QSize(), false},
    {"connectionLabel", "QLabel", QRect(50, 290, 101, 21), false, F2, CaptionSheet, Caption,
     QStringLiteral("Disconnected"), QString(), QSize(), false},
    {"label", "QLabel", QRect(0, 0, 524, 324), true, None, QString(), Plain, QString(),
     QStringLiteral("kvt_update(524x324).png"), QSize(524, 324), false},
    {"portNameComboBox", "QComboBox", QRect(200, 280, 141, 27), true, F2, QString(), None,
     QString(), QString(), QSize(), false},
    {"connectionLabel_2", "QLabel", QRect(160, 290, 71, 21), false, F2, CaptionSheet, Caption,
     QStringLiteral("Port:"), QString(), QSize(), true},
};

QImage argb(const QImage &image)
{
    return image.convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class TstForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void widgets_data();
    void widgets();
    void window();
    void updateButtonIsTheDefault();
    void stackingOrder();

private:
    std::unique_ptr<Upgrader> window_;
};

void TstForm::initTestCase()
{
    window_ = std::make_unique<Upgrader>();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
}

void TstForm::widgets_data()
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(std::size(Rows)); ++i)
        QTest::newRow(Rows[i].name) << i;
}

void TstForm::widgets()
{
    QFETCH(int, row);
    const Row &r = Rows[row];
    auto *w = window_->findChild<QWidget *>(QLatin1String(r.name), Qt::FindDirectChildrenOnly);
    QVERIFY(w);
    QCOMPARE(w->metaObject()->className(), r.className);
    QVERIFY(w->isVisible());
    QCOMPARE(w->geometry(), r.geometry);
    QCOMPARE(w->isEnabled(), r.enabled);
    QCOMPARE(w->styleSheet(), r.styleSheet);
    QVERIFY(!w->autoFillBackground());

    QCOMPARE(w->testAttribute(Qt::WA_SetFont), r.font.has_value());
    if (r.font) {
        QCOMPARE(w->font().family(), Family);
        QCOMPARE(w->font().pointSize(), r.font->pointSize);
        QCOMPARE(w->font().bold(), r.font->bold);
        QCOMPARE(w->font().weight(), r.font->weight);
        QVERIFY(!w->font().italic());
    } else {
        QCOMPARE(w->font(), window_->font());
    }

    auto *frame = qobject_cast<QFrame *>(w);
    QCOMPARE(frame != nullptr, r.frame.has_value());
    if (frame) {
        QCOMPARE(frame->frameShape(), r.frame->shape);
        QCOMPARE(frame->frameShadow(), r.frame->shadow);
        QCOMPARE(frame->lineWidth(), r.frame->lineWidth);
    }

    if (qobject_cast<QLabel *>(w) || qobject_cast<QPushButton *>(w))
        QCOMPARE(w->property("text").toString(), r.text);

    if (auto *label = qobject_cast<QLabel *>(w)) {
        const QPixmap pixmap = label->pixmap(Qt::ReturnByValue);
        QCOMPARE(pixmap.isNull(), r.picture.isEmpty());
        QVERIFY(!label->hasScaledContents());
        if (!pixmap.isNull()) {
            QCOMPARE(pixmap.size(), r.pictureSize);
            QCOMPARE(argb(pixmap.toImage()), argb(QImage(Pictures + r.picture)));
        }
    }

    QCOMPARE(w->testAttribute(Qt::WA_SetCursor), r.arrowCursor);
    if (r.arrowCursor)
        QCOMPARE(w->cursor().shape(), Qt::ArrowCursor);
}

void TstForm::window()
{
    QWidget *w = window_.get();
    QCOMPARE(w->objectName(), QStringLiteral("Form"));
    QCOMPARE(w->windowTitle(), QStringLiteral("KVT Firmware"));
    QCOMPARE(w->locale().language(), QLocale::English);
    QCOMPARE(w->locale().country(), QLocale::UnitedStates);
    QCOMPARE(w->windowModality(), Qt::NonModal);
    QCOMPARE(w->windowOpacity(), 1.0);
    QCOMPARE(w->styleSheet(), QString());
    QVERIFY(!w->autoFillBackground());

    const QSize fixed(524, 325);
    QCOMPARE(w->size(), fixed);
    QCOMPARE(w->minimumSize(), fixed);
    QCOMPARE(w->maximumSize(), fixed);
    w->resize(700, 500);
    QCOMPARE(w->size(), fixed);

    const QIcon icon = w->windowIcon();
    QVERIFY(icon.availableSizes().contains(QSize(256, 256)));
    QCOMPARE(argb(icon.pixmap(QSize(256, 256)).toImage()),
             argb(QImage(Pictures + QStringLiteral("kvt_update_icon(256x256).png"))));

    auto *bar = w->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(bar);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->layoutDirection(), Qt::LeftToRight);
    QVERIFY(!bar->invertedAppearance());
}

void TstForm::updateButtonIsTheDefault()
{
    // A shown auto-default button turns default once it has the focus, so ask
    // a window that was never shown.
    Upgrader hidden;
    auto *button = hidden.findChild<QPushButton *>(QStringLiteral("updateButton"));
    QVERIFY(button);
    QVERIFY(!button->hasFocus());
    QVERIFY(button->isDefault());
    QVERIFY(button->autoDefault());
    QVERIFY(button->isFlat());
}

void TstForm::stackingOrder()
{
    // raise() moves a widget to the end of children(): bottom to top.
    QStringList order;
    for (QObject *child : window_->children()) {
        if (child->isWidgetType())
            order << child->objectName();
    }
    const QString expected = QStringLiteral("label connectionColorLabel progressBar "
                                            "firmwareStatusLabel connectionLabel updateButton "
                                            "portNameComboBox connectionLabel_2");
    QCOMPARE(order, expected.split(QLatin1Char(' ')));
}

QTEST_MAIN(TstForm)
#include "tst_form.moc"
