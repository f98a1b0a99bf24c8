// Fuzz target for ymodem::UploadSession: properties of any correct sender,
// checked from outside, against the simulator's core as the device.
// Input layout: fuzz/make-seeds.sh. Each input runs the script, falls silent
// until the session ends, then runs a fresh session against the device.

#include "../tests/testdata.h"
#include "sim/bootloadercore.h"
#include "ymodem/frames.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>

using namespace ymodem;
using Kind = UploadEvent::Kind;
constexpr qint64 NoDeadline = UploadSession::NoDeadline;
constexpr qint64 NsPerMs = 1000000;
constexpr qint64 Never = sim::BootloaderCore::NoDeadline;

namespace {

void require(bool holds, const char *property, qint64 now)
{
    if (holds)
        return;
    std::fprintf(stderr, "\nupload property broken at t=%lld ms: %s\n", (long long)now, property);
    std::abort();
}

// A session, the device that hears its every frame (unless `refused` says
// that a NAK answers it, after the device's reply delay), and what they said.
struct Checked
{
    Checked(const QByteArray &image, const UploadOptions &options, BootloaderSimOptions device = {})
        : session(image, options), device(device), frames(testdata::canonicalFrames(image)),
          total(image.size()), retries(options.retries), stopOnCancel(options.stopOnCancel)
    {}

    // Checks what the session said.
    void after(qint64 now)
    {
        const QVector<UploadEvent> events = session.takeEvents();
        deviceNs = qMax(deviceNs, now * NsPerMs);
        for (const UploadEvent &event : events) {
            require(!ended, "an event after the end", now);
            if (event.kind == Kind::Send)
                sent(event.frame, now);
            require(event.kind != Kind::Progress ||
                        (event.total == total && event.rest >= 0 && event.rest <= rest),
                    "progress with another total, or a rest that grew", now);
            rest = event.kind == Kind::Progress ? event.rest : rest;
            end = event.kind == Kind::Ended ? event.end : end;
            ended = ended || event.kind == Kind::Ended;
        }
        require(ended == session.isDone(), "isDone() and the end event disagree", now);
        require(!ended || end.outcome != UploadOutcome::Completed ||
                    (next == frames.size() && rest == 0 && session.acknowledged() == total),
                "completed before every frame was sent and acknowledged", now);
        require(!ended || end.outcome != UploadOutcome::Cancelled ||
                    (stopOnCancel && heard.contains(QByteArray(2, CAN))),
                "cancelled without two CAN in a row from the device, or not asked to", now);
        require(!ended || session.nextDeadline() == NoDeadline, "a deadline after the end", now);
        require(ended || session.awaitingWrite() == (outstanding > 0),
                "awaitingWrite() disagrees with the bytes not yet reported", now);
        if (writtenAtOnce && outstanding > 0 && !ended)
            written(outstanding, now);
    }
    // The next canonical frame, or the last one again at most `retries` times
    // in a row; nothing while a write report is outstanding; after abort()
    // only one CAN CAN.
    void sent(const QByteArray &frame, qint64 now)
    {
        require(outstanding == 0, "a frame sent while a write report is outstanding", now);
        outstanding = frame.size();
        require(!cancelSent && (!aborted || frame == QByteArray(2, CAN)),
                "after abort() a frame other than one CAN CAN", now);
        cancelSent = aborted;
        const bool again = next > 0 && frame == frames[next - 1];
        require(aborted || (next < frames.size() && frame == frames[next]) ||
                    (again && repeats < retries),
                "a frame out of order, or repeated too often", now);
        repeats = again ? repeats + 1 : 0;
        next += again || aborted ? 0 : 1;
        order.append(next - 1);
        if (refused && refused())
            nakDueNs = deviceNs + device.options().replyDelayMs * NsPerMs;
        else
            device.receive(frame, deviceNs);
    }
    void receive(const QByteArray &bytes, bool byteByByte, qint64 now)
    {
        const int sentBefore = order.size();
        for (int at = 0, step = byteByByte ? 1 : qMax(1, bytes.size()); at < bytes.size();
             at += step) {
            heard += bytes.mid(at, step), session.receive(bytes.mid(at, step), now), after(now);
            require(!wholeAnswers || at + step >= bytes.size() || order.size() == sentBefore,
                    "a frame sent before the answer was whole", now);
        }
    }
    void written(qint64 count, qint64 now)
    {
        session.written(count, now);
        outstanding = count > 0 ? qMax<qint64>(0, outstanding - count) : outstanding;
        after(now);
    }
    void tick(qint64 now)
    {
        session.tick(now);
        after(now);
    }

