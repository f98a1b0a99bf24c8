// Fuzz target for ymodem::UploadSession: properties that hold for any correct
// sender, checked from outside, without a second copy of the sender's rules.
//
// Input: image size (2 bytes, big-endian, modulo 4500, plus one); a config byte
// (bits 0-1 retries, bit 2 stop on CAN CAN, bit 3: seven limits of 1-256 ms
// follow; for the well-behaved device: bit 4 answers byte by byte, bit 5 as late
// as the limits allow); a refusal byte (bits 0-1 NAKs per frame, the rest picks
// the first frame refused); the limits; then one action per byte (runScript).
// Each input runs the script against a session, falls silent until it ends,
// then runs the well-behaved device against a fresh session.

#include "../tests/testdata.h"
#include "ymodem/frames.h"
#include "ymodem/line.h"
#include "ymodem/upload.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace ymodem;
using Kind = UploadEvent::Kind;
using testdata::canonicalFrames;
using testdata::makeImage;

namespace {

constexpr qint64 NoDeadline = UploadSession::NoDeadline;

void require(bool holds, const char *property, qint64 now)
{
    if (holds)
        return;
    std::fprintf(stderr, "\nupload property broken at t=%lld ms: %s\n", static_cast<long long>(now),
                 property);
    std::abort();
}

// A session and the driver's view of it; every call checks what came back.
struct Checked
{
    Checked(const QByteArray &image, const UploadOptions &options,
            const QVector<QByteArray> &frames)
        : session(image, options), frames(frames), total(image.size()), retries(options.retries)
    {}

    void start(qint64 now) { session.start(now), check(now); }
    void receive(const QByteArray &bytes, qint64 now)
    {
        heard += bytes;
        session.receive(bytes, now), check(now);
    }
    void stop(qint64 now) { session.stop(), check(now); }
    void abort(qint64 now) { aborted = true, session.abort(now), check(now); }
    void written(qint64 count, qint64 now)
    {
        session.written(count, now);
        outstanding = count > 0 ? qMax<qint64>(0, outstanding - count) : outstanding;
        check(now);
    }
    void tick(qint64 now)
    {
        const qint64 due = session.nextDeadline();
        session.tick(now);
        const int events = check(now);
        require((due != NoDeadline && now >= due) || (events == 0 && session.nextDeadline() == due),
                "a tick before the deadline changed something", now);
    }

    // Returns the number of events.
    int check(qint64 now)
    {
        const QVector<UploadEvent> events = session.takeEvents();
        for (const UploadEvent &event : events) {
            require(!ended, "an event after the end", now);
            if (event.kind == Kind::Send)
                checkSend(event.frame, now);
            require(event.kind != Kind::Progress ||
                        (event.total == total && event.rest >= 0 && event.rest <= rest),
                    "progress with another total, or a rest that grew", now);
            rest = event.kind == Kind::Progress ? event.rest : rest;
            end = event.kind == Kind::Ended ? event.end : end;
            ended = ended || event.kind == Kind::Ended;
        }
        require(ended == session.isDone(), "isDone() and the end event disagree", now);
        require(!ended || end.outcome != UploadOutcome::Completed || next == frames.size(),
                "completed before every frame was sent", now);
        // One CAN from line noise must not end an upload.
        require(!ended || end.outcome != UploadOutcome::Cancelled ||
                    heard.contains(QByteArray(2, CAN)),
                "cancelled without two CAN in a row from the device", now);
        require(ended ? session.nextDeadline() == NoDeadline : session.nextDeadline() > now,
                "the next deadline is not in the future", now);
        require(ended || session.awaitingWrite() == (outstanding > 0),
                "awaitingWrite() disagrees with the bytes not yet reported", now);
        return events.size();
    }

    void checkSend(const QByteArray &frame, qint64 now)
    {
        require(outstanding == 0, "a frame sent while a write report is outstanding", now);
        outstanding = frame.size();
        // abort() lets the frame on the line finish, then sends CAN CAN and nothing more.
        require(!cancelSent && (!aborted || frame == QByteArray(2, CAN)),
                "after abort() a frame other than one CAN CAN", now);
        cancelSent = aborted;
        if (aborted)
            return;
        const bool again = next > 0 && frame == frames[next - 1];
        require((next < frames.size() && frame == frames[next]) || (again && repeats < retries),
                "a frame out of order, or repeated too often", now);
        repeats = again ? repeats + 1 : 0;
        next += again ? 0 : 1;
        sent.append(next - 1);
    }

