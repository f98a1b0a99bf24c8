#include "kvt-flash/terminalview.h"

#include "common/boardview.h"
#include "common/words.h"
#include "records/databaseurl.h"

namespace flash {

namespace {

constexpr int RedrawMs = 200;
constexpr int MaxNotices = 3;
const QString ClearLine = QStringLiteral("\x1b[2K");

} // namespace

QString recordText(const station::Station &station)
{
    const QString database = station.config().databaseUrl;
    return (station.recordPath().isEmpty()
                ? QStringLiteral("no record (--no-record)")
                : QStringLiteral("record %1").arg(station.recordPath())) +
           (database.isEmpty()
                ? QStringLiteral(", no database")
                : QStringLiteral(", database %1").arg(records::withoutSecrets(database)));
}

TerminalView::TerminalView(station::Station &station, QTextStream &out,
                           std::function<ScreenSize()> screen, QObject *parent)
    : QObject(parent), station_(station), out_(out), screen_(std::move(screen)),
      alternate_(!station.isFixed())
{
    connect(&station_, &station::Station::changed, this, [this] { redraw(); });
    ticker_.setInterval(1000);
    connect(&ticker_, &QTimer::timeout, &station_, &station::Station::stampElapsed);
    nextDraw_.setSingleShot(true);
    connect(&nextDraw_, &QTimer::timeout, this, [this] { redraw(true); });
}

void TerminalView::start()
{
    started_ = true;
    if (alternate_)
        out_ << "\x1b[?1049h";
    ticker_.start();
    redraw(true);
}

void TerminalView::notice(const QString &text)
{
    notices_.append(text);
    while (notices_.size() > MaxNotices)
        notices_.removeFirst();
    redraw(true);
}

void TerminalView::setImageWarning(const QString &text)
{
    imageWarning_ = text;
    redraw(true);
}

void TerminalView::finish()
{
    ticker_.stop();
    nextDraw_.stop();
    if (!started_)
        return;
    started_ = false;
    if (alternate_) {
        // Back on the normal screen, the last picture whole stays in the
        // scroll-back, once.
        out_ << "\x1b[?1049l";
        ScreenSize whole = screen_();
        whole.rows = 0;
        for (const QString &line : terminalPicture(station_, header(), whole))
            out_ << line << '\n';
    } else {
        draw();
        out_ << '\n';
    }
    out_.flush();
}

QStringList TerminalView::header() const
{
    const station::StationConfig &config = station_.config();
    const QString image = QStringLiteral("%1 · %2 · sha256 %3…")
                              .arg(config.file, programs::kibText(station_.imageSize()),
                                   station_.imageSha256().left(12));
    const QString counts = programs::countsText(station_.counts());
    if (station_.isFixed())
        return QStringList{image + QStringLiteral(" · ") + counts} + notices_;
    QStringList lines{QStringLiteral("%1 · %2 · %3").arg(config.stationName, image, counts),
                      recordText(station_)};
    if (!station_.recordError().isEmpty())
        lines.append(
            QStringLiteral("HELD: %1; no board starts until it can").arg(station_.recordError()));
    if (!station_.databaseMessage().isEmpty())
        lines.append(station_.databaseMessage());
    if (!imageWarning_.isEmpty())
        lines.append(QStringLiteral("WARNING: ") + imageWarning_);
    if (!station_.armedSlot().isEmpty())
        lines.append(QStringLiteral("scanned slot %1: the next label scanned is its board's")
                         .arg(station_.armedSlot()));
    else if (!station_.waitingCode().isEmpty())
        lines.append(QStringLiteral("label %1 scanned: it goes to the next board plugged")
                         .arg(station_.waitingCode()));
    if (station_.isWaitingForFolder())
        lines.append(QStringLiteral("waiting for %1 to appear").arg(config.folder));
    if (station_.isStopping() && station_.inFlight() > 0)
        lines.append(QStringLiteral("stopping %1 boards… (Ctrl-C again to stop at once)")
                         .arg(station_.inFlight()));
    return lines + notices_;
}

QStringList TerminalView::lines() const
{
    return terminalPicture(station_, header(), screen_());
}

// Changes closer together than RedrawMs are drawn together, at the end of
// that time.
void TerminalView::redraw(bool now)
{
    if (!started_)
        return;
    const qint64 since = sinceDraw_.isValid() ? sinceDraw_.elapsed() : RedrawMs;
    if (!now && since < RedrawMs) {
        if (!nextDraw_.isActive())
            nextDraw_.start(int(RedrawMs - since));
        return;
    }
    nextDraw_.stop();
    sinceDraw_.start();
    draw();
}

// On the alternate screen from its top; in place from where the last
// picture began. No line break after the last line: on the bottom row it
// would scroll the picture.
void TerminalView::draw()
{
    const QStringList picture = lines();
    if (alternate_)
        out_ << "\x1b[H";
    else if (drawnLines_ > 1)
        out_ << "\r\x1b[" << drawnLines_ - 1 << 'A';
    else
        out_ << '\r';
    out_ << ClearLine << picture.join(QStringLiteral("\r\n") + ClearLine) << "\x1b[J";
    out_.flush();
    drawnLines_ = picture.size();
}

} // namespace flash
