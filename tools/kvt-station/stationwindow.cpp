#include "kvt-station/stationwindow.h"

#include "common/boardview.h"
#include "kvt-station/scanfield.h"
#include "kvt-station/slottile.h"
#include "kvt-station/tilegrid.h"
#include "records/slotnames.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>

#include <algorithm>
#include <cstdio>

namespace station {

namespace {

// The station's changes are drawn together at most ten times a second: with
// 64 boards in flight the news comes hundreds of times a second.
constexpr int DrawMs = 100;
// Repainting every tile of a full fixture in one pass would hold the event
// loop longer than a frame: the tiles are drawn a batch per pass.
constexpr int TilesPerPass = 16;
// The clocks of boards in flight move between their news, once a second.
constexpr int ClockMs = 1000;
constexpr int TextPixels = 17;
constexpr int CountsPixels = 28;
constexpr int ButtonPixels = 20;

void setPixelSize(QWidget *widget, int pixels, bool bold = false)
{
    QFont font = widget->font();
    font.setPixelSize(pixels);
    font.setBold(bold);
    widget->setFont(font);
}

QPushButton *button(const QString &text, QWidget *parent)
{
    auto *pushButton = new QPushButton(text, parent);
    setPixelSize(pushButton, ButtonPixels);
    pushButton->setMinimumSize(150, 44);
    return pushButton;
}

} // namespace

// A line across the window that shows only while there is something to say.
QLabel *StationWindow::banner(const QString &name, const char *background, const char *text)
{
    auto *label = new QLabel(this);
    label->setObjectName(name);
    label->setStyleSheet(
        QStringLiteral("background: %1; color: %2; padding: 6px; font-weight: bold")
            .arg(QLatin1String(background), QLatin1String(text)));
    label->setWordWrap(true);
    label->hide();
    return label;
}

StationWindow::StationWindow(StationConfig base, QWidget *parent)
    : QWidget(parent), base_(std::move(base)), folder_(base_.folder)
{
    setWindowTitle(QStringLiteral("KVT station"));
    setPixelSize(this, TextPixels);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(buildChoices());
    imageWarning_ = banner(QStringLiteral("imageWarning"), "#ffd54f", "#1c1c1c");
    recordError_ = banner(QStringLiteral("recordError"), "#c0262d", "#ffffff");
    databaseBacklog_ = banner(QStringLiteral("databaseBacklog"), "#ffd54f", "#1c1c1c");
    layout->addWidget(imageWarning_);
    layout->addWidget(recordError_);
    layout->addWidget(databaseBacklog_);
    layout->addWidget(buildControls());
    scan_ = new ScanField(this);
    layout->addWidget(scan_);
    failedStrip_ = banner(QStringLiteral("failedStrip"), "#c0262d", "#ffffff");
    failedStrip_->setTextFormat(Qt::RichText);
    layout->addWidget(failedStrip_);
    grid_ = new TileGrid(this);
    layout->addWidget(grid_, 1);
    // A failed tile out of view is named in the strip; a click on its name
    // brings it into view.
    connect(failedStrip_, &QLabel::linkActivated, this,
            [this](const QString &slot) { grid_->ensureWidgetVisible(grid_->tile(slot)); });
    connect(grid_->verticalScrollBar(), &QScrollBar::valueChanged, this,
            &StationWindow::showFailedOutOfView);
    // The grid has just begun or ceased to scroll; its tiles are placed after.
    connect(grid_->verticalScrollBar(), &QScrollBar::rangeChanged, this,
            &StationWindow::showFailedOutOfView, Qt::QueuedConnection);
    clock_.setInterval(ClockMs);
    connect(&clock_, &QTimer::timeout, this, &StationWindow::tick);
    clock_.start();
    nextDraw_.setSingleShot(true);
    connect(&nextDraw_, &QTimer::timeout, this, &StationWindow::drawChanges);
    // F11 as in other programs that fill the screen; Escape only ever
    // leaves full screen, never anything else.
    connect(new QShortcut(QKeySequence(Qt::Key_F11), this), &QShortcut::activated, this,
            [this] { setFullScreen(!isFullScreen()); });
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            [this] { setFullScreen(false); });
    showChoices();
    showState();
    resize(1280, 800);
}