    UploadSession session;
    const QVector<QByteArray> &frames;
    const qint64 total;
    const int retries;
    qint64 outstanding = 0; // bytes of the last frame not yet reported written
    qint64 rest = total;
    int next = 0;      // index of the next canonical frame
    int repeats = 0;   // of the last frame sent
    QVector<int> sent; // canonical index of each frame sent
    bool aborted = false, cancelSent = false;
    bool ended = false;
    QByteArray heard; // every byte from the device, in order
    UploadEnd end;
};

struct Input
{
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; } // zeros past the end
};

// What a well-behaved receiver answers to canonical frame `index` of `count`.
QByteArray goodAnswer(int index, int count)
{
    if (index == 0)
        return {}; // the device restarts into its bootloader
    if (index == 1)
        return QByteArray(1, CRC_REQUEST); // the bootloader asks for the file
    if (index == 2 || index == count - 2)
        return QByteArray(1, ACK) + CRC_REQUEST; // header or EOT taken; the next file, please
    return QByteArray(1, ACK);
}

// Bytes from the device in one piece or one by one. When they are the whole
// answer to the last frame, no frame may go out before their last byte.
void deliver(Checked &s, const QByteArray &bytes, bool byteByByte, qint64 now, bool answer = false)
{
    const int sent = s.sent.size();
    for (int i = 0; byteByByte && i < bytes.size() - 1; ++i) {
        s.receive(bytes.mid(i, 1), now);
        require(!answer || s.sent.size() == sent, "a frame sent before the answer was whole", now);
    }
    s.receive(byteByByte ? bytes.right(1) : bytes, now);
}

// Device bytes, mostly those a sender acts on; one in eight is any other byte.
char deviceByte(Input &in)
{
    static const char favourites[] = {ACK, ACK, NAK, CRC_REQUEST, CRC_REQUEST, CAN, EOT};
    const uint8_t pick = in.byte();
    return pick % 8 < 7 ? favourites[pick % 8] : char(pick);
}

// One action per byte: the low 3 bits choose it, the high 5 bits are its argument.
void runScript(Checked &s, Input &in, qint64 &now)
{
    s.start(now);
    for (int steps = 0; steps < 4096 && in.at < in.size; ++steps) {
        const uint8_t op = in.byte();
        const int arg = op >> 3;
        const qint64 due = s.session.nextDeadline();
        QByteArray bytes;
        switch (op & 7) {
        case 0: // up to 8 device bytes, whole or one by one
        case 1:
            for (int i = 0; i <= (arg & 7); ++i)
                bytes += deviceByte(in);
            deliver(s, bytes, arg & 8, now);
            break;
        case 2: // a well-behaved device's answer to the last frame
            deliver(s, goodAnswer(s.sent.back(), s.frames.size()), arg & 1, now);
            break;
        case 3: // the whole write, a part or more of it, nothing or a negative count
            s.written(arg < 16 ? s.outstanding : arg < 24 ? 1 + in.byte() * 8 : arg - 28, now);
            break;
        case 4: // up to a second
            s.tick(now += arg * arg);
            break;
        case 5: // the deadline, 1 ms before it, or 1-2 ms after it
            s.tick(now = due == NoDeadline ? now : qMax(now, due + arg % 4 - 1));
            break;
        case 6: // the same moment again, or hours later
            s.tick(now += arg < 16 ? 0 : qint64(arg) << 24);
            break;
        case 7: // stop, abort, or the same moment again
            arg == 0 ? s.stop(now) : arg == 1 ? s.abort(now) : s.tick(now);
            break;
        }
    }
}

// The device falls silent, writes are still reported and the driver ticks at
// each deadline. Nothing new comes to move the upload on, so the two pauses and
// one frame's resends and limit are all that may pass, plus some slack (bytes
// that waited for a write report may release one more frame).
void runSilence(Checked &s, qint64 &now)
{
    const int bound = 2 + 2 * (s.retries + 1) + 2;
    for (int ticks = 0; !s.ended; ++ticks) {
        require(ticks <= bound, "a silent device does not end the upload", now);
        s.written(s.outstanding, now);
        if (!s.ended)
            s.tick(now = s.session.nextDeadline());
    }
    // A finished session stays silent whatever it is told.
    s.receive(QByteArray(1, ACK) + CRC_REQUEST, now);
    s.written(DataBlockSize, now);
    s.tick(now + 3600000);
    s.start(now);
    s.abort(now);
    s.stop(now);
}

