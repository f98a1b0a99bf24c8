// The receiver: command frames, the call for a file, and the checks on each
// block and EOT, with the faults the options ask it to play.

#include "sim/bootloadercore.h"

#include "ymodem/frames.h"

#include <algorithm>

namespace sim {

using namespace ymodem;
using Phase = BootloaderPhase;
using Event = BootloaderEvent;

namespace {

// What the bootloader prints while it starts, before it asks for a file.
// Neither "C" nor ACK, so it cannot be mistaken for a go-ahead.
const QByteArray startupNoise("\x00\xff\r\nboot\r\n", 10);

const QByteArray ackThenC = QByteArray(1, ACK) + CRC_REQUEST;

bool isAllZero(const QByteArray &bytes)
{
    return std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return c == 0; });
}

bool isAll(const QByteArray &bytes, char value)
{
    return std::all_of(bytes.cbegin(), bytes.cend(), [value](char c) { return c == value; });
}

// The size in a header block: decimal digits, no sign, no leading zero.
bool parseSize(const QByteArray &digits, qint64 *size)
{
    if (digits.isEmpty() || (digits.size() > 1 && digits.startsWith('0')))
        return false;
    if (!std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    bool ok = false;
    *size = digits.toLongLong(&ok);
    return ok;
}

} // namespace

void BootloaderCore::onCommandFrame(bool first)
{
    if (first) {
        firstFrameSeen_ = true;
        note(QStringLiteral("first command frame"));
        return;
    }
    if (!firstFrameSeen_) {
        problem(QStringLiteral("second command frame without the first: ignored"));
        return;
    }
    firstFrameSeen_ = false;
    note(QStringLiteral("second command frame"));
    enterBootloader();
}

void BootloaderCore::enterBootloader()
{
    const Phase before = phase_;
    if (before != Phase::WaitingForCommands && before != Phase::Completed &&
        before != Phase::Cancelled)
        note(QStringLiteral("the transfer in progress is abandoned"));
    resetTransfer();
    phase_ = Phase::WaitingForHeader;
    note(QStringLiteral("entering the bootloader"));
    emitEvent({Event::Kind::CommandFrames});
    if (options_.silent)
        note(QStringLiteral("silent: no byte will be sent"));
    if (options_.garbageBeforeC)
        send(startupNoise, nowNs_);
    pollC();
}

void BootloaderCore::resetTransfer()
{
    fileName_.clear();
    announcedSize_ = -1;
    data_.clear();
    const BootloaderSimCounters before = counters_;
    counters_ = BootloaderSimCounters();
    counters_.sessions = before.sessions + 1;
    counters_.bytesRead = before.bytesRead;
    counters_.reads = before.reads;
    expectedBlock_ = 1;
    nakDone_ = false;
    dropDone_ = false;
    eotNakDone_ = false;
}

void BootloaderCore::pollC()
{
    if (phase_ != Phase::WaitingForHeader) {
        cDueNs_ = NoDeadline;
        return;
    }
    if (counters_.cSent++ == 0)
        note(QStringLiteral("asking for a file: \"C\" every %1 ms").arg(options_.cIntervalMs));
    send(QByteArray(1, CRC_REQUEST), nowNs_);
    restartC();
}

void BootloaderCore::onBlock(const QByteArray &block, qint64 arrivalNs)
{
    const int size = block.size();
    const quint8 number = quint8(block.at(1));
    const quint8 complement = quint8(block.at(2));
    if ((number ^ complement) != 0xFF) {
        reject(QStringLiteral("block %1: complement %2 does not match").arg(number).arg(complement),
               arrivalNs);
        return;
    }
    const quint16 crc = quint16(quint8(block.at(size - 2)) << 8 | quint8(block.at(size - 1)));
    if (blockCrc16(block.constData() + 3, quint32(size - BlockOverhead)) != crc) {
        reject(QStringLiteral("block %1: bad CRC").arg(number), arrivalNs);
        return;
    }
    switch (phase_) {
    case Phase::WaitingForHeader:
        onHeaderBlock(block, arrivalNs);
        break;
    case Phase::ReceivingData:
        onDataBlock(block, arrivalNs);
        break;
    case Phase::WaitingForClosingBlock:
        onClosingBlock(block, arrivalNs);
        break;
    default:
        break;
    }
}

