#pragma once

// A fake link for the upload logic: it drives one session the way a port
// would, on a clock the test sets, and keeps every event.

#include "testdata.h"
#include "ymodem/frames.h"
#include "ymodem/upload.h"

#include <QtTest>

using namespace ymodem;
using Kind = UploadEvent::Kind;

namespace {

const QByteArray Ack(1, ACK);
const QByteArray C(1, CRC_REQUEST);
const QByteArray AckC = Ack + C;
const QByteArray Nak(1, NAK);

using testdata::makeImage;

// Drives one session the way a port would, keeping every event.
struct Link
{
    explicit Link(QByteArray image, UploadOptions options = {}) : session(std::move(image), options)
    {}

    void collect() { events += session.takeEvents(); }
    void at(qint64 t)
    {
        now = t;
        session.tick(now);
        collect();
    }
    void start()
    {
        session.start(now);
        collect();
    }
    // Reports the whole of the last frame written.
    void written()
    {
        session.written(frames().last().size(), now);
        collect();
    }
    void reply(const QByteArray &bytes)
    {
        session.receive(bytes, now);
        collect();
    }
    // Answers and reports each new frame's write at once.
    void replyAndWrite(const QByteArray &bytes)
    {
        const int before = frames().size();
        reply(bytes);
        if (frames().size() > before)
            written();
    }
    QVector<QByteArray> frames() const
    {
        QVector<QByteArray> out;
        for (const UploadEvent &e : events)
            out += e.kind == Kind::Send ? QVector<QByteArray>{e.frame} : QVector<QByteArray>{};
        return out;
    }
    QVector<UploadTrace> traces() const
    {
        QVector<UploadTrace> out;
        for (const UploadEvent &e : events)
            out += e.kind == Kind::Trace ? QVector<UploadTrace>{e.trace} : QVector<UploadTrace>{};
        return out;
    }
    // Ended with `outcome`, told by one Ended event, the last one.
    bool ended(UploadOutcome outcome) const
    {
        const auto isEnd = [](const UploadEvent &e) { return e.kind == Kind::Ended; };
        return session.isDone() && session.end().outcome == outcome &&
               std::count_if(events.begin(), events.end(), isEnd) == 1 && isEnd(events.last());
    }

    // The command frames, both pauses; the wait for the receiver begins at 6000.
    void handshake()
    {
        start();
        written();
        at(5000);
        written();
        at(6000);
        QCOMPARE(session.phase(), UploadPhase::WaitReceiver);
    }

    UploadSession session;
    qint64 now = 0;
    QVector<UploadEvent> events;
};

} // namespace
