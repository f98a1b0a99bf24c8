#include "flash/reporters.h"

#include "uploadtext.h"

#include <QDateTime>
#include <QJsonDocument>

namespace flash {

using ymodem::UploadPhase;
using Outcome = FlashResult::Outcome;

namespace {

constexpr int BarWidth = 20;
constexpr int MinNameWidth = 12;
constexpr qint64 MinRateWindowMs = 200; // shorter windows give wild speeds
const QString ProgramName = QStringLiteral("kvt-flash");

QString sentOfTotal(const PortState &port)
{
    return QStringLiteral("%1 of %2 sent").arg(formatKiB(port.sent), formatKiB(port.total));
}

QString progressDetails(const PortState &port)
{
    QString text = QStringLiteral("%1%").arg(port.percent(), 3);
    const double rate = port.bytesPerSecond();
    if (rate > 0) {
        text += QStringLiteral("  %1 KiB/s").arg(rate / 1024.0, 0, 'f', 1);
        text += QStringLiteral("  %1 left").arg(formatDuration(port.msLeft()));
    }
    return text;
}

QString bar(int percent)
{
    const int filled = qBound(0, percent, 100) * BarWidth / 100;
    return QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
           QString(BarWidth - filled, QLatin1Char('.')) + QLatin1Char(']');
}

bool sendingData(UploadPhase phase)
{
    return phase == UploadPhase::Data || phase == UploadPhase::EndOfFile ||
           phase == UploadPhase::Closing;
}

QString statusText(const PortState &port)
{
    if (port.finished)
        return describeResult(port);
    if (port.phase == UploadPhase::NotStarted)
        return QStringLiteral("opening the port");
    if (sendingData(port.phase))
        return bar(port.percent()) + QLatin1Char(' ') + progressDetails(port);
    return QStringLiteral("%1  %2").arg(uploadtext::phaseName(port.phase),
                                        formatDuration(port.elapsedMs));
}

// Long device paths keep their distinctive end.
QString fitName(const QString &name, int width)
{
    if (name.size() <= width)
        return name.leftJustified(width);
    return QStringLiteral("...") + name.right(width - 3);
}

QString nowUtc()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

} // namespace

// --- One port's figures ----------------------------------------------------------

int PortState::percent() const
{
    return qMax(0, uploadtext::percentSent(double(total - acknowledged), double(total)));
}

double PortState::bytesPerSecond() const
{
    const qint64 window = elapsedMs - dataStartMs;
    if (dataStartMs < 0 || window < MinRateWindowMs || sent <= 0)
        return 0;
    return double(sent) * 1000.0 / double(window);
}

qint64 PortState::msLeft() const
{
    const double rate = bytesPerSecond();
    if (!(rate > 0))
        return -1;
    return qint64(double(total - sent) * 1000.0 / rate);
}

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
            .arg(uploadtext::duringPhase(result.phase), result.message, sentOfTotal(port));
    default:
        return QStringLiteral("%1, after %2; %3")
            .arg(result.message, formatSeconds(result.durationMs), sentOfTotal(port));
    }
}

// --- Terminal ---------------------------------------------------------------------

TerminalReporter::TerminalReporter(QTextStream &out, QTextStream &err, int columns,
                                   int redrawIntervalMs)
    : out_(out), err_(err), columns_(columns), redrawIntervalMs_(redrawIntervalMs)
{}

void TerminalReporter::runStarted(const ImageInfo &, const QVector<PortState> &ports)
{
    ports_ = ports;
    for (const PortState &port : ports)
        nameWidth_ = std::max(nameWidth_, int(port.port.size()));
    nameWidth_ = std::min(nameWidth_, std::max(MinNameWidth, columns_ / 3));
    draw();
}

void TerminalReporter::phaseChanged(const PortState &port)
{
    update(port, true);
}

void TerminalReporter::progressed(const PortState &port)
{
    update(port, false);
}

void TerminalReporter::portFinished(const PortState &port)
{
    update(port, true);
}

void TerminalReporter::heartbeat(const QVector<PortState> &ports)
{
    ports_ = ports;
    draw();
}

void TerminalReporter::runFinished(const QVector<PortState> &ports, int)
{
    ports_ = ports;
    draw();
    if (ports_.size() == 1)
        out_ << '\n'; // leave the finished line standing
    out_.flush();
}

void TerminalReporter::fileRefused(const QString &firmware, const QString &message)
{
    err_ << ProgramName << ": " << firmware << ": " << message << '\n';
    err_.flush();
}

void TerminalReporter::update(const PortState &port, bool now)
{
    for (PortState &shown : ports_) {
        if (shown.port == port.port)
            shown = port;
    }
    if (now || !sinceDraw_.isValid() || sinceDraw_.elapsed() >= redrawIntervalMs_)
        draw();
}

