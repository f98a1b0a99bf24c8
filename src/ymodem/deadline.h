#pragma once

// A pause or a limit that started at some moment, on the driver's monotonic
// clock in milliseconds. The one place that decides when time has run out:
// a pause ends once its full length has passed; a limit runs out only when
// more than the limit has passed, so a reply at exactly the limit still counts.

#include <QtGlobal>

namespace ymodem {

class Deadline
{
public:
    static constexpr qint64 Never = -1;

    Deadline() = default;
    static Deadline pause(qint64 from, qint64 length) { return Deadline(from + length); }
    static Deadline limit(qint64 from, qint64 length) { return Deadline(from + length + 1); }

    bool isLive() const { return due_ != Never; }
    // The first moment at which expired() holds; Never when not live.
    qint64 due() const { return due_; }
    bool expired(qint64 now) const { return isLive() && now >= due_; }
    void clear() { due_ = Never; }

    // The earlier of two due times, either of which may be Never.
    static qint64 earliest(qint64 a, qint64 b)
    {
        if (a == Never)
            return b;
        return b == Never ? a : qMin(a, b);
    }

private:
    explicit Deadline(qint64 due) : due_(due) {}

    qint64 due_ = Never;
};

} // namespace ymodem
