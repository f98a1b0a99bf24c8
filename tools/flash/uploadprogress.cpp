#include "flash/uploadprogress.h"

#include "flash/uploadtext.h"

namespace flash {

namespace {

constexpr qint64 MinRateWindowMs = 200; // shorter windows give wild speeds

} // namespace

// The window's arithmetic rounds the last percent up: with under 1 % of the
// image to go it shows 100. Until the device has acknowledged all of it,
// 99 is as far as this goes.
int UploadProgress::percent() const
{
    const int shown = qMax(0, uploadtext::percentSent(double(total - acknowledged), double(total)));
    return acknowledged < total ? qMin(shown, 99) : shown;
}

// Over what the device acknowledged, so that the rate and the time left
// agree with the percentage shown beside them.
double UploadProgress::bytesPerSecond() const
{
    const qint64 window = elapsedMs - dataStartMs;
    if (dataStartMs < 0 || window < MinRateWindowMs || acknowledged <= 0)
        return 0;
    return double(acknowledged) * 1000.0 / double(window);
}

qint64 UploadProgress::msLeft() const
{
    const double rate = bytesPerSecond();
    if (!(rate > 0))
        return -1;
    return qint64(double(total - acknowledged) * 1000.0 / rate);
}

} // namespace flash
