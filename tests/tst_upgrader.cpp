// The window object: its meta-object, its connections and its port list.

#include "upgrader.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QtTest>

namespace {

// Reaches QObject::receivers(), which tells how many slots a signal reaches.
class ProbedUpgrader : public Upgrader
{
public:
    int receiversOf(const char *signal) const { return receivers(signal); }
};

struct Method
{
    QMetaMethod::MethodType type;
    const char *signature;
    QList<QByteArray> parameterNames;
};

} // namespace

class TestUpgrader : public QObject
{
    Q_OBJECT

private slots:
    void metaObjectListsSignalsAndSlotsInOrder();
    void windowSignalsReachTheirSlots();
    void openfileChangesNothing();
    void portListHoldsThePortsFoundAtStart();
};

void TestUpgrader::metaObjectListsSignalsAndSlotsInOrder()
{
    const QMetaObject &meta = Upgrader::staticMetaObject;
    QCOMPARE(meta.className(), "Upgrader");
    QCOMPARE(meta.superClass(), &QWidget::staticMetaObject);

    using T = QMetaMethod::MethodType;
    const QVector<Method> expected = {
        {T::Signal, "request_writing(QByteArray)", {""}},
        {T::Signal, "request_closePort()", {}},
        {T::Signal, "uploadFinished()", {}},
        {T::Signal, "updateProgress(int)", {"percent"}},
        {T::Signal, "progressChanged(double,double)", {"rest", "total"}},
        {T::Signal, "popMsgBox(QString,QString)", {"", ""}},
        {T::Slot, "upgrade()", {}},
        {T::Slot, "openfile()", {}},
        {T::Slot, "readHandler()", {}},
        {T::Slot, "handleWritten(qlonglong)", {""}},
        {T::Slot, "writeHandler(QByteArray)", {""}},
        {T::Slot, "closingHandler()", {}},
        {T::Slot, "uploadFinishedHandler()", {}},
        {T::Slot, "progressUpdateHandler(double,double)", {"rest", "total"}},
        {T::Slot, "popMsgBoxHandler(QString,QString)", {"", ""}},
    };
    QCOMPARE(meta.methodCount() - meta.methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i].signature));
        QCOMPARE(method.methodType(), expected[i].type);
        QCOMPARE(method.access(), QMetaMethod::Public);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
        QCOMPARE(method.parameterNames(), expected[i].parameterNames);
    }
}

void TestUpgrader::windowSignalsReachTheirSlots()
{
    ProbedUpgrader window;
    QCOMPARE(window.receiversOf(SIGNAL(request_writing(QByteArray))), 1);
    QCOMPARE(window.receiversOf(SIGNAL(request_closePort())), 1);
    QCOMPARE(window.receiversOf(SIGNAL(uploadFinished())), 1);
    QCOMPARE(window.receiversOf(SIGNAL(progressChanged(double, double))), 1);
    QCOMPARE(window.receiversOf(SIGNAL(popMsgBox(QString, QString))), 1);
    QCOMPARE(window.receiversOf(SIGNAL(updateProgress(int))), 0);

    // Emitting one reaches its slot: the bar follows a progress report.
    auto *bar = window.findChild<QProgressBar *>("progressBar");
    emit window.progressChanged(29, 100);
    QCOMPARE(bar->value(), 72);

    // The button's click reaches upgrade(), which asks for a file at once.
    auto *button = window.findChild<QPushButton *>("updateButton");
    bool asked = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            asked = asked || modal->inherits("QFileDialog");
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
        }
    });
    poll.start(10);
    button->click();
    QVERIFY(asked);
}

void TestUpgrader::openfileChangesNothing()
{
    Upgrader window;
    const QPixmap lamp =
        window.findChild<QLabel *>("connectionColorLabel")->pixmap(Qt::ReturnByValue);
    QVERIFY(QMetaObject::invokeMethod(&window, "openfile"));
    QCOMPARE(window.findChild<QLabel *>("connectionLabel")->text(), QStringLiteral("Disconnected"));
    QCOMPARE(window.findChild<QProgressBar *>("progressBar")->value(), 0);
    QVERIFY(window.findChild<QPushButton *>("updateButton")->isEnabled());
    QCOMPARE(
        window.findChild<QLabel *>("connectionColorLabel")->pixmap(Qt::ReturnByValue).toImage(),
        lamp.toImage());
    QVERIFY(window.receivedBytes().isEmpty());
    QVERIFY(QApplication::activeModalWidget() == nullptr);
}

void TestUpgrader::portListHoldsThePortsFoundAtStart()
{
    QStringList found;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        found.append(port.portName());
    Upgrader window;
    auto *ports = window.findChild<QComboBox *>("portNameComboBox");
    QStringList listed;
    for (int i = 0; i < ports->count(); ++i) {
        listed.append(ports->itemText(i));
        QVERIFY(!ports->itemData(i).isValid());
    }
    QCOMPARE(listed, found);
    QCOMPARE(ports->currentIndex(), found.isEmpty() ? -1 : 0);
}

QTEST_MAIN(TestUpgrader)
#include "tst_upgrader.moc"
