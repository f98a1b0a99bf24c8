// What the window and the flasher accept as a firmware image: one table of
// files and what the loader makes of each.

#include "firmwareimage.h"

#include <QTemporaryDir>
#include <QtTest>

#include <future>
#include <sys/stat.h>

using Problem = firmware::FirmwareImage::Problem;
Q_DECLARE_METATYPE(Problem)

// A small limit stands in for the real one; a sysfs file claims this size.
constexpr qint64 Limit = 4096;
const QByteArray Image = QByteArray::fromHex("00400020").leftJustified(Limit, 'x');

class TestFirmwareImage : public QObject
{
    Q_OBJECT

private slots:
    void load_data()
    {
        QTest::addColumn<QByteArray>("content"); // written to the file, where there is one
        QTest::addColumn<Problem>("problem");
        QTest::addColumn<QString>("detail");
        const QByteArray none;
        QTest::newRow("valid, at the limit") << Image << Problem::None << QString();
        QTest::newRow("too large") << Image + 'x' << Problem::TooLarge << "4097";
        QTest::newRow("too short") << QByteArray::fromHex("004000") << Problem::TooShort << "";
        QTest::newRow("bad signature")
            << QByteArray::fromHex("123456789a") << Problem::BadSignature << "12 34 56 78";
        QTest::newRow("missing") << none << Problem::Missing << "";
        QTest::newRow("directory") << none << Problem::NotRegular << "";
        QTest::newRow("fifo") << none << Problem::NotRegular << "";
        QTest::newRow("dangling link")
            << none << Problem::CannotOpen << "No such file or directory";
        // A sysfs file claims 4096 bytes and holds a few.
        QTest::newRow("shorter than its size") << none << Problem::ReadFailed << "";
    }

    void load()
    {
        QFETCH(QByteArray, content);
        QFETCH(Problem, problem);
        QFETCH(QString, detail);
        const QString kind = QTest::currentDataTag();
        QTemporaryDir dir;
        QString path = dir.filePath("firmware.kvt");
        QFile file(path);
        if (!content.isEmpty())
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) && file.flush());
        if (kind == "directory")
            path = dir.path();
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        if (kind == "dangling link")
            QVERIFY(QFile::link(dir.filePath("gone"), path));
        if (kind == "shorter than its size")
            path = QStringLiteral("/sys/devices/system/cpu/online");
        if (kind == "shorter than its size" && !QFileInfo::exists(path))
            QSKIP("no sysfs here");

        auto loading = std::async(std::launch::async,
                                  [=] { return firmware::loadFirmwareImage(path, Limit); });
        if (loading.wait_for(std::chrono::seconds(2)) == std::future_status::timeout) {
            QFile(path).open(QIODevice::WriteOnly); // a pipe waits for a writer: be it
            QFAIL("the loader waited");
        }
        const firmware::FirmwareImage loaded = loading.get();
        QCOMPARE(int(loaded.problem), int(problem));
        if (problem != Problem::ReadFailed) // the system's text for a short read varies
            QCOMPARE(loaded.detail, detail);
        if (problem == Problem::None || loaded.wasRead())
            QCOMPARE(loaded.data, content);
    }
};

QTEST_APPLESS_MAIN(TestFirmwareImage)
#include "tst_firmwareimage.moc"
