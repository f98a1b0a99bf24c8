#pragma once

// An upload session and the simulated bootloader joined in memory, on one
// clock that jumps from deadline to deadline: thousands of simulated seconds
// in milliseconds, no pty. Every frame reaches the device and is reported
// written as it is sent. The exchange tests and the fuzz target drive the
// upload logic against the same device as the simulator's users.

#include "sim/bootloadercore.h"
#include "ymodem/upload.h"

#include <functional>

namespace simwire {

constexpr qint64 NsPerMs = 1000000;
constexpr qint64 Never = sim::BootloaderCore::NoDeadline;

struct Wire
{
    Wire(const QByteArray &image, const ymodem::UploadOptions &upload,
         const BootloaderSimOptions &device)
        : session(image, upload), device(device)
    {}

    // Runs the upload until it ends, or until nothing is left to happen.
    void run(int maxSteps = 100000)
    {
        device.start();
        session.start(nowMs());
        collect();
        for (int step = 0; step < maxSteps; ++step) {
            // What the device said meanwhile, frames written included.
            for (QVector<sim::BootloaderOutput> out; !(out = device.takeOutput()).isEmpty();)
                for (const sim::BootloaderOutput &output : out)
                    deliver(output.bytes);
            if (session.isDone())
                return;
            const qint64 sessionDue = session.nextDeadline();
            const qint64 next =
                earliest(answerDueNs, earliest(device.nextDeadlineNs(),
                                               sessionDue == ymodem::UploadSession::NoDeadline
                                                   ? Never
                                                   : sessionDue * NsPerMs));
            if (next == Never)
                return;
            nowNs = qMax(nowNs, next);
            device.tick(nowNs);
            if (answerDueNs != Never && answerDueNs <= nowNs) {
                answerDueNs = Never;
                deliver(answer);
            }
            session.tick(nowMs());
            collect();
        }
    }

    qint64 nowMs() const { return nowNs / NsPerMs; }

    ymodem::UploadSession session;
    sim::BootloaderCore device;
    qint64 nowNs = 0;
    bool byteByByte = false; // the device's answers reach the session a byte at a time
    // A fault in front of the device: true when it answers `frame` itself
    // (with `*reply`, after the device's reply delay; nothing for an empty
    // one), so that the device never sees it.
    std::function<bool(const QByteArray &frame, QByteArray *reply)> intercept;
    // Sees every batch of the session's events as they come.
    std::function<void(const QVector<ymodem::UploadEvent> &)> observe;
    QVector<ymodem::UploadEvent> events;
    bool sentMidAnswer = false; // a frame went out before the device's answer was whole

private:
    static qint64 earliest(qint64 a, qint64 b)
    {
        return a == Never ? b : b == Never ? a : qMin(a, b);
    }

    void collect()
    {
        const QVector<ymodem::UploadEvent> batch = session.takeEvents();
        if (observe)
            observe(batch);
        events += batch;
        for (const ymodem::UploadEvent &event : batch)
            if (event.kind == ymodem::UploadEvent::Kind::Send)
                write(event.frame);
    }

    void write(const QByteArray &frame)
    {
        if (intercept && intercept(frame, &answer))
            answerDueNs =
                answer.isEmpty() ? Never : nowNs + device.options().replyDelayMs * NsPerMs;
        else
            device.receive(frame, nowNs);
        session.written(frame.size(), nowMs());
        collect();
    }

    void deliver(const QByteArray &bytes)
    {
        const int step = byteByByte ? 1 : qMax(1, bytes.size());
        for (int at = 0; at < bytes.size(); at += step) {
            const int before = events.size();
            session.receive(bytes.mid(at, step), nowMs());
            collect();
            const bool whole = at + step >= bytes.size();
            for (int i = before; !whole && i < events.size(); ++i)
                sentMidAnswer |= events[i].kind == ymodem::UploadEvent::Kind::Send;
        }
    }

    QByteArray answer; // the interceptor's
    qint64 answerDueNs = Never;
};

} // namespace simwire
