// Everything the updater puts on the line, against bytes written out by hand.

#include "ymodem/frames.h"

#include <QtTest>

using namespace ymodem;

namespace {

QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(digits);
}

// The CRC as it goes on the line: high byte first.
QByteArray crcOf(const QByteArray &data)
{
    const quint16 crc = blockCrc16(data.constData(), quint32(data.size()));
    const char bytes[] = {char(crc >> 8), char(crc & 0xFF)};
    return QByteArray(bytes, 2);
}

// SOH 00 FF, "firmware.bin", NUL, the size in decimal, a space, zero fill, CRC.
QByteArray headerFor(const char *sizeText, const char *crc)
{
    const QByteArray field = QByteArray("firmware.bin") + '\0' + sizeText + ' ';
    return hex("0100FF") + field.leftJustified(HeaderFieldSize, '\0') + hex(crc);
}

} // namespace

class TestFrames : public QObject
{
    Q_OBJECT

private slots:
    void frames_data()
    {
        QTest::addColumn<QByteArray>("made");
        QTest::addColumn<QByteArray>("expected");
        // Bytes of 0x80 and above: the full chunk's CRC.
        QTest::newRow("CRC check value") << crcOf("123456789") << hex("31C3");
        QTest::newRow("CRC of 01: the polynomial") << crcOf(hex("01")) << hex("1021");
        QTest::newRow("first command") << firstCommandFrame << hex("73AA04FF050025");
        QTest::newRow("second command") << secondCommandFrame << hex("73AA04FF050126");

        QTest::newRow("header, 100 bytes")
            << makeHeaderBlock("firmware.bin", 100) << headerFor("100", "1E00");
        const QByteArray longest(HeaderFieldSize - 3, 'n'); // with NUL, "0" and space: 128
        QTest::newRow("longest name")
            << makeHeaderBlock(longest.constData(), 0).left(3) << hex("0100FF");
        QTest::newRow("name too long")
            << makeHeaderBlock((longest + 'n').constData(), 0) << QByteArray();
        QTest::newRow("negative size") << makeHeaderBlock("firmware.bin", -1) << QByteArray();

        QTest::newRow("one-byte block")
            << makeDataBlock("A", 1) << hex("0201FE41") + QByteArray(1023, FILL) + hex("5575");
        QByteArray chunk(DataFieldSize, '\0');
        for (int i = 0; i < chunk.size(); ++i)
            chunk[i] = char(i * 7 + 3);
        QTest::newRow("full chunk, no fill")
            << makeDataBlock(chunk, 9) << hex("0209F6") + chunk + hex("7BE2");
        QTest::newRow("block 255") << makeDataBlock("x", 255).left(3) << hex("02FF00");
        QTest::newRow("empty chunk") << makeDataBlock({}, 1) << QByteArray();
        QTest::newRow("chunk too long") << makeDataBlock(chunk + 'x', 1) << QByteArray();
        QTest::newRow("closing block")
            << makeClosingBlock() << hex("0100FF") + QByteArray(DataFieldSize + 2, '\0');
    }

    void frames()
    {
        QFETCH(QByteArray, made);
        QFETCH(QByteArray, expected);
        QCOMPARE(made.toHex(), expected.toHex());
    }
};

QTEST_APPLESS_MAIN(TestFrames)
#include "tst_frames.moc"