void StationWindow::setFullScreen(bool full)
{
    if (full)
        showFullScreen();
    else if (isFullScreen())
        showNormal();
}

StationWindow::~StationWindow() = default;

QWidget *StationWindow::buildControls()
{
    auto *box = new QWidget(this);
    auto *layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    startButton_ = button(QStringLiteral("Start"), box);
    pauseButton_ = button(QStringLiteral("Pause"), box);
    pauseButton_->setCheckable(true);
    connect(startButton_, &QPushButton::clicked, this, &StationWindow::startStation);
    connect(pauseButton_, &QPushButton::toggled, this, &StationWindow::setPaused);
    status_ = new QLabel(box);
    status_->setWordWrap(true);
    counts_ = new QLabel(box);
    counts_->setObjectName(QStringLiteral("counts"));
    setPixelSize(counts_, CountsPixels, true);
    layout->addWidget(startButton_);
    layout->addWidget(pauseButton_);
    layout->addWidget(status_, 1);
    layout->addWidget(counts_);
    return box;
}

bool StationWindow::startStation()
{
    if (station_ || !image_.isLoaded())
        return false;
    StationConfig config = base_;
    config.folder = folder_;
    config.recordPath = noRecord_ ? QString() : record_;
    config.file = QFileInfo(image_.path).fileName();
    auto station = std::make_unique<Station>(config, image_.data);
    station->setPaused(pauseButton_->isChecked());
    QString why;
    station_ = std::move(station);
    connectStation();
    if (!station_->start(&why)) {
        station_.reset();
        complain(why);
        showState();
        return false;
    }
    scan_->setStation(station_.get());
    showState();
    return true;
}

void StationWindow::connectStation()
{
    connect(station_.get(), &Station::changed, this, [this](const QStringList &names) {
        for (const QString &name : names)
            changed_.insert(name);
        if (!nextDraw_.isActive())
            nextDraw_.start(DrawMs);
    });
}

void StationWindow::drawChanges()
{
    if (!station_)
        return;
    const QMap<QString, Slot> &states = station_->slotStates();
    const programs::StationContext context = programs::contextOf(*station_);
    // What a tile says can follow the other boards (a failed board's next
    // step once others took the image): when they change, every tile is
    // looked at again, and repainted only if what it shows changed.
    if (context != drawnContext_) {
        drawnContext_ = context;
        for (auto slot = states.keyBegin(); slot != states.keyEnd(); ++slot)
            changed_.insert(*slot);
    }
    // Tiles are sized for every slot the station knows, and drawn in slot
    // order: a batch lands where it stays, and the tiles drawn before it
    // neither move nor change size, so they are not repainted.
    grid_->expect(states.size());
    QStringList names = changed_.values();
    const int count = qMin(TilesPerPass, names.size());
    std::partial_sort(names.begin(), names.begin() + count, names.end(), records::slotNameBefore);
    for (int i = 0; i < count; ++i) {
        grid_->showSlot(states.value(names.at(i)), context);
        changed_.remove(names.at(i));
    }
    if (!changed_.isEmpty())
        nextDraw_.start(0); // the rest after these are painted
    counts_->setText(programs::countsText(station_->counts()));
    // The banner stays while records cannot be written: no board starts.
    const QString held = station_->recordError();
    recordError_->setText(QStringLiteral("Held: %1. No board starts until it can.").arg(held));
    recordError_->setVisible(!held.isEmpty());
    databaseBacklog_->setText(station_->databaseMessage());
    databaseBacklog_->setVisible(!station_->databaseMessage().isEmpty());
    showState();
    showFailedOutOfView();
}

void StationWindow::showFailedOutOfView()
{
    QStringList failed;
    if (station_) {
        const programs::StationContext context = programs::contextOf(*station_);
        for (const Slot &slot : station_->slotStates()) {
            const programs::BoardView view = programs::present(slot, context);
            if (view.tone == programs::Tone::Failed && !grid_->isInView(slot.name))
                failed.append(QStringLiteral("<a href=\"%1\" style=\"color: white\">%2</a> (%3)")
                                  .arg(slot.name.toHtmlEscaped(), slot.label.toHtmlEscaped(),
                                       view.nextStep.toHtmlEscaped()));
        }
    }
    failedStrip_->setText(QStringLiteral("FAILED, out of view: ") +
                          failed.join(QStringLiteral(", ")));
    failedStrip_->setVisible(!failed.isEmpty());
}

