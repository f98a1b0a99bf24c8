#pragma once

// Timestamps of one upload as its host sees it, for the turnaround and the
// data-phase figures:
//   arrival    the port's read notifier is activated: the first moment the
//              host's thread can know that the device answered (before the
//              port reads the bytes and emits readyRead)
//   hand-over  a frame is handed to QSerialPort::write()
//   written    the port reports the frame's last byte written to the line
//              (bytesWritten), i.e. the frame is in the kernel
// The driver tells the probe of each hand-over (see handedOver()); the probe
// finds the arrivals and write reports on the port itself.

#include <QByteArray>
#include <QObject>
#include <QVector>

class QSerialPort;

namespace bench {

class LineProbe : public QObject
{
    Q_OBJECT

public:
    // Watches `port`, which must be open: its read notifier exists only then.
    bool attach(QSerialPort *port);

    // One sample per data block: from the last arrival before it to its
    // hand-over, and to its write report, in nanoseconds.
    const QVector<qint64> &toHandOver() const { return toHandOver_; }
    const QVector<qint64> &toWritten() const { return toWritten_; }
    // One sample per data block: from its hand-over to the next arrival, the
    // device's answer. Over a paced line it holds the block's wire time.
    const QVector<qint64> &answerTimes() const { return answerTimes_; }

    int dataBlocks() const { return dataBlocks_; }
    // From the first data block's hand-over to the arrival of the last data
    // block's answer; 0 until EOT was handed over.
    qint64 dataPhaseNs() const;
    // The sum of the hand-over samples: the host's own share of the data phase.
    qint64 turnaroundSumNs() const;

public slots:
    void handedOver(const QByteArray &frame);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onBytesWritten(qint64 count);

    qint64 lastArrivalNs_ = 0;
    bool arrivedSinceHandOver_ = false;
    qint64 blockArrivalNs_ = -1; // the arrival that released the block being written
    qint64 blockUnwritten_ = 0;
    qint64 blockHandedOverNs_ = -1; // until its answer arrives
    int dataBlocks_ = 0;
    qint64 firstBlockNs_ = 0;
    qint64 dataEndNs_ = 0;
    QVector<qint64> toHandOver_;
    QVector<qint64> toWritten_;
    QVector<qint64> answerTimes_;
};

} // namespace bench