    UploadSession session;
    sim::BootloaderCore device;
    qint64 deviceNs = 0, nakDueNs = Never;            // the device's clock; when a refusal is due
    std::function<bool()> refused;                    // asked as each frame goes out
    bool writtenAtOnce = false, wholeAnswers = false; // the well-behaved run's driver
    const QVector<QByteArray> frames;
    const qint64 total;
    const int retries;
    const bool stopOnCancel;
    qint64 rest = total, outstanding = 0; // bytes of the last frame not yet reported written
    int next = 0, repeats = 0;            // the next canonical frame; repeats of the last one
    QVector<int> order;                   // canonical index of each frame sent
    bool aborted = false, cancelSent = false, ended = false;
    QByteArray heard; // every byte from the device, in order
    UploadEnd end;
};

struct Input
{
    const uint8_t *data;
    size_t size, at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; } // zeros past the end
};

// One action per byte: the low 3 bits choose it, the high 5 bits are its argument.
void runScript(Checked &s, Input &in, qint64 &now)
{
    static const char favourites[] = {ACK, ACK, NAK, CRC_REQUEST, CRC_REQUEST, CAN, EOT};
    s.session.start(now), s.after(now);
    for (int steps = 0; steps < 4096 && in.at < in.size; ++steps) {
        const uint8_t op = in.byte();
        const int arg = op >> 3;
        const qint64 due = s.session.nextDeadline();
        QByteArray bytes;
        switch (op & 7) {
        case 0: // up to 8 device bytes, whole or one by one; one in eight any byte
        case 1:
            for (int i = 0; i <= (arg & 7); ++i) {
                const uint8_t pick = in.byte();
                bytes += pick % 8 < 7 ? favourites[pick % 8] : char(pick);
            }
            s.receive(bytes, arg & 8, now);
            break;
        case 2: // what the device has answered by now
            s.device.tick(s.deviceNs = qMax(s.deviceNs, now * NsPerMs));
            for (const sim::BootloaderOutput &output : s.device.takeOutput())
                bytes += output.bytes;
            s.receive(bytes, arg & 1, now);
            break;
        case 3: // the whole write, a part or more of it, nothing or a negative count
            s.written(arg < 16 ? s.outstanding : arg < 24 ? 1 + in.byte() * 8 : arg - 28, now);
            break;
        case 4: // up to a second; the deadline, 1 ms before it or 1-2 ms after it; hours later
        case 5:
        case 6:
            s.tick(now = (op & 7) == 4       ? now + arg * arg
                         : (op & 7) == 6     ? now + (arg < 16 ? 0 : qint64(arg) << 24)
                         : due == NoDeadline ? now
                                             : qMax(now, due + arg % 4 - 1));
            break;
        case 7: { // stop, abort, or the same moment again
            const bool running = !s.ended, writing = s.session.awaitingWrite();
            const bool inBootloader = s.session.phase() >= UploadPhase::WaitReceiver;
            s.aborted = s.aborted || arg == 1;
            arg == 0 ? s.session.stop() : arg == 1 ? s.session.abort(now) : s.session.tick(now);
            s.after(now);
            // stop() ends at once; abort() too before the bootloader runs, else
            // it tells the bootloader (CAN CAN) once the frame on the line is out.
            require(!running || arg > 1 ||
                        (arg == 0       ? s.ended
                         : inBootloader ? !s.ended && (s.cancelSent || writing)
                                        : s.ended && !s.cancelSent),
                    "stop() or abort() did not end the upload as it should", now);
            break;
        }
        }
    }
    // The device falls silent, writes are still reported: the two pauses and
    // one frame's resends and limit may pass, plus some slack (bytes that
    // waited for a write report may release one more frame).
    for (int ticks = 0; !s.ended; ++ticks) {
        require(ticks <= 2 + 2 * (s.retries + 1) + 2, "a silent device does not end the upload",
                now);
        s.written(s.outstanding, now);
        if (!s.ended)
            s.tick(now = s.session.nextDeadline());
    }
    s.receive(QByteArray(1, ACK) + CRC_REQUEST, false, now); // a finished session stays silent
    s.written(DataBlockSize, now), s.tick(now + 3600000);
    s.session.start(now), s.session.abort(now), s.session.stop(), s.after(now);
}