void BootloaderCore::onHeaderBlock(const QByteArray &block, qint64 arrivalNs)
{
    const quint8 number = quint8(block.at(1));
    if (number != 0) {
        reject(QStringLiteral("expected the header block 0, got block %1").arg(number), arrivalNs);
        return;
    }
    const QByteArray field = block.mid(3, block.size() - BlockOverhead);
    const int nul = field.indexOf('\0');
    if (nul <= 0) {
        reject(QStringLiteral("header block without a file name"), arrivalNs);
        return;
    }
    const int space = field.indexOf(' ', nul + 1);
    qint64 size = -1;
    if (space < 0 || !parseSize(field.mid(nul + 1, space - nul - 1), &size)) {
        reject(QStringLiteral("header block: no decimal size followed by a space"), arrivalNs);
        return;
    }
    if (!isAllZero(field.mid(space + 1)))
        problem(QStringLiteral("header block: bytes after the size are not zero"));

    const QString name = QString::fromUtf8(field.left(nul));
    fileName_ = name;
    announcedSize_ = size;
    phase_ = Phase::ReceivingData;
    expectedBlock_ = 1;
    note(QStringLiteral("header block: \"%1\", %2 bytes: ACK C").arg(name).arg(size));
    reply(ackThenC, arrivalNs, options_.replyDelayMs + options_.eraseDelayMs);
    emitEvent({Event::Kind::Header, name, size});
}

void BootloaderCore::onDataBlock(const QByteArray &block, qint64 arrivalNs)
{
    const quint8 number = quint8(block.at(1));
    const int stored = counters_.dataBlocks;
    if (number == quint8(expectedBlock_ - 1)) {
        // Our answer was lost: acknowledge again, keep the data once.
        const bool header = stored == 0;
        ++counters_.repeatedBlocks;
        note(QStringLiteral("block %1 again: %2").arg(number).arg(header ? "ACK C" : "ACK"));
        reply(header ? ackThenC : QByteArray(1, ACK), arrivalNs, options_.replyDelayMs);
        return;
    }
    if (number != expectedBlock_) {
        reject(QStringLiteral("expected block %1, got block %2").arg(expectedBlock_).arg(number),
               arrivalNs);
        return;
    }
    answerDataBlock(block, stored + 1, arrivalNs);
}

void BootloaderCore::answerDataBlock(const QByteArray &block, int count, qint64 arrivalNs)
{
    const int delay = options_.replyDelayMs;
    if (count == options_.cancelAtBlock) {
        note(QStringLiteral("data block %1: cancelled with CAN CAN").arg(count));
        phase_ = Phase::Cancelled;
        reply(QByteArray(2, CAN), arrivalNs, delay, {{Event::Kind::Cancelled}});
        return;
    }
    if (count == options_.nakBlock && !nakDone_) {
        nakDone_ = true;
        note(QStringLiteral("data block %1: NAK, as asked").arg(count));
        sendNak(arrivalNs);
        return;
    }
    acceptDataBlock(block, count);
    if (count == options_.closeAfterBlock) {
        note(QStringLiteral("data block %1 is in: the device vanishes").arg(count));
        closeLine();
        return;
    }
    if (count == options_.dropAckBlock && !dropDone_) {
        dropDone_ = true;
        note(QStringLiteral("data block %1: stored, its ACK left out").arg(count));
        return;
    }
    note(QStringLiteral("data block %1 (number %2): ACK").arg(count).arg(quint8(block.at(1))));
    reply(QByteArray(1, ACK), arrivalNs, delay);
}

void BootloaderCore::acceptDataBlock(const QByteArray &block, int count)
{
    const bool beyondSize = data_.size() >= announcedSize_;
    data_.append(block.constData() + 3, block.size() - BlockOverhead);
    counters_.dataBlocks = count;
    if (beyondSize)
        problem(QStringLiteral("data block %1 lies beyond the announced size").arg(count));
    ++expectedBlock_;
    emitEvent({Event::Kind::Block, {}, count});
}