void TerminalReporter::draw()
{
    static const QString eraseLine = QStringLiteral("\r\x1b[K");
    if (ports_.size() == 1) {
        out_ << eraseLine << lineFor(ports_.first());
    } else {
        if (drawn_)
            out_ << "\x1b[" << ports_.size() << 'A'; // back to the block's first line
        for (const PortState &port : qAsConst(ports_))
            out_ << eraseLine << lineFor(port) << '\n';
    }
    out_.flush();
    drawn_ = true;
    sinceDraw_.start();
}

QString TerminalReporter::lineFor(const PortState &port) const
{
    const QString line = fitName(port.port, nameWidth_) + QStringLiteral("  ") + statusText(port);
    // A line that wraps would throw the cursor-up redraw off.
    return columns_ > 1 ? line.left(columns_ - 1) : line;
}

// --- Log lines ----------------------------------------------------------------------

LogReporter::LogReporter(QTextStream &out, QTextStream &err) : out_(out), err_(err) {}

void LogReporter::runStarted(const ImageInfo &image, const QVector<PortState> &ports)
{
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
    out_ << port.port << ": " << tenth * 10 << "% (" << formatKiB(port.sent) << " of "
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
    out_ << port.port << ": " << describeResult(port) << '\n';
    out_.flush();
}

void LogReporter::runFinished(const QVector<PortState> &ports, int)
{
    if (ports.size() < 2)
        return;
    const auto updated = std::count_if(ports.cbegin(), ports.cend(), [](const PortState &port) {
        return port.result.succeeded();
    });
    out_ << updated << " of " << ports.size() << " ports updated\n";
    out_.flush();
}

void LogReporter::fileRefused(const QString &firmware, const QString &message)
{
    err_ << ProgramName << ": " << firmware << ": " << message << '\n';
    err_.flush();
}

// --- Quiet ------------------------------------------------------------------------------

QuietReporter::QuietReporter(QTextStream &err) : err_(err) {}

void QuietReporter::portFinished(const PortState &port)
{
    if (port.result.succeeded())
        return;
    err_ << ProgramName << ": " << port.port << ": " << describeResult(port) << '\n';
    err_.flush();
}

void QuietReporter::fileRefused(const QString &firmware, const QString &message)
{
    err_ << ProgramName << ": " << firmware << ": " << message << '\n';
    err_.flush();
}

// --- JSON lines -------------------------------------------------------------------------

JsonReporter::JsonReporter(QTextStream &out) : out_(out) {}

void JsonReporter::runStarted(const ImageInfo &image, const QVector<PortState> &ports)
{
    for (const PortState &port : ports) {
        write({{"event", "start"},
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
    write({{"event", "progress"},
           {"port", port.port},
           {"percent", shown},
           {"sent", port.sent},
           {"total", port.total},
           {"elapsed_ms", port.elapsedMs}});
}

void JsonReporter::portFinished(const PortState &port)
{
    const FlashResult &result = port.result;
    const QString phase = uploadtext::phaseName(result.phase);
    if (!result.succeeded()) {
        write({{"event", "error"},
               {"port", port.port},
               {"phase", phase},
               {"message", describeResult(port)}});
    }
    write({{"event", "result"},
           {"port", port.port},
           {"status", QLatin1String(outcomeName(result.outcome))},
           {"message", result.message},
           {"phase", phase},
           {"duration_ms", result.durationMs},
           {"bytes", result.bytesSent},
           {"total", result.imageSize},
           {"resends", result.resends}});
}

void JsonReporter::fileRefused(const QString &firmware, const QString &message)
{
    write({{"event", "error"}, {"file", firmware}, {"message", message}});
}

void JsonReporter::write(QJsonObject object)
{
    object.insert(QStringLiteral("time"), nowUtc());
    out_ << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) << '\n';
    out_.flush();
}

// --- Trace ------------------------------------------------------------------------------

TraceReporter::TraceReporter(QTextStream &err) : err_(err) {}

void TraceReporter::phaseChanged(const PortState &port)
{
    line(port, QStringLiteral("-- ") + uploadtext::stepName(port.phase));
}

void TraceReporter::sessionLog(const PortState &port, const QString &text)
{
    line(port, QStringLiteral("   ") + text);
}

void TraceReporter::frameTraced(const PortState &port, bool outgoing, const QByteArray &bytes)
{
    const QString direction = outgoing ? QStringLiteral(">") : QStringLiteral("<");
    line(port, direction + QLatin1Char(' ') + QString::fromLatin1(bytes.toHex(' ')));
}

void TraceReporter::line(const PortState &port, const QString &text)
{
    err_ << QStringLiteral("[%1] ").arg(double(port.elapsedMs) / 1000.0, 9, 'f', 3) << port.port
         << ' ' << text << '\n';
    err_.flush();
}

} // namespace flash
