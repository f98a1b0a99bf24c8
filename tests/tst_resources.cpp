// The embedded pictures load by their paths at their sizes, even before the
// application object exists: the tree is registered before main runs.

#include <QApplication>
#include <QImage>
#include <QtTest>

#include <utility>

namespace {

// The numbers in two of the window bars' names are not their size.
// clang-format off
const std::pair<const char *, QSize> Pictures[] = {
    {"kvt_update(524x324).png", {524, 324}}, {"kvt_update_icon(256x256).png", {256, 256}},
    {"button(112x32).png", {112, 32}},       {"light_r(24x24).png", {24, 24}},
    {"light_g(24x24).png", {24, 24}},        {"Close(32x32).png", {32, 32}},
    {"End(32x32).png", {32, 32}},            {"vorel(120x21).png", {120, 21}},
    {"window(540x40).png", {540, 40}},       {"window(540x8).png", {540, 40}},
    {"window(8x360).png", {540, 40}}};
// clang-format on

// A picture that does not load reads as a null image of size 0 x 0.
QStringList picturesNotLoadedAtTheirSize()
{
    QStringList failed;
    for (const auto &[name, size] : Pictures)
        if (QImage(QStringLiteral(":/images/resources/") + name).size() != size)
            failed << name;
    return failed;
}

QStringList failedBeforeTheApplication;

} // namespace

class TstResources : public QObject
{
    Q_OBJECT

private slots:
    void picturesLoad()
    {
        const QStringList failedNow = picturesNotLoadedAtTheirSize();
        QVERIFY2(failedBeforeTheApplication.isEmpty(),
                 qPrintable("before QApplication: " + failedBeforeTheApplication.join(", ")));
        QVERIFY2(failedNow.isEmpty(), qPrintable(failedNow.join(", ")));
    }
};

int main(int argc, char *argv[])
{
    failedBeforeTheApplication = picturesNotLoadedAtTheirSize();
    QApplication app(argc, argv);
    TstResources test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_resources.moc"