// The device in memory, with each frame from `from` on refused `refusals`
// times (a late one answering at the last moment the reply limit allows), on
// a clock that jumps from deadline to deadline, every frame written at once:
// the canonical frames, the refused ones that many times more, the image
// received and a completed upload; when retries do not cover refusals, a
// refusal that names the last data block sent.
void runWellBehaved(const QByteArray &image, const UploadOptions &options, uint8_t config,
                    int refusals, int from)
{
    BootloaderSimOptions device; // late: answers at the last moment the reply limit allows
    device.replyDelayMs = (config & 32) && options.retries > 0 ? int(options.timing.replyLimit) : 0;
    device.cIntervalMs = 3600000; // one "C": one asked for again while the header is on its way
                                  // would release block 1 before the header's answer is whole
    Checked s(image, options, device);
    s.refused = [&] { return s.order.back() >= from && s.repeats < refusals; };
    s.writtenAtOnce = s.wholeAnswers = true;
    s.device.start();
    s.session.start(0), s.after(0);
    for (int step = 0; step < 100000; ++step) {
        // The device's answers come after the session has seen the moment pass.
        for (QVector<sim::BootloaderOutput> out; !(out = s.device.takeOutput()).isEmpty();)
            for (const sim::BootloaderOutput &answer : out)
                s.receive(answer.bytes, config & 16, s.deviceNs / NsPerMs);
        const qint64 due = s.session.nextDeadline();
        const qint64 next = Deadline::earliest(
            s.nakDueNs, Deadline::earliest(s.device.nextDeadlineNs(),
                                           due == NoDeadline ? Never : due * NsPerMs));
        if (s.ended || next == Never)
            break;
        s.device.tick(s.deviceNs = qMax(s.deviceNs, next));
        if (s.nakDueNs != Never && s.nakDueNs <= s.deviceNs)
            s.nakDueNs = Never, s.receive(QByteArray(1, NAK), false, s.deviceNs / NsPerMs);
        s.tick(s.deviceNs / NsPerMs);
    }
    require(refusals > options.retries
                ? s.ended && s.end.outcome == UploadOutcome::Refused &&
                      s.end.block == qMin(from - 2, s.frames.size() - 5)
                : s.ended && s.end.outcome == UploadOutcome::Completed &&
                      s.order.size() == s.frames.size() + refusals * (s.frames.size() - from) &&
                      s.device.receivedImage() == image && s.device.problems().isEmpty(),
            "not the canonical frames, the image and a completed upload, or not refused when "
            "retries do not cover refusals",
            s.deviceNs / NsPerMs);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return -1; // not an input; keep it out of the corpus
    Input in{data, size};
    const int high = in.byte();
    const QByteArray image = testdata::makeImage(1 + (high << 8 | in.byte()) % 4500);
    const uint8_t config = in.byte(), refusal = in.byte();
    UploadOptions options;
    options.retries = config & 3;
    options.stopOnCancel = config & 4;
    UploadTiming &t = options.timing;
    for (qint64 *limit : {&t.firstWriteLimit, &t.firstPause, &t.secondWriteLimit, &t.secondPause,
                          &t.receiverLimit, &t.replyLimit, &t.writeLimit})
        *limit = config & 8 ? 1 + in.byte() : *limit;
    Checked scripted(image, options);
    qint64 now = 0;
    runScript(scripted, in, now);
    const int frames = scripted.frames.size();
    runWellBehaved(image, options, config, refusal & 3, 2 + (refusal >> 2) % (frames - 2));
    return 0;
}
