#include "kvt-flash/reporters.h"

#include "flash/uploadtext.h"

#include <QTextCodec>

#include <algorithm>

namespace flash {

using ymodem::UploadPhase;

namespace {

constexpr int BarWidth = 20;
constexpr int MinNameWidth = 12;
// With less room than this beside the name column, a wrapped line's later
// rows start near the margin instead of under the text.
constexpr int MinTextRoom = 24;
constexpr int NarrowIndent = 4;
const QString EraseLine = QStringLiteral("\r\x1b[K");

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

// A port still at work: its step, or its bar while the image goes out.
QString liveStatus(const PortState &port)
{
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

// "…" where the output's encoding carries it.
QString ellipsisFor(const QTextStream &out)
{
    const QChar ellipsis(0x2026);
    const QTextCodec *codec = out.codec();
    return codec && codec->canEncode(ellipsis) ? QString(ellipsis) : QStringLiteral("...");
}

// `text` in rows, the first `firstRoom` characters wide and the others
// `room`, broken at spaces; inside a word only when it alone is wider than a
// row.
QStringList wrapAtWords(QString text, int firstRoom, int room)
{
    QStringList rows;
    int width = std::max(1, firstRoom);
    while (text.size() > width) {
        int cut = text.lastIndexOf(QLatin1Char(' '), width);
        if (cut <= 0)
            cut = width;
        rows.append(text.left(cut));
        text = text.mid(cut).trimmed();
        width = std::max(1, room);
    }
    rows.append(text);
    return rows;
}

// `text` ended at the last whole word that leaves room for the ellipsis.
QString shortenAtWord(const QString &text, int room, const QString &ellipsis)
{
    if (text.size() <= room)
        return text;
    const int keep = std::max(0, room - int(ellipsis.size()));
    int cut = text.lastIndexOf(QLatin1Char(' '), keep);
    if (cut <= 0)
        cut = keep;
    QString kept = text.left(cut);
    while (!kept.isEmpty() && (kept.back().isSpace() || kept.back().isPunct()))
        kept.chop(1);
    return kept + ellipsis;
}

} // namespace

TerminalReporter::TerminalReporter(QTextStream &out, QTextStream &err, int columns,
                                   int redrawIntervalMs)
    : out_(out), err_(err), columns_(columns), redrawIntervalMs_(redrawIntervalMs),
      ellipsis_(ellipsisFor(out))
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

// The errors wait for the block to stand still: written in between, they
// would throw the cursor-up redraw off when both streams are the terminal.
void TerminalReporter::runFinished(const QVector<PortState> &ports, int)
{
    ports_ = ports;
    lastDraw_ = true;
    draw();
    if (ports_.size() == 1)
        out_ << '\n'; // leave the finished line standing
    else
        out_ << summaryLine(ports_) << '\n';
    out_.flush();
    for (const PortState &port : qAsConst(ports_)) {
        if (!port.result.succeeded())
            printError(err_, port.port, describeResult(port));
    }
}

void TerminalReporter::fileRefused(const QString &firmware, const QString &message)
{
    printError(err_, firmware, message);
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
    if (ports_.size() == 1) {
        out_ << EraseLine << rowsFor(ports_.first()).join(QLatin1Char('\n') + EraseLine);
    } else {
        if (drawn_)
            out_ << "\x1b[" << ports_.size() << 'A'; // back to the block's first line
        for (const PortState &port : qAsConst(ports_)) {
            for (const QString &row : rowsFor(port))
                out_ << EraseLine << row << '\n';
        }
    }
    out_.flush();
    drawn_ = true;
    sinceDraw_.start();
}

// One row while the block is redrawn: a row that wrapped would throw the
// cursor-up count off. Only the last draw may take more.
QStringList TerminalReporter::rowsFor(const PortState &port) const
{
    const QString name = fitName(port.port, nameWidth_) + QStringLiteral("  ");
    if (columns_ <= 1)
        return {name + (port.finished ? describeResult(port) : liveStatus(port))};
    const int width = columns_ - 1; // the last column would wrap on some terminals
    if (!port.finished)
        return {(name + liveStatus(port)).left(width)};
    const int room = width - int(name.size());
    if (!lastDraw_)
        return {name + shortenAtWord(describeResult(port), std::max(1, room), ellipsis_)};
    const int indent = room >= MinTextRoom ? int(name.size()) : NarrowIndent;
    QStringList rows = wrapAtWords(describeResult(port), room, width - indent);
    rows.first().prepend(name);
    for (int row = 1; row < rows.size(); ++row)
        rows[row].prepend(QString(indent, QLatin1Char(' ')));
    return rows;
}

} // namespace flash
