// The embedded pictures: eleven PNG files under ":/images/resources/" with
// their pixel sizes and PNG colour types, stored uncompressed, resolvable at
// the top of main (before the application object exists) and after it.

#include <QApplication>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QResource>
#include <QtEndian>
#include <QtTest>

#include <cstdio>
#include <iterator>

namespace {

constexpr int Rgb = 2; // PNG colour types (IHDR byte 9)
constexpr int Rgba = 6;

struct Picture
{
    const char *name;
    int width;
    int height;
    int colourType;
};

// The numbers in two of the window bars' names are not their size.
const Picture Pictures[] = {
    {"kvt_update(524x324).png", 524, 324, Rgb}, {"kvt_update_icon(256x256).png", 256, 256, Rgba},
    {"button(112x32).png", 112, 32, Rgba},      {"light_r(24x24).png", 24, 24, Rgba},
    {"light_g(24x24).png", 24, 24, Rgba},       {"Close(32x32).png", 32, 32, Rgba},
    {"End(32x32).png", 32, 32, Rgba},           {"vorel(120x21).png", 120, 21, Rgba},
    {"window(540x40).png", 540, 40, Rgba},      {"window(540x8).png", 540, 40, Rgba},
    {"window(8x360).png", 540, 40, Rgba},
};

const QString Dir = QStringLiteral(":/images/resources/");

// What is wrong with one picture, if anything: its raw bytes must open with
// the PNG signature and an IHDR chunk of the stated size, bit depth 8 and
// colour type, QImage must decode it to that size, and it is not compressed.
QString problemWith(const Picture &p)
{
    const QString path = Dir + QLatin1String(p.name);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return path + QStringLiteral(": does not resolve");
    const QByteArray bytes = file.readAll();
    if (!bytes.startsWith(QByteArray("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16)) || bytes.size() < 26)
        return path + QStringLiteral(": no PNG signature and IHDR chunk");
    const auto *b = reinterpret_cast<const uchar *>(bytes.constData());
    const QString ihdr = QStringLiteral("%1 x %2, depth %3, colour type %4");
    const QString found = ihdr.arg(qFromBigEndian<quint32>(b + 16))
                              .arg(qFromBigEndian<quint32>(b + 20))
                              .arg(b[24])
                              .arg(b[25]);
    const QString wanted = ihdr.arg(p.width).arg(p.height).arg(8).arg(p.colourType);
    if (found != wanted)
        return path + QStringLiteral(": IHDR says %1, expected %2").arg(found, wanted);
    if (QImage(path).size() != QSize(p.width, p.height))
        return path + QStringLiteral(": QImage does not decode it at that size");
    if (QResource(path).compressionAlgorithm() != QResource::NoCompression)
        return path + QStringLiteral(": stored compressed");
    return QString();
}

// Set at the top of main, before the QApplication exists.
bool g_applicationExistedThen = true;
QString g_problemBeforeApplication[std::size(Pictures)];

} // namespace

class TstResources : public QObject
{
    Q_OBJECT

private slots:
    void pictures_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < int(std::size(Pictures)); ++i)
            QTest::newRow(Pictures[i].name) << i;
    }

    void pictures()
    {
        QFETCH(int, index);
        QVERIFY2(!g_applicationExistedThen, "main checks before it creates the QApplication");
        QVERIFY2(g_problemBeforeApplication[index].isEmpty(),
                 qPrintable(g_problemBeforeApplication[index] + QStringLiteral(" (before)")));
        const QString problem = problemWith(Pictures[index]);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    void treeHoldsExactlyTheElevenFiles()
    {
        QStringList expected{QStringLiteral(":/images/resources")};
        for (const Picture &p : Pictures)
            expected << Dir + QLatin1String(p.name);
        QStringList found;
        QDirIterator it(QStringLiteral(":/images"),
                        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            found << it.next();
        expected.sort();
        found.sort();
        QCOMPARE(found, expected);
    }
};

int main(int argc, char *argv[])
{
    // Before the application object exists; failures show here and in pictures().
    g_applicationExistedThen = QCoreApplication::instance() != nullptr;
    for (std::size_t i = 0; i < std::size(Pictures); ++i) {
        g_problemBeforeApplication[i] = problemWith(Pictures[i]);
        if (!g_problemBeforeApplication[i].isEmpty())
            std::fprintf(stderr, "FAIL before QApplication: %s\n",
                         qPrintable(g_problemBeforeApplication[i]));
    }

    QApplication app(argc, argv);
    TstResources test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_resources.moc"
