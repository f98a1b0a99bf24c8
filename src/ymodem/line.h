#pragma once

// The serial line to the device's bootloader: 115200 baud, 8 data bits, no
// parity, one stop bit, no flow control. Every driver, the simulator, the
// benchmarks and the fuzz target take the line's figures from here.

#include <QtGlobal>

namespace ymodem::line {

constexpr qint32 BaudRate = 115200;
// A start bit, 8 data bits and a stop bit.
constexpr int BitsPerByte = 10;

// How long `bytes` take on a line at `baudRate`, rounded up to whole
// microseconds or milliseconds; 0 for a line without a speed.
constexpr qint64 wireTimeUs(qint64 bytes, qint64 baudRate = BaudRate)
{
    return baudRate <= 0 ? 0 : (bytes * BitsPerByte * 1000000 + baudRate - 1) / baudRate;
}

constexpr qint64 wireTimeMs(qint64 bytes, qint64 baudRate = BaudRate)
{
    return baudRate <= 0 ? 0 : (bytes * BitsPerByte * 1000 + baudRate - 1) / baudRate;
}

} // namespace ymodem::line
