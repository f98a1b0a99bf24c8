#include "ymodem/frames.h"

#include <QtTest>

using namespace ymodem;

class TestFrames : public QObject
{
    Q_OBJECT

private slots:
    void crcVectors_data();
    void crcVectors();
    void crcAddByteIsOneStep();
    void commandFrames();
    void headerBlock_data();
    void headerBlock();
    void headerBlockThatDoesNotFitIsRefused();
    void dataBlockOfOneByte();
    void dataBlockWithFullChunkHasNoFill();
    void dataBlockNumbers_data();
    void dataBlockNumbers();
    void dataBlockRefusesBadChunks();
    void closingBlock();
};

void TestFrames::crcVectors_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("crc");
    QTest::newRow("check value 123456789") << QByteArray("123456789") << 0x31C3;
    QTest::newRow("abc") << QByteArray("abc") << 0x9DD6;
    QTest::newRow("nothing") << QByteArray() << 0x0000;
    QTest::newRow("one zero") << QByteArray(1, '\0') << 0x0000;
    QTest::newRow("1024 zeros") << QByteArray(1024, '\0') << 0x0000;
    QTest::newRow("single A") << QByteArray("A") << 0x58E5;
}

void TestFrames::crcVectors()
{
    QFETCH(QByteArray, data);
    QFETCH(int, crc);
    QCOMPARE(int(blockCrc16(data.constData(), quint32(data.size()))), crc);
}

void TestFrames::crcAddByteIsOneStep()
{
    // Feeding the bytes and two zero bytes by hand gives the block CRC.
    quint16 crc = 0;
    for (char c : QByteArray("123456789"))
        crc = crc16AddByte(crc, quint8(c));
    crc = crc16AddByte(crc16AddByte(crc, 0), 0);
    QCOMPARE(crc, quint16(0x31C3));
    QCOMPARE(crc16AddByte(0, 0x80), quint16(0x0080));
    // A register bit that leaves the top is divided out by the polynomial.
    QCOMPARE(crc16AddByte(0x0100, 0), quint16(0x1021));
}

void TestFrames::commandFrames()
{
    QCOMPARE(firstCommandFrame, QByteArray::fromHex("73AA04FF050025"));
    QCOMPARE(secondCommandFrame, QByteArray::fromHex("73AA04FF050126"));
    for (const QByteArray &frame : {firstCommandFrame, secondCommandFrame}) {
        int sum = 0;
        for (int i = 0; i < 6; ++i)
            sum += quint8(frame[i]);
        QCOMPARE(quint8(frame[6]), quint8(sum & 0xFF));
    }
}

void TestFrames::headerBlock_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("digits");
    QTest::newRow("100") << qint64(100) << QByteArray("100");
    QTest::newRow("empty file") << qint64(0) << QByteArray("0");
    QTest::newRow("largest size") << std::numeric_limits<qint64>::max()
                                  << QByteArray("9223372036854775807");
}

void TestFrames::headerBlock()
{
    QFETCH(qint64, size);
    QFETCH(QByteArray, digits);
    const QByteArray block = makeHeaderBlock("firmware.bin", size);
    QCOMPARE(block.size(), 133);
    QByteArray field = QByteArray("firmware.bin") + '\0' + digits + ' ';
    field.append(QByteArray(128 - field.size(), '\0'));
    QCOMPARE(block.left(3), QByteArray::fromHex("0100FF"));
    QCOMPARE(block.mid(3, 128), field);
    const quint16 crc = blockCrc16(field.constData(), 128);
    QCOMPARE(quint8(block[131]), quint8(crc >> 8));
    QCOMPARE(quint8(block[132]), quint8(crc & 0xFF));
    if (size == 100)
        QCOMPARE(block.right(2), QByteArray::fromHex("1E00"));
}

void TestFrames::headerBlockThatDoesNotFitIsRefused()
{
    const QByteArray longest(128 - 3, 'n'); // name, NUL, "0", space: 128 bytes
    QCOMPARE(makeHeaderBlock(longest.constData(), 0).size(), 133);
    const QByteArray tooLong(128 - 2, 'n');
    QVERIFY(makeHeaderBlock(tooLong.constData(), 0).isEmpty());
    QVERIFY(makeHeaderBlock("firmware.bin", -1).isEmpty());
}

void TestFrames::dataBlockOfOneByte()
{
    const QByteArray block = makeDataBlock("A", 1);
    QCOMPARE(block.size(), 1029);
    QCOMPARE(block.left(4), QByteArray::fromHex("0201FE41"));
    QCOMPARE(block.mid(4, 1023), QByteArray(1023, 0x1A));
    QCOMPARE(block.right(2), QByteArray::fromHex("5575"));
}

void TestFrames::dataBlockWithFullChunkHasNoFill()
{
    QByteArray chunk(1024, '\0');
    for (int i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 7 + 3);
    const QByteArray block = makeDataBlock(chunk, 9);
    QCOMPARE(block.size(), 1029);
    QCOMPARE(block.mid(3, 1024), chunk);
    const quint16 crc = blockCrc16(chunk.constData(), 1024);
    QCOMPARE(quint8(block[1027]), quint8(crc >> 8));
    QCOMPARE(quint8(block[1028]), quint8(crc & 0xFF));

    const QByteArray last = makeDataBlock(chunk.left(1000), 10);
    QCOMPARE(last.size(), 1029);
    QCOMPARE(last.mid(3, 1000), chunk.left(1000));
    QCOMPARE(last.mid(1003, 24), QByteArray(24, 0x1A));
}

void TestFrames::dataBlockNumbers_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("complement");
    QTest::newRow("0") << 0 << 0xFF;
    QTest::newRow("1") << 1 << 0xFE;
    QTest::newRow("255") << 255 << 0x00;
}

void TestFrames::dataBlockNumbers()
{
    QFETCH(int, number);
    QFETCH(int, complement);
    const QByteArray block = makeDataBlock("xyz", quint8(number));
    QCOMPARE(quint8(block[0]), quint8(STX));
    QCOMPARE(quint8(block[1]), quint8(number));
    QCOMPARE(quint8(block[2]), quint8(complement));
}

void TestFrames::dataBlockRefusesBadChunks()
{
    QVERIFY(makeDataBlock(QByteArray(), 1).isEmpty());
    QVERIFY(makeDataBlock(QByteArray(1025, 'x'), 1).isEmpty());
}

void TestFrames::closingBlock()
{
    const QByteArray block = makeClosingBlock();
    QCOMPARE(block.size(), 1029);
    QCOMPARE(block.left(3), QByteArray::fromHex("0100FF"));
    QCOMPARE(block.mid(3), QByteArray(1026, '\0'));
    QCOMPARE(makeClosingBlock(), block);
}

QTEST_APPLESS_MAIN(TestFrames)
#include "tst_frames.moc"