struct Device
{
    bool byteByByte;
    bool late;    // each write report and answer at the last moment its limit allows
    int refusals; // NAKs for each frame from refusedFrom on
    int refusedFrom;
};

// Time passes up to `until`; the driver ticks at each deadline on the way.
void waitUntil(Checked &s, qint64 &now, qint64 until)
{
    for (qint64 due = s.session.nextDeadline(); due != NoDeadline && due <= until;
         due = s.session.nextDeadline())
        s.tick(now = due);
    now = until;
}

// How long a late device takes to report the write of frame `index`, or to answer
// it. EOT gets neither: one limit may cover the last block's answer, EOT and its answer.
qint64 lateness(const UploadTiming &t, const QVector<QByteArray> &frames, int index, bool write)
{
    if (index == frames.size() - 2)
        return 0;
    if (!write)
        return index == 1 ? t.secondPause + t.receiverLimit : t.replyLimit;
    if (index < 2)
        return index == 0 ? t.firstWriteLimit : t.secondWriteLimit;
    return t.writeLimit + line::wireTimeMs(frames[index].size(), t.baudRate);
}

// A device that answers as a receiver does, refusing each frame from one on
// `refusals` times, gets the canonical frames, each of those that many times
// more, and a completed upload; unless it refuses more often than retries allow.
void runWellBehaved(const UploadOptions &options, Checked &s, Device device)
{
    const int count = s.frames.size();
    QVector<int> expected;
    for (int i = 0; i < count; ++i)
        expected += QVector<int>(1 + (i >= device.refusedFrom ? device.refusals : 0), i);
    qint64 now = 0;
    s.start(now);
    for (int answered = 0, steps = 0; !s.ended && steps < 100 * count; ++steps) {
        const int index = s.sent.back();
        const qint64 write = device.late ? lateness(options.timing, s.frames, index, true) : 0;
        const qint64 reply = device.late ? lateness(options.timing, s.frames, index, false) : 0;
        const bool refuse = index >= device.refusedFrom && s.repeats < device.refusals;
        const QByteArray answer = refuse ? QByteArray(1, NAK) : goodAnswer(index, count);
        if (s.outstanding > 0) {
            waitUntil(s, now, now + write);
            s.written(s.outstanding, now);
        } else if (answered < s.sent.size() && !answer.isEmpty()) {
            answered = s.sent.size();
            waitUntil(s, now, now + reply);
            deliver(s, answer, device.byteByByte, now, true);
        } else {
            answered = s.sent.size();
            s.tick(now = s.session.nextDeadline());
        }
    }
    const bool completed = s.ended && s.end.outcome == UploadOutcome::Completed;
    const bool tooMany = device.refusals > options.retries;
    require(tooMany ? !completed : completed && s.sent == expected,
            tooMany
                ? "completed though a frame was refused more often than retries allow"
                : "a well-behaved device did not get the canonical frames and a completed upload",
            now);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return -1; // not an input; keep it out of the corpus
    Input in{data, size};
    const int high = in.byte();
    const QByteArray image = makeImage(1 + (high << 8 | in.byte()) % 4500);
    const uint8_t config = in.byte();
    const uint8_t refusal = in.byte();
    UploadOptions options;
    options.retries = config & 3;
    options.stopOnCancel = config & 4;
    UploadTiming &t = options.timing;
    for (qint64 *limit : {&t.firstWriteLimit, &t.firstPause, &t.secondWriteLimit, &t.secondPause,
                          &t.receiverLimit, &t.replyLimit, &t.writeLimit})
        *limit = config & 8 ? 1 + in.byte() : *limit;
    const QVector<QByteArray> frames = canonicalFrames(image);
    const int refusedFrom = 2 + (refusal >> 2) % (frames.size() - 2); // the header or later

    Checked scripted(image, options, frames);
    qint64 now = 0;
    runScript(scripted, in, now);
    runSilence(scripted, now);
    Checked wellBehaved(image, options, frames);
    runWellBehaved(options, wellBehaved,
                   {bool(config & 16), bool(config & 32), refusal & 3, refusedFrom});
    return 0;
}
