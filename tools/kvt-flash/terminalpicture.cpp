#include "kvt-flash/terminalpicture.h"

#include "common/boardview.h"
#include "records/slotnames.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace flash {

namespace {

using programs::BoardView;
using programs::Tone;

constexpr int WordWidth = 13;
const QString Ellipsis(QChar(0x2026));
const QString NextStepMark = QStringLiteral("→ ");

QString fit(const QString &text, int width)
{
    return text.size() <= width ? text : text.left(qMax(0, width - 1)) + Ellipsis;
}

// ANSI colours for the state words: what reads at a glance, and none that
// hides the word on a light or a dark terminal.
QString coloured(const QString &word, Tone tone)
{
    const char *code = nullptr;
    switch (tone) {
    case Tone::Ok:
        code = "1;32";
        break;
    case Tone::Failed:
        code = "1;31";
        break;
    case Tone::Flashing:
        code = "1;34";
        break;
    case Tone::Attention:
        code = "1;33";
        break;
    case Tone::Empty:
        code = "2";
        break;
    case Tone::Waiting:
        return word;
    }
    return QStringLiteral("\x1b[%1m%2\x1b[0m").arg(QLatin1String(code), word);
}

// What needs the operator first: failed boards, then the ones in flight,
// waiting, not yet recorded, done, and empty slots last.
int urgency(const BoardView &view)
{
    switch (view.tone) {
    case Tone::Failed:
        return 0;
    case Tone::Flashing:
        return 1;
    case Tone::Attention:
    case Tone::Waiting:
        return 2;
    case Tone::Ok:
        return 3;
    case Tone::Empty:
        break;
    }
    return 4;
}

QString upperIfFailed(const BoardView &view)
{
    return view.tone == Tone::Failed ? view.word.toUpper() : view.word;
}

// The slot's line, its text cut to the width; then the next step on lines
// of its own, wrapped at words, never cut.
QStringList slotLines(const station::Slot &slot, const BoardView &view, int labelWidth,
                      ScreenSize size)
{
    const int width = qMax(20, size.columns - 1); // the last column wraps on some terminals
    const QString word = upperIfFailed(view);
    QStringList parts{view.detail};
    for (const QString &part : {view.speed, view.duration, view.proof, view.who})
        if (!part.isEmpty() && part != slot.name) // a port given by name is its own device
            parts.append(part);
    const QString label = slot.label.leftJustified(labelWidth) + QLatin1Char(' ');
    const QString rest =
        fit(parts.join(QStringLiteral("  ")), width - int(label.size()) - WordWidth);
    const QString padding(qMax(0, WordWidth - int(word.size())), QLatin1Char(' '));
    QStringList lines{label + (size.colour ? coloured(word, view.tone) : word) + padding + rest};
    if (view.nextStep.isEmpty() || view.tone == Tone::Ok)
        return lines;
    const QString indent(label.size() + 2, QLatin1Char(' '));
    QString step = NextStepMark + view.nextStep;
    const int room = qMax(10, width - int(indent.size()));
    while (step.size() > room) {
        int cut = step.lastIndexOf(QLatin1Char(' '), room);
        cut = cut > 0 ? cut : room;
        lines.append(indent + step.left(cut));
        step = step.mid(cut).trimmed();
    }
    lines.append(indent + step);
    return lines;
}

} // namespace

QStringList terminalPicture(const station::Station &station, const QStringList &header,
                            ScreenSize size)
{
    QStringList lines;
    for (const QString &line : header)
        lines.append(fit(line, qMax(20, size.columns - 1)));
    const programs::StationContext context = programs::contextOf(station);
    QVector<QPair<const station::Slot *, BoardView>> shown;
    int labelWidth = 4;
    for (const station::Slot &slot : station.slotStates()) {
        shown.append({&slot, programs::present(slot, context)});
        labelWidth = qMax(labelWidth, int(slot.label.size()));
    }
    std::sort(shown.begin(), shown.end(), [](const auto &a, const auto &b) {
        return urgency(a.second) != urgency(b.second)
                   ? urgency(a.second) < urgency(b.second)
                   : records::slotNameBefore(a.first->name, b.first->name);
    });
    const int room = size.rows > 0 ? size.rows - int(lines.size()) : INT_MAX;
    for (int i = 0; i < shown.size(); ++i) {
        const QStringList more = slotLines(*shown[i].first, shown[i].second, labelWidth, size);
        const bool last = i + 1 == shown.size();
        if (lines.size() - int(header.size()) + more.size() + (last ? 0 : 1) > room) {
            lines.append(QStringLiteral("+%1 more").arg(shown.size() - i));
            break;
        }
        lines += more;
    }
    return lines;
}

bool liveTerminal()
{
    return ::isatty(STDOUT_FILENO) == 1 && qgetenv("TERM") != "dumb";
}

bool colourTerminal()
{
    return liveTerminal() && !qEnvironmentVariableIsSet("NO_COLOR");
}

ScreenSize terminalSize()
{
    ScreenSize size;
    winsize window{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 0) {
        size.columns = window.ws_col;
        size.rows = window.ws_row;
    }
    size.colour = colourTerminal();
    return size;
}

} // namespace flash
