// The embedded pictures: eleven PNG files under
// ":/images/resources/", with the stated pixel sizes and PNG colour types,
// stored uncompressed, and resolvable as soon as main starts: before the
// application object exists (checked at the top of main) and after it.

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QResource>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <cstdio>

namespace {

// PNG colour types (IHDR byte 9).
constexpr int PngRgb = 2;
constexpr int PngRgba = 6;

struct Picture
{
    const char *name;
    int width;
    int height;
    int colourType;
};

// Every picture, in resource order. Note the two window pictures whose
// names' numbers differ from their size: all three are 540 x 40.
const Picture Pictures[] = {
    {"kvt_update(524x324).png", 524, 324, PngRgb},
    {"kvt_update_icon(256x256).png", 256, 256, PngRgba},
    {"button(112x32).png", 112, 32, PngRgba},
    {"light_r(24x24).png", 24, 24, PngRgba},
    {"light_g(24x24).png", 24, 24, PngRgba},
    {"Close(32x32).png", 32, 32, PngRgba},
    {"End(32x32).png", 32, 32, PngRgba},
    {"vorel(120x21).png", 120, 21, PngRgba},
    {"window(540x40).png", 540, 40, PngRgba},
    {"window(540x8).png", 540, 40, PngRgba},
    {"window(8x360).png", 540, 40, PngRgba},
};

const QString Prefix = QStringLiteral(":/images/resources/");

QString resourcePath(const Picture &p)
{
    return Prefix + QString::fromLatin1(p.name);
}

quint32 bigEndian32(const QByteArray &bytes, int at)
{
    return (quint32(quint8(bytes[at])) << 24) | (quint32(quint8(bytes[at + 1])) << 16) |
           (quint32(quint8(bytes[at + 2])) << 8) | quint32(quint8(bytes[at + 3]));
}

// Checks one picture through the resource path: the raw bytes (read with
// QFile) start with the PNG signature and an IHDR chunk of the stated size,
// bit depth 8 and colour type; QImage decodes it to the same size, with an
// alpha channel exactly when the PNG has one. Returns the problems found.
QStringList checkPicture(const Picture &p)
{
    QStringList problems;
    const QString path = resourcePath(p);
    auto problem = [&](const QString &what) { problems << path + QStringLiteral(": ") + what; };

    QFile file(path);
    if (!file.exists()) {
        problem(QStringLiteral("does not resolve"));
        return problems;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        problem(QStringLiteral("cannot be opened: ") + file.errorString());
        return problems;
    }
    const QByteArray bytes = file.readAll();
    static const QByteArray signature("\x89PNG\r\n\x1a\n", 8);
    if (bytes.size() < 33 || !bytes.startsWith(signature)) {
        problem(QStringLiteral("is not a PNG file (%1 bytes)").arg(bytes.size()));
        return problems;
    }
    // Signature (8), then the first chunk: length (4) "IHDR" (4) width (4)
    // height (4) bit depth (1) colour type (1) ...
    if (bigEndian32(bytes, 8) != 13 || bytes.mid(12, 4) != "IHDR") {
        problem(QStringLiteral("has no IHDR chunk first"));
        return problems;
    }
    const quint32 width = bigEndian32(bytes, 16);
    const quint32 height = bigEndian32(bytes, 20);
    const int bitDepth = quint8(bytes[24]);
    const int colourType = quint8(bytes[25]);
    if (width != quint32(p.width) || height != quint32(p.height))
        problem(QStringLiteral("IHDR says %1 x %2, expected %3 x %4")
                    .arg(width)
                    .arg(height)
                    .arg(p.width)
                    .arg(p.height));
    if (colourType != p.colourType)
        problem(
            QStringLiteral("PNG colour type %1, expected %2").arg(colourType).arg(p.colourType));
    if (bitDepth != 8)
        problem(QStringLiteral("bit depth %1, expected 8").arg(bitDepth));

    const QImage image(path);
    if (image.isNull()) {
        problem(QStringLiteral("QImage cannot load it"));
    } else {
        if (image.size() != QSize(p.width, p.height))
            problem(QStringLiteral("QImage size %1 x %2").arg(image.width()).arg(image.height()));
        if (image.hasAlphaChannel() != (p.colourType == PngRgba))
            problem(QStringLiteral("QImage alpha channel: %1").arg(image.hasAlphaChannel()));
    }
    return problems;
}

QStringList checkAllPictures()
{
    QStringList problems;
    for (const Picture &p : Pictures)
        problems += checkPicture(p);
    return problems;
}

// Filled at the top of main, before the QApplication exists.
bool g_checkedBeforeApplication = false;
bool g_applicationExistedThen = true;
QStringList g_problemsBeforeApplication;

} // namespace

