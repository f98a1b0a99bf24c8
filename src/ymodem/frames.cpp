#include "ymodem/frames.h"

#include <cstring>

namespace ymodem {

namespace {

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection) a byte at a time: entry
// n is the register after shifting n through a cleared register. The station
// computes a CRC for every block of every board; bit by bit, that was most of
// its CPU time in our own code at 64 boards.
struct CrcTable
{
    quint16 entries[256] = {};

    constexpr CrcTable()
    {
        constexpr quint16 polynomial = 0x1021;
        for (int byte = 0; byte < 256; ++byte) {
            quint16 crc = quint16(byte << 8);
            for (int bit = 0; bit < 8; ++bit)
                crc = quint16((crc & 0x8000) != 0 ? (crc << 1) ^ polynomial : crc << 1);
            entries[byte] = crc;
        }
    }
};

constexpr CrcTable crcTable;

} // namespace

quint16 blockCrc16(const char *data, quint32 length)
{
    quint16 crc = 0;
    for (quint32 i = 0; i < length; ++i)
        crc = quint16(crc << 8) ^ crcTable.entries[(crc >> 8) ^ quint8(data[i])];
    return crc;
}

static void appendCrc(QByteArray &block, int fieldSize)
{
    const quint16 crc = blockCrc16(block.constData() + 3, static_cast<quint32>(fieldSize));
    block[3 + fieldSize] = static_cast<char>(crc >> 8);
    block[3 + fieldSize + 1] = static_cast<char>(crc & 0xFF);
}

QByteArray makeHeaderBlock(const char *fileName, qint64 fileSize)
{
    if (fileName == nullptr || fileSize < 0)
        return {};
    QByteArray field(fileName, static_cast<int>(std::strlen(fileName)));
    field.append('\0');
    field.append(QByteArray::number(fileSize));
    field.append(' ');
    if (field.size() > HeaderFieldSize)
        return {};

    QByteArray block(HeaderBlockSize, '\0');
    block[0] = SOH;
    block[1] = 0x00;
    block[2] = static_cast<char>(0xFF);
    std::memcpy(block.data() + 3, field.constData(), static_cast<size_t>(field.size()));
    appendCrc(block, HeaderFieldSize);
    return block;
}

QByteArray makeDataBlock(const QByteArray &chunk, quint8 blockNumber)
{
    if (chunk.isEmpty() || chunk.size() > DataFieldSize)
        return {};
    QByteArray block(DataBlockSize, FILL);
    block[0] = STX;
    block[1] = static_cast<char>(blockNumber);
    block[2] = static_cast<char>(0xFF - blockNumber);
    std::memcpy(block.data() + 3, chunk.constData(), static_cast<size_t>(chunk.size()));
    appendCrc(block, DataFieldSize);
    return block;
}

QByteArray makeClosingBlock()
{
    QByteArray block(DataBlockSize, '\0');
    block[0] = SOH;
    block[1] = 0x00;
    block[2] = static_cast<char>(0xFF);
    appendCrc(block, DataFieldSize);
    return block;
}

} // namespace ymodem
