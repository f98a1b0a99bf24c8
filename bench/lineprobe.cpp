#include "lineprobe.h"

#include "common.h"
#include "ymodem/frames.h"

#include <QEvent>
#include <QSerialPort>
#include <QSocketNotifier>

namespace bench {

bool LineProbe::attach(QSerialPort *port)
{
    // QSerialPort reads when its own read notifier, a child of the port, gets
    // its activation event; watching that event gives the arrival time before
    // any slot of the code under test has run.
    bool found = false;
    const auto notifiers = port->findChildren<QSocketNotifier *>();
    for (QSocketNotifier *notifier : notifiers) {
        if (notifier->type() == QSocketNotifier::Read) {
            notifier->installEventFilter(this);
            found = true;
        }
    }
    connect(port, &QSerialPort::bytesWritten, this, &LineProbe::onBytesWritten);
    return found;
}

bool LineProbe::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::SockAct) {
        lastArrivalNs_ = nowNs();
        arrivedSinceHandOver_ = true;
        if (blockHandedOverNs_ >= 0)
            answerTimes_.append(lastArrivalNs_ - blockHandedOverNs_);
        blockHandedOverNs_ = -1;
    }
    return QObject::eventFilter(watched, event);
}

void LineProbe::handedOver(const QByteArray &frame)
{
    const qint64 now = nowNs();
    const bool dataBlock = frame.size() == ymodem::DataBlockSize && frame.at(0) == ymodem::STX;
    if (dataBlock) {
        if (dataBlocks_++ == 0)
            firstBlockNs_ = now;
        blockArrivalNs_ = arrivedSinceHandOver_ ? lastArrivalNs_ : -1;
        blockUnwritten_ = frame.size();
        blockHandedOverNs_ = now;
        if (blockArrivalNs_ >= 0)
            toHandOver_.append(now - blockArrivalNs_);
    } else if (frame.size() == 1 && frame.at(0) == ymodem::EOT && dataBlocks_ > 0) {
        dataEndNs_ = lastArrivalNs_; // the last data block's answer
    }
    arrivedSinceHandOver_ = false;
}

void LineProbe::onBytesWritten(qint64 count)
{
    if (blockUnwritten_ <= 0)
        return;
    blockUnwritten_ -= count;
    if (blockUnwritten_ <= 0 && blockArrivalNs_ >= 0)
        toWritten_.append(nowNs() - blockArrivalNs_);
}

qint64 LineProbe::dataPhaseNs() const
{
    return dataEndNs_ > 0 ? dataEndNs_ - firstBlockNs_ : 0;
}

qint64 LineProbe::turnaroundSumNs() const
{
    qint64 sum = 0;
    for (const qint64 sample : toHandOver_)
        sum += sample;
    return sum;
}

} // namespace bench