class TstResources : public QObject
{
    Q_OBJECT

private slots:
    void picturesResolveBeforeApplication();
    void pictures_data();
    void pictures();
    void pixmapsLoad_data() { pictures_data(); }
    void pixmapsLoad();
    void treeHoldsExactlyTheElevenFiles();
    void storedUncompressed_data() { pictures_data(); }
    void storedUncompressed();
    void sameBytesAsTheCommittedFiles();
};

void TstResources::picturesResolveBeforeApplication()
{
    QVERIFY2(g_checkedBeforeApplication, "main did not run the check before QApplication");
    QVERIFY2(!g_applicationExistedThen, "an application object existed already at that time");
    QVERIFY2(g_problemsBeforeApplication.isEmpty(),
             qPrintable(g_problemsBeforeApplication.join(QLatin1Char('\n'))));
}

void TstResources::pictures_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < int(sizeof Pictures / sizeof Pictures[0]); ++i)
        QTest::newRow(Pictures[i].name) << i;
}

void TstResources::pictures()
{
    QFETCH(int, index);
    QVERIFY(QCoreApplication::instance() != nullptr);
    const QStringList problems = checkPicture(Pictures[index]);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
}

void TstResources::pixmapsLoad()
{
    QFETCH(int, index);
    const Picture &p = Pictures[index];
    const QPixmap pixmap(resourcePath(p));
    QVERIFY(!pixmap.isNull());
    QCOMPARE(pixmap.size(), QSize(p.width, p.height));
    // (No check of pixmap.hasAlphaChannel(): the raster backend stores a fully
    // opaque RGBA picture, such as the window bars, without alpha.)
}

void TstResources::treeHoldsExactlyTheElevenFiles()
{
    QStringList expected;
    for (const Picture &p : Pictures)
        expected << resourcePath(p);
    expected.sort();

    QStringList found;
    QDirIterator it(QStringLiteral(":/images"),
                    QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    QStringList dirs;
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().isDir())
            dirs << path;
        else
            found << path;
    }
    found.sort();
    QCOMPARE(dirs, QStringList{QStringLiteral(":/images/resources")});
    QCOMPARE(found, expected);

    // The root holds "images" (Qt's own resources, if any, live elsewhere).
    QVERIFY(QDir(QStringLiteral(":/")).entryList(QDir::Dirs).contains(QStringLiteral("images")));
    QCOMPARE(QDir(QStringLiteral(":/images")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("resources")});
}

void TstResources::storedUncompressed()
{
    QFETCH(int, index);
    const QResource resource(resourcePath(Pictures[index]));
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    QCOMPARE(resource.uncompressedSize(), resource.size());
}

void TstResources::sameBytesAsTheCommittedFiles()
{
    const QString sourceDir = qEnvironmentVariable("KVT_SOURCE_DIR");
    if (sourceDir.isEmpty()) {
        // (QSKIP itself trips clang's -Wpedantic in Qt 5.)
        QTest::qSkip("KVT_SOURCE_DIR is not set (run through ctest)", __FILE__, __LINE__);
        return;
    }
    for (const Picture &p : Pictures) {
        QFile embedded(resourcePath(p));
        QFile committed(sourceDir + QStringLiteral("/resources/images/resources/") +
                        QString::fromLatin1(p.name));
        QVERIFY2(embedded.open(QIODevice::ReadOnly), p.name);
        QVERIFY2(committed.open(QIODevice::ReadOnly), qPrintable(committed.fileName()));
        QVERIFY2(embedded.readAll() == committed.readAll(), p.name);
    }
}

int main(int argc, char *argv[])
{
    // Every path resolves as soon as main starts, before the
    // application object exists. Checked here; the result is reported by the
    // first test function and, if anything is wrong, on stderr right away.
    g_applicationExistedThen = QCoreApplication::instance() != nullptr;
    g_problemsBeforeApplication = checkAllPictures();
    g_checkedBeforeApplication = true;
    for (const QString &problem : qAsConst(g_problemsBeforeApplication))
        std::fprintf(stderr, "FAIL before QApplication: %s\n", qPrintable(problem));

    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TstResources test;
    QTEST_SET_MAIN_SOURCE_PATH
    const int failures = QTest::qExec(&test, argc, argv);
    return failures != 0 ? failures : (g_problemsBeforeApplication.isEmpty() ? 0 : 1);
}

#include "tst_resources.moc"
