#include "ymodem/frames.h"

#include <cstring>

namespace ymodem {

quint16 crc16AddByte(quint16 crc, quint8 byte)
{
    constexpr quint16 polynomial = 0x1021;
    for (int bit = 7; bit >= 0; --bit) {
        const bool carry = (crc & 0x8000) != 0;
        crc = static_cast<quint16>((crc << 1) | ((byte >> bit) & 1));
        if (carry)
            crc ^= polynomial;
    }
    return crc;
}

quint16 blockCrc16(const char *data, quint32 length)
{
    // Plain polynomial division: the data followed by 16 zero bits leaves
    // CRC-16/XMODEM of the data in the register.
    quint16 crc = 0;
    for (quint32 i = 0; i < length; ++i)
        crc = crc16AddByte(crc, static_cast<quint8>(data[i]));
    crc = crc16AddByte(crc, 0);
    return crc16AddByte(crc, 0);
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