void StationWindow::setPaused(bool paused)
{
    if (pauseButton_->isChecked() != paused)
        pauseButton_->setChecked(paused); // comes back here through toggled()
    else if (station_)
        station_->setPaused(paused);
    showState();
}

void StationWindow::tick()
{
    if (station_)
        station_->stampElapsed();
}

void StationWindow::showState()
{
    const bool running = station_ != nullptr;
    for (QPushButton *pick : qAsConst(choiceButtons_))
        pick->setEnabled(!running);
    startButton_->setEnabled(!running && image_.isLoaded());
    startButton_->setText(running ? QStringLiteral("Running") : QStringLiteral("Start"));
    pauseButton_->setText(pauseButton_->isChecked() ? QStringLiteral("Resume")
                                                    : QStringLiteral("Pause"));
    QString status;
    if (!running)
        status = image_.isLoaded()
                     ? QStringLiteral("Press Start to watch %1 for boards.").arg(folder_)
                     : QStringLiteral("Choose the firmware image to flash.");
    else if (station_->isStopping())
        status = QStringLiteral("Stopping %1 boards…").arg(station_->inFlight());
    else if (station_->isWaitingForFolder())
        status = QStringLiteral("Waiting for %1 to appear: plug in an adapter.").arg(folder_);
    else if (pauseButton_->isChecked())
        status = QStringLiteral("Paused: boards plugged now wait; boards in flight finish.");
    else
        status = QStringLiteral("Station %1 watching %2: every board plugged in is flashed once.")
                     .arg(station_->config().stationName, folder_);
    status_->setText(status);
    if (!running)
        counts_->setText(programs::countsText({}));
    setWindowTitle(image_.isLoaded()
                       ? QStringLiteral("KVT station · %1").arg(QFileInfo(image_.path).fileName())
                       : QStringLiteral("KVT station"));
}

void StationWindow::complain(const QString &text)
{
    // Also where a station started by a service or from a terminal leaves
    // its traces.
    std::fprintf(stderr, "kvt-station: %s\n", qPrintable(text));
    std::fflush(stderr);
    if (mayAsk_)
        QMessageBox::critical(this, QStringLiteral("Error"), text);
}

bool StationWindow::confirmStop(int inFlight)
{
    const QString text =
        QStringLiteral("%1 board%2 %3 being flashed. Stop %4 and close?\n\nEach device is told to "
                       "stop (CAN CAN) and its board is recorded as stopped: flash it again.")
            .arg(inFlight)
            .arg(inFlight == 1 ? "" : "s", inFlight == 1 ? "is" : "are",
                 inFlight == 1 ? "it" : "them");
    return QMessageBox::question(this, QStringLiteral("Stop the station?"), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (!station_ || closing_ == Closing::Done) {
        event->accept();
        return;
    }
    event->ignore();
    if (closing_ == Closing::Stopping)
        return;
    if (station_->inFlight() > 0 && !confirmStop(station_->inFlight()))
        return;
    // A signal heard while the question was open has begun the stop already.
    if (closing_ == Closing::No)
        stopThenClose();
}

void StationWindow::closeWithoutAsking()
{
    mayAsk_ = false;
    // Rejected, a dialog ends its own event loop once control returns to it.
    for (QWidget *window : QApplication::topLevelWidgets())
        if (auto *dialog = qobject_cast<QDialog *>(window); dialog && dialog->isVisible())
            dialog->reject();
    if (station_ && closing_ == Closing::No)
        stopThenClose();
    else if (!station_)
        close();
}

void StationWindow::stopThenClose()
{
    closing_ = Closing::Stopping;
    connect(station_.get(), &Station::stopped, this, [this] {
        closing_ = Closing::Done;
        close();
    });
    station_->stop();
}

} // namespace station
