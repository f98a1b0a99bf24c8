#pragma once

// What the flasher tells its user while ports are being updated. A run calls
// a reporter in this order: runStarted(), then for each port any number of
// phaseChanged()/progressed() and one portFinished(), the ports interleaved,
// with a heartbeat() every half second in between, then runFinished().
// fileRefused() comes instead when the image is refused.
//
// Four ways to show it: a live block of lines on a terminal, plain lines for
// logs, JSON lines for machines, and nothing but errors. The frame trace of
// --verbose is a fifth reporter that runs beside any of them.

#include "flash/portflasher.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <QVector>

namespace flash {

// The image a run sends, as every event and line names it.
struct ImageInfo
{
    QString file; // as given on the command line
    qint64 size = 0;
    QString sha256; // hex
};

// One port as a run sees it: how far its upload is, and then its result.
struct PortState : UploadProgress
{
    QString port;   // as given on the command line
    QString device; // the device it resolved to
    UsbIdentity usb;
    bool finished = false;
    FlashResult result; // valid once finished
};

class Reporter
{
public:
    virtual ~Reporter() = default;

    virtual void runStarted(const ImageInfo &image, const QVector<PortState> &ports) = 0;
    virtual void phaseChanged(const PortState &) {}
    virtual void progressed(const PortState &) {}
    virtual void portFinished(const PortState &port) = 0;
    // Time passes for every port, even one that waits in silence.
    virtual void heartbeat(const QVector<PortState> &) {}
    virtual void runFinished(const QVector<PortState> &, int /*exitStatus*/) {}
    virtual void fileRefused(const QString &firmware, const QString &message) = 0;
    // The session's debug lines and the bytes on the line, for --verbose.
    virtual void sessionLog(const PortState &, const QString &) {}
    virtual void frameTraced(const PortState &, bool /*outgoing*/, const QByteArray &) {}
};

// "Firmware has been updated successfully. 310.0 KiB in 34.2 s" and the like:
// how one port ended, in one line without the port's name.
QString describeResult(const PortState &port);
// "app.kvt, 317440 bytes, sha256 9f86d0...": what a record names the image by.
QString describeImage(const ImageInfo &image);
// "2 of 3 ports updated"
QString summaryLine(const QVector<PortState> &ports);
// "kvt-flash: ttyUSB0: ..." on the error stream.
void printError(QTextStream &err, const QString &subject, const QString &message);
QString formatKiB(qint64 bytes);
QString formatSeconds(qint64 ms);  // "34.2 s"
QString formatDuration(qint64 ms); // "0:07", "12:34"

// One live line per port on a terminal: a single port is rewritten in place
// with a carriage return; several ports form a block of lines that is
// redrawn after moving the cursor up. Progress redraws at most every
// `redrawIntervalMs`; changes of phase and the end redraw at once. While the
// block is redrawn every line keeps to one row: progress is cut at the width,
// a finished port's line shortened at a word. The last draw wraps finished
// lines at words instead, then a run over several ports ends with the count
// of ports updated, and the failures follow on the error stream.
class TerminalReporter : public Reporter
{
public:
    TerminalReporter(QTextStream &out, QTextStream &err, int columns, int redrawIntervalMs = 100);

    void runStarted(const ImageInfo &image, const QVector<PortState> &ports) override;
    void phaseChanged(const PortState &port) override;
    void progressed(const PortState &port) override;
    void portFinished(const PortState &port) override;
    void heartbeat(const QVector<PortState> &ports) override;
    void runFinished(const QVector<PortState> &ports, int exitStatus) override;
    void fileRefused(const QString &firmware, const QString &message) override;

private:
    void update(const PortState &port, bool now);
    void draw();
    QStringList rowsFor(const PortState &port) const;

    QTextStream &out_;
    QTextStream &err_;
    const int columns_;
    const int redrawIntervalMs_;
    const QString ellipsis_;
    QElapsedTimer sinceDraw_;
    QVector<PortState> ports_;
    int nameWidth_ = 0;
    bool drawn_ = false;
    bool lastDraw_ = false;
};

// Plain lines for logs and pipes: a line when a port starts, one at each
// tenth of the image the device has acknowledged, and one when it ends, the
// first and the last naming the image. A port that failed is also told on
// the error stream.
class LogReporter : public Reporter
{
public:
    LogReporter(QTextStream &out, QTextStream &err);

    void runStarted(const ImageInfo &image, const QVector<PortState> &ports) override;
    void progressed(const PortState &port) override;
    void portFinished(const PortState &port) override;
    void runFinished(const QVector<PortState> &ports, int exitStatus) override;
    void fileRefused(const QString &firmware, const QString &message) override;

private:
    QTextStream &out_;
    QTextStream &err_;
    ImageInfo image_;
    QHash<QString, int> tenthsShown_;
};

// Nothing but failures, on the error stream.
class QuietReporter : public Reporter
{
public:
    explicit QuietReporter(QTextStream &err);

    void runStarted(const ImageInfo &, const QVector<PortState> &) override {}
    void portFinished(const PortState &port) override;
    void fileRefused(const QString &firmware, const QString &message) override;

private:
    QTextStream &err_;
};

// One JSON object per line and event, for factory logs: start, progress (at
// each whole percent acknowledged) and result on the output stream, error on
// the error stream. Start and result name the image, so that each line is a
// record on its own.
class JsonReporter : public Reporter
{
public:
    JsonReporter(QTextStream &out, QTextStream &err);

    void runStarted(const ImageInfo &image, const QVector<PortState> &ports) override;
    void progressed(const PortState &port) override;
    void portFinished(const PortState &port) override;
    void fileRefused(const QString &firmware, const QString &message) override;

private:
    static void write(QTextStream &stream, QJsonObject object);
    QJsonObject resultOf(const PortState &port) const;

    QTextStream &out_;
    QTextStream &err_;
    ImageInfo image_;
    QHash<QString, int> percentShown_;
};

// --verbose: the session's debug lines, phase changes and a hex dump of
// every frame sent (">") and of the bytes received ("<"), time-stamped, 32
// bytes a line with their offset; how each port ended, with the system's
// own words when the port failed.
class TraceReporter : public Reporter
{
public:
    explicit TraceReporter(QTextStream &err);

    void runStarted(const ImageInfo &, const QVector<PortState> &) override {}
    void phaseChanged(const PortState &port) override;
    void portFinished(const PortState &port) override;
    void fileRefused(const QString &, const QString &) override {}
    void sessionLog(const PortState &port, const QString &line) override;
    void frameTraced(const PortState &port, bool outgoing, const QByteArray &bytes) override;

private:
    // "[    1.234] /dev/ttyUSB0 ": the seconds since the port was opened.
    static QString stamp(const PortState &port);
    void line(const PortState &port, const QString &text);

    QTextStream &err_;
};

} // namespace flash
