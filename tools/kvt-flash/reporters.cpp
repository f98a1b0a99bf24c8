#include "kvt-flash/reporters.h"

#include "flash/outcomes.h"
#include "flash/uploadtext.h"

#include <QDateTime>
#include <QJsonDocument>

#include <algorithm>

namespace flash {

using Outcome = FlashResult::Outcome;

namespace {

constexpr int TraceBytesPerLine = 32;
const QString ProgramName = QStringLiteral("kvt-flash");

// What the device took of the image when the upload ended.
QString acknowledgedOfTotal(const FlashResult &result)
{
    return QStringLiteral("%1 of %2 acknowledged")
        .arg(formatKiB(result.acknowledged), formatKiB(result.imageSize));
}

QString nowUtc()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

// "0000  02 01 fe ...", 32 bytes a row.
QStringList hexRows(const QByteArray &bytes)
{
    QStringList rows;
    for (int offset = 0; offset < bytes.size(); offset += TraceBytesPerLine) {
        rows.append(QStringLiteral("%1  ").arg(offset, 4, 16, QLatin1Char('0')) +
                    QString::fromLatin1(bytes.mid(offset, TraceBytesPerLine).toHex(' ')));
    }
    return rows;
}

} // namespace

QString formatKiB(qint64 bytes)
{
    return QStringLiteral("%1 KiB").arg(double(bytes) / 1024.0, 0, 'f', 1);
}

QString formatSeconds(qint64 ms)
{
    return QStringLiteral("%1 s").arg(double(ms) / 1000.0, 0, 'f', 1);
}

QString formatDuration(qint64 ms)
{
    if (ms < 0)
        return QStringLiteral("-:--");
    const qint64 seconds = (ms + 999) / 1000;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString describeResult(const PortState &port)
{
    const FlashResult &result = port.result;
    switch (result.outcome) {
    case Outcome::Succeeded:
        return QStringLiteral("%1 %2 in %3")
            .arg(result.message, formatKiB(result.imageSize), formatSeconds(result.durationMs));
    case Outcome::OpenFailed:
        return QStringLiteral("cannot open the port: %1").arg(result.message);
    case Outcome::PortFailed:
        return QStringLiteral("the port failed %1: %2; %3")
            .arg(uploadtext::duringPhase(result.phase), result.message,
                 acknowledgedOfTotal(result));
    default:
        return QStringLiteral("%1, after %2; %3")
            .arg(result.message, formatSeconds(result.durationMs), acknowledgedOfTotal(result));
    }
}

QString describeImage(const ImageInfo &image)
{
    return QStringLiteral("%1, %2 bytes, sha256 %3")
        .arg(image.file)
        .arg(image.size)
        .arg(image.sha256);
}

void printError(QTextStream &err, const QString &subject, const QString &message)
{
    err << ProgramName << ": " << subject << ": " << message << '\n';
    err.flush();
}

QString summaryLine(const QVector<PortState> &ports)
{
    const auto updated = std::count_if(ports.cbegin(), ports.cend(), [](const PortState &port) {
        return port.result.succeeded();
    });
    return QStringLiteral("%1 of %2 ports updated").arg(updated).arg(ports.size());
}

// --- Log lines ----------------------------------------------------------------------

LogReporter::LogReporter(QTextStream &out, QTextStream &err) : out_(out), err_(err) {}

void LogReporter::runStarted(const ImageInfo &image, const QVector<PortState> &ports)
{
    image_ = image;
    for (const PortState &port : ports) {
        out_ << port.port << ": sending " << image.file << " (" << image.size << " bytes, sha256 "
             << image.sha256 << ")\n";
        tenthsShown_[port.port] = 0;
    }
    out_.flush();
}

void LogReporter::progressed(const PortState &port)
{
    const int tenth = port.percent() / 10;
    int &shown = tenthsShown_[port.port];
    if (tenth <= shown)
        return;
    shown = tenth;
    out_ << port.port << ": " << tenth * 10 << "% (" << formatKiB(port.acknowledged) << " of "
         << formatKiB(port.total);
    if (port.bytesPerSecond() > 0) {
        out_ << ", " << QString::number(port.bytesPerSecond() / 1024.0, 'f', 1) << " KiB/s, "
             << formatDuration(port.msLeft()) << " left";
    }
    out_ << ")\n";
    out_.flush();
}

void LogReporter::portFinished(const PortState &port)
{
    out_ << port.port << ": " << describeResult(port) << " (" << describeImage(image_) << ")\n";
    out_.flush();
    if (!port.result.succeeded())
        printError(err_, port.port, describeResult(port));
}

void LogReporter::runFinished(const QVector<PortState> &ports, int)
{
    if (ports.size() < 2)
        return;
    out_ << summaryLine(ports) << '\n';
    out_.flush();
}

void LogReporter::fileRefused(const QString &firmware, const QString &message)
{
    printError(err_, firmware, message);
}

// --- Quiet ------------------------------------------------------------------------------

QuietReporter::QuietReporter(QTextStream &err) : err_(err) {}

void QuietReporter::portFinished(const PortState &port)
{
    if (!port.result.succeeded())
        printError(err_, port.port, describeResult(port));
}

void QuietReporter::fileRefused(const QString &firmware, const QString &message)
{
    printError(err_, firmware, message);
}

// --- JSON lines -------------------------------------------------------------------------

JsonReporter::JsonReporter(QTextStream &out, QTextStream &err) : out_(out), err_(err) {}

void JsonReporter::runStarted(const ImageInfo &image, const QVector<PortState> &ports)
{
    image_ = image;
    for (const PortState &port : ports) {
        write(out_, {{"event", "start"},
                     {"port", port.port},
                     {"file", image.file},
                     {"bytes", image.size},
                     {"sha256", image.sha256}});
        percentShown_[port.port] = 0;
    }
}

void JsonReporter::progressed(const PortState &port)
{
    int &shown = percentShown_[port.port];
    if (port.percent() <= shown)
        return;
    shown = port.percent();
    write(out_, {{"event", "progress"},
                 {"port", port.port},
                 {"percent", shown},
                 {"sent", port.sent},
                 {"acknowledged", port.acknowledged},
                 {"total", port.total},
                 {"elapsed_ms", port.elapsedMs}});
}

void JsonReporter::portFinished(const PortState &port)
{
    if (!port.result.succeeded()) {
        write(err_, {{"event", "error"},
                     {"port", port.port},
                     {"phase", uploadtext::phaseName(port.result.phase)},
                     {"message", describeResult(port)}});
    }
    write(out_, resultOf(port));
}

// A record that stands on its own: which image, which tool, which device.
QJsonObject JsonReporter::resultOf(const PortState &port) const
{
    const FlashResult &result = port.result;
    QJsonObject object{{"event", "result"},
                       {"port", port.port},
                       {"device", port.device},
                       {"status", QLatin1String(outcomeName(result.outcome))},
                       {"message", result.message},
                       {"phase", uploadtext::phaseName(result.phase)},
                       {"duration_ms", result.durationMs},
                       {"bytes", result.bytesSent},
                       {"acknowledged", result.acknowledged},
                       {"total", result.imageSize},
                       {"resends", result.resends},
                       {"file", image_.file},
                       {"sha256", image_.sha256},
                       {"version", KVT_VERSION}};
    if (port.usb.isKnown() || !port.usb.serial.isEmpty()) {
        object.insert(
            QStringLiteral("usb"),
            QJsonObject{{"vid", port.usb.vid}, {"pid", port.usb.pid}, {"serial", port.usb.serial}});
    }
    if (result.latencyMs >= 0)
        object.insert(QStringLiteral("latency_ms"), result.latencyMs);
    return object;
}

void JsonReporter::fileRefused(const QString &firmware, const QString &message)
{
    write(err_, {{"event", "error"}, {"file", firmware}, {"message", message}});
}

void JsonReporter::write(QTextStream &stream, QJsonObject object)
{
    object.insert(QStringLiteral("time"), nowUtc());
    stream << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) << '\n';
    stream.flush();
}

// --- Trace ------------------------------------------------------------------------------

TraceReporter::TraceReporter(QTextStream &err) : err_(err) {}

void TraceReporter::phaseChanged(const PortState &port)
{
    line(port, QStringLiteral("-- ") + uploadtext::stepName(port.phase));
}

void TraceReporter::portFinished(const PortState &port)
{
    const FlashResult &result = port.result;
    line(port, QStringLiteral("-- %1: %2")
                   .arg(QLatin1String(outcomeName(result.outcome)), result.message));
    if (!result.succeeded() && !result.detail.isEmpty())
        line(port, QStringLiteral("   the system said: ") + result.detail);
}

void TraceReporter::sessionLog(const PortState &port, const QString &text)
{
    line(port, QStringLiteral("   ") + text);
}

// Continuation rows line up under the first row's offset.
void TraceReporter::frameTraced(const PortState &port, bool outgoing, const QByteArray &bytes)
{
    const QStringList rows = hexRows(bytes);
    const QString direction = outgoing ? QStringLiteral("> ") : QStringLiteral("< ");
    line(port, direction + rows.join(QLatin1Char('\n') + QString(stamp(port).size() + 2, ' ')));
}

QString TraceReporter::stamp(const PortState &port)
{
    return QStringLiteral("[%1] ").arg(double(port.elapsedMs) / 1000.0, 9, 'f', 3) + port.port +
           QLatin1Char(' ');
}

void TraceReporter::line(const PortState &port, const QString &text)
{
    err_ << stamp(port) << text << '\n';
    err_.flush();
}

} // namespace flash
