// kvt-station: the production station's window. See stationwindow.h.

#include "common/exitstatus.h"
#include "common/interrupts.h"
#include "kvt-station/stationoptions.h"
#include "kvt-station/stationwindow.h"

#include <QApplication>
#include <QIcon>
#include <QJsonDocument>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

station::StationWindow *liveWindow = nullptr;

void abandonStation()
{
    if (liveWindow && liveWindow->station())
        liveWindow->station()->abandon();
}

// Records the station could not write go to standard error, one JSON line
// each, so that none is lost; true when there were any.
bool printUnwritten()
{
    if (!liveWindow || !liveWindow->station())
        return false;
    QTextStream err(stderr);
    return programs::printUnwritten(liveWindow->station()->unwrittenRecords(), err);
}

// Qt ends the process with exit() when the connection to the display
// breaks; with boards in flight, that is an interruption like SIGTERM.
extern "C" void onExitWithBoards()
{
    const station::Station *station = liveWindow ? liveWindow->station() : nullptr;
    if (!station || (station->inFlight() == 0 && station->unwrittenRecords().isEmpty()))
        return;
    std::fputs("kvt-station: the display went away; stopping the boards in flight\n", stderr);
    // Nothing may be drawn any more: the window hears no news.
    liveWindow->station()->disconnect();
    abandonStation();
    const bool unwritten = printUnwritten();
    std::fflush(stderr);
    std::_Exit(unwritten ? programs::ExitUnrecorded : programs::ExitInterrupted);
}

// Qt says so just before its exit(): by the time an exit handler runs, the
// static objects that other threads (the records forwarder) still use may be
// gone. Heard here, the boards are stopped while everything still stands.
QtMessageHandler qtMessages = nullptr;

void onMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qtMessages)
        qtMessages(type, context, message);
    if (type == QtWarningMsg && message.startsWith(QLatin1String("The X11 connection broke")))
        onExitWithBoards();
}

// Help and version, before any display is needed.
int answerWithoutWindow(int argc, char *argv[], const station::StationOptions &options)
{
    QCoreApplication core(argc, argv);
    if (options.action == station::StationOptions::Action::ShowHelp)
        std::fputs(qPrintable(station::stationHelpText()), stdout);
    else
        std::printf("kvt-station %s\n", KVT_VERSION);
    return programs::ExitSuccess;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    using Action = station::StationOptions::Action;
    const station::StationOptions early = station::parseStationOptions(arguments);
    if (early.action == Action::ShowHelp || early.action == Action::ShowVersion)
        return answerWithoutWindow(argc, argv, early);
    // Qt's own options (-platform, -style) come with one dash; a line
    // without any is wrong whatever Qt would take off it, and is told so
    // without a display.
    const bool qtOptions =
        std::any_of(arguments.cbegin() + 1, arguments.cend(), [](const QString &a) {
            return a.startsWith(QLatin1Char('-')) && !a.startsWith(QLatin1String("--"));
        });
    if (early.action == Action::UsageError && !qtOptions) {
        std::fprintf(stderr, "%s\n", qPrintable(early.error));
        return programs::ExitUsage;
    }

    QApplication app(argc, argv);
    const station::StationOptions options = station::parseStationOptions(QApplication::arguments());
    if (options.action != Action::Run) {
        std::fprintf(stderr, "%s\n", qPrintable(options.error));
        return programs::ExitUsage;
    }
    QApplication::setOrganizationName(QStringLiteral("KVT"));
    QApplication::setApplicationName(QStringLiteral("kvt-station"));
    QApplication::setApplicationVersion(QStringLiteral(KVT_VERSION));
    QApplication::setWindowIcon(
        QIcon(QStringLiteral(":/images/resources/kvt_update_icon(256x256).png")));

    station::StationWindow window(stationConfig(options));
    // Caught before anything can open a dialog: a dialog's event loop hears
    // the signal too, and closing the window closes the dialog.
    bool interrupted = false;
    const auto interrupts = programs::watchInterrupts(
        [&] {
            interrupted = true;
            window.closeWithoutAsking();
        },
        [&] {
            abandonStation();
            QApplication::exit(programs::ExitInterrupted);
        });
    window.restoreChoices();
    if (!options.folder.isEmpty())
        window.chooseFolder(options.folder);
    if (!options.station.recordPath.isEmpty())
        window.chooseRecord(options.station.recordPath);
    if (options.station.noRecord)
        window.keepNoRecord();
    if (options.fullScreen)
        window.showFullScreen();
    else
        window.show();
    // With an image given, the station starts at once; when it cannot, the
    // operator has been told why and the window stays for another try.
    if (!options.firmware.isEmpty() && window.chooseImage(options.firmware) && !interrupted)
        window.startStation();

    // Losing the display ends the process from inside Qt (exit()); the
    // boards in flight are told and recorded on the way out.
    liveWindow = &window;
    std::atexit(onExitWithBoards);
    qtMessages = qInstallMessageHandler(onMessage);
    // Interrupted while a dialog was open before the loop began, the window
    // has closed already: there is nothing to run.
    const int ran = interrupted ? 0 : QApplication::exec();
    int status = interrupted ? int(programs::ExitInterrupted) : ran;
    if (printUnwritten())
        status = programs::ExitUnrecorded;
    liveWindow = nullptr;
    return status;
}