void BootloaderCore::onClosingBlock(const QByteArray &block, qint64 arrivalNs)
{
    if (block.at(0) != SOH || block.at(1) != 0) {
        reject(QStringLiteral("expected the closing block SOH 00 FF, got head %1, block %2")
                   .arg(hexByte(block.at(0)))
                   .arg(quint8(block.at(1))),
               arrivalNs);
        return;
    }
    if (!isAllZero(block.mid(3, block.size() - BlockOverhead))) {
        reject(QStringLiteral("closing block: the field is not all zero"), arrivalNs);
        return;
    }
    counters_.closingBlockReceived = true;
    const QString summary =
        QStringLiteral("transfer complete: \"%1\", %2 bytes in %3 data block(s)")
            .arg(fileName_)
            .arg(announcedSize_)
            .arg(counters_.dataBlocks);
    phase_ = Phase::Completed;
    note(QStringLiteral("closing block: ACK"));
    reply(QByteArray(1, ACK), arrivalNs, options_.replyDelayMs,
          {{Event::Kind::Log, summary}, {Event::Kind::Completed}});
    startApplication(arrivalNs + qint64(options_.replyDelayMs) * 1000000);
}

void BootloaderCore::onEot(qint64 arrivalNs)
{
    const Phase current = phase_;
    if (current == Phase::WaitingForHeader) {
        reject(QStringLiteral("EOT before the header block"), arrivalNs);
        return;
    }
    ++counters_.eotsReceived;
    if (current == Phase::WaitingForClosingBlock) {
        note(QStringLiteral("EOT again: ACK C"));
        reply(ackThenC, arrivalNs, options_.replyDelayMs);
        return;
    }
    if (options_.nakFirstEot && !eotNakDone_) {
        eotNakDone_ = true;
        note(QStringLiteral("EOT: NAK, as asked"));
        sendNak(arrivalNs);
        return;
    }
    checkImageEnd();
    phase_ = Phase::WaitingForClosingBlock;
    note(QStringLiteral("EOT after %1 data block(s): ACK C").arg(counters_.dataBlocks));
    reply(ackThenC, arrivalNs, options_.replyDelayMs);
    emitEvent({Event::Kind::Eot});
}

void BootloaderCore::onHostCancel()
{
    if (!expectsBlocks()) {
        note(QStringLiteral("CAN CAN from the host with no transfer in progress: ignored"));
        return;
    }
    cDueNs_ = NoDeadline;
    counters_.hostCancelled = true;
    phase_ = Phase::Cancelled;
    // CAN CAN gets no answer; what is already on its way still goes out first.
    const QString cancelled =
        QStringLiteral("the host cancelled the transfer after %1 data block(s)")
            .arg(counters_.dataBlocks);
    send({}, nowNs_, {{Event::Kind::Log, cancelled}, {Event::Kind::Cancelled}});
}

void BootloaderCore::checkImageEnd()
{
    if (data_.size() < announcedSize_) {
        problem(
            QStringLiteral("image short: %1 of %2 bytes").arg(data_.size()).arg(announcedSize_));
        return;
    }
    if (!isAll(data_.mid(int(announcedSize_)), FILL))
        problem(QStringLiteral("the last block is not filled with 0x1A after the image"));
}

void BootloaderCore::restartC()
{
    cDueNs_ = nowNs_ + qint64(options_.cIntervalMs) * 1000000;
}

void BootloaderCore::reject(const QString &why, qint64 arrivalNs)
{
    problem(why + QStringLiteral(": NAK"));
    sendNak(arrivalNs);
    if (phase_ == Phase::WaitingForHeader)
        restartC(); // still asking for the header
}

void BootloaderCore::sendNak(qint64 arrivalNs)
{
    ++counters_.naksSent;
    reply(QByteArray(1, NAK), arrivalNs, options_.replyDelayMs);
}

} // namespace sim
