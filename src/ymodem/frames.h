#pragma once

// Everything the updater puts on the serial line, byte for byte: the two
// bootloader command frames and the YMODEM-1K blocks with their CRC-16.
// The encoders keep no state and may be called from any thread.

#include <QByteArray>
#include <QtGlobal>

namespace ymodem {

constexpr char SOH = 0x01; // head of a 128-byte block
constexpr char STX = 0x02; // head of a 1024-byte block
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr char CAN = 0x18;
constexpr char CRC_REQUEST = 'C'; // the receiver asks for a CRC-16 transfer
constexpr char FILL = 0x1A;       // pads the last data block

constexpr int HeaderFieldSize = 128;
constexpr int DataFieldSize = 1024;
constexpr int BlockOverhead = 5; // head, number, complement, two CRC bytes
constexpr int HeaderBlockSize = HeaderFieldSize + BlockOverhead; // 133
constexpr int DataBlockSize = DataFieldSize + BlockOverhead;     // 1029

// Make the device leave its application and start the bootloader. The last
// byte of each is the low byte of the sum of the six before it.
inline const QByteArray firstCommandFrame = QByteArray::fromHex("73AA04FF050025");
inline const QByteArray secondCommandFrame = QByteArray::fromHex("73AA04FF050126");

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection) of `length` bytes.
quint16 blockCrc16(const char *data, quint32 length);

// Block 0: SOH 00 FF, the name, 00, the size in decimal, a space, zero fill,
// CRC. Returns an empty array when name and size do not fit in 128 bytes, so a
// wrong block can never be sent.
QByteArray makeHeaderBlock(const char *fileName, qint64 fileSize);

// STX n ~n, the chunk padded with 0x1A to 1024 bytes, CRC. Returns an empty
// array for an empty chunk or one over 1024 bytes.
QByteArray makeDataBlock(const QByteArray &chunk, quint8 blockNumber);

// The end-of-batch block this bootloader expects: SOH 00 FF and a 1024-byte
// zero field, 1029 bytes in all (CRC 0000).
QByteArray makeClosingBlock();

} // namespace ymodem
