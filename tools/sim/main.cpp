// kvt-bootloader-sim: a device bootloader on the far end of a pseudo-terminal
// (or of a real serial device), for trying the updater without hardware.

#include "sim/bootloadersim.h"
#include "sim/pty.h"
#include "ymodem/line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

const char *const ToolName = "kvt-bootloader-sim";
constexpr int LingerMs = 500; // after the last answer, before the line closes

struct Settings
{
    BootloaderSimOptions sim;
    QString device;
    int baud = ymodem::line::BaudRate;
    QString output;
    bool once = false;
    int timeoutMs = 0;
};

void say(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

int complain(const QString &line)
{
    std::fputs(qPrintable(QStringLiteral("%1: %2\n").arg(QLatin1String(ToolName), line)), stderr);
    return 1;
}

speed_t speedFor(int baud)
{
    static const std::pair<int, speed_t> speeds[] = {
        {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
        {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
        {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const auto &[rate, speed] : speeds)
        if (rate == baud)
            return speed;
    return B0;
}

// Opens a serial device raw, 8N1, no flow control; -1 with `error` set when
// that fails.
int openSerialDevice(const QString &path, int baud, QString *error)
{
    const speed_t speed = speedFor(baud);
    if (speed == B0) {
        *error = QStringLiteral("unsupported baud rate %1").arg(baud);
        return -1;
    }
    const int fd =
        ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    if (fd < 0 || ::tcgetattr(fd, &settings) != 0) {
        *error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    ::cfmakeraw(&settings);
    ::cfsetispeed(&settings, speed);
    ::cfsetospeed(&settings, speed);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~(CSTOPB | CRTSCTS);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        *error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
        return -1;
    }
    ::tcflush(fd, TCIOFLUSH);
    return fd;
}

// SIGINT and SIGTERM reach the event loop through a socket pair, the one
// thing a signal handler may safely do.
int signalSockets[2] = {-1, -1};

void onTerminationSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    if (::write(signalSockets[0], &byte, 1) < 0) {
        // Nothing to be done inside a signal handler.
    }
    errno = savedErrno;
}

bool catchTerminationSignals(QObject *context, const std::function<void()> &onSignal)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [notifier, onSignal] {
        char byte;
        if (::read(signalSockets[1], &byte, 1) > 0)
            onSignal();
        notifier->setEnabled(true);
    });
    struct sigaction action
    {
    };
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

bool readInt(const QCommandLineParser &parser, const QString &name, int minimum, int *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int parsed = parser.value(name).toInt(&ok);
    if (!ok || parsed < minimum)
        return false;
    *value = parsed;
    return true;
}

// Fills `settings` from the command line; the name of the first bad option,
// or an empty string.
QString readSettings(const QCommandLineParser &parser, Settings *settings)
{
    BootloaderSimOptions &sim = settings->sim;
    sim.silent = parser.isSet("silent");
    sim.garbageBeforeC = parser.isSet("garbage");
    sim.nakFirstEot = parser.isSet("nak-first-eot");
    settings->once = parser.isSet("once");
    settings->device = parser.value("device");
    settings->output = parser.value("output");
    const struct
    {
        const char *name;
        int minimum;
        int *value;
    } numbers[] = {
        {"nak-block", 1, &sim.nakBlock},
        {"drop-ack", 1, &sim.dropAckBlock},
        {"cancel-at", 1, &sim.cancelAtBlock},
        {"close-after", 1, &sim.closeAfterBlock},
        {"reply-delay", 0, &sim.replyDelayMs},
        {"erase-delay", 0, &sim.eraseDelayMs},
        {"pace", 1, &sim.paceBaud},
        {"c-interval", 1, &sim.cIntervalMs},
        {"stall-timeout", 0, &sim.stallTimeoutMs},
        {"baud", 1, &settings->baud},
        {"timeout", 1, &settings->timeoutMs},
    };
    for (const auto &number : numbers)
        if (!readInt(parser, QLatin1String(number.name), number.minimum, number.value))
            return QLatin1String(number.name);
    return {};
}

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        "Plays a device's bootloader on a pseudo-terminal (or a serial device) and receives\n"
        "firmware uploads one after another until interrupted.\n"
        "Exit status: 0 when interrupted, or with --once after a complete upload; 1 otherwise.");
    parser.addHelpOption();
    parser.addOptions({
        {"device", "Serve this serial device instead of a new pseudo-terminal.", "path"},
        {"baud", QStringLiteral("Line speed of --device (default %1).").arg(ymodem::line::BaudRate),
         "rate"},
        {"output", "Write each received image to this file (replaced per upload).", "file"},
        {"once", "Exit after the first upload: 0 if it completed."},
        {"timeout", "Give up (status 1) when no upload completed within this time.", "ms"},
        {"silent", "Never send a byte."},
        {"nak-block", "Answer data block N with NAK the first time it arrives.", "N"},
        {"drop-ack", "Store data block N but leave out its first ACK.", "N"},
        {"garbage", "Send a few stray bytes before the first \"C\"."},
        {"cancel-at", "Answer data block N with CAN CAN and give up.", "N"},
        {"nak-first-eot", "Answer the first EOT with NAK."},
        {"reply-delay", "Wait this long before every answer.", "ms"},
        {"erase-delay", "Wait this much longer before answering the header block.", "ms"},
        {"pace", "Take as long as a UART at this speed would.", "baud"},
        {"c-interval", "Pause between two \"C\" while waiting for the header (default 1000).",
         "ms"},
        {"close-after", "Close the line once data block N is in.", "N"},
        {"stall-timeout", "Drop an unfinished frame after this silence (default 1000, 0: never).",
         "ms"},
    });
}

void saveImage(const QString &path, const QByteArray &image)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(image) == image.size() && file.commit())
        say(QStringLiteral("image written to %1 (%2 bytes)").arg(path).arg(image.size()));
    else
        complain(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QLatin1String(ToolName));
    QCommandLineParser parser;
    addOptions(parser);
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return complain(
            QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    Settings settings;
    const QString badOption = readSettings(parser, &settings);
    if (!badOption.isEmpty())
        return complain(
            QStringLiteral("bad value for --%1: %2").arg(badOption, parser.value(badOption)));

    std::unique_ptr<PtyPair> pty;
    int lineFd = -1;
    QString linePath = settings.device;
    if (settings.device.isEmpty()) {
        pty = std::make_unique<PtyPair>();
        if (!pty->isOpen())
            return complain(pty->errorString());
        linePath = pty->slavePath();
        lineFd = pty->releaseMaster();
    } else {
        QString error;
        lineFd = openSerialDevice(settings.device, settings.baud, &error);
        if (lineFd < 0)
            return complain(error);
    }

    BootloaderSim sim(lineFd, settings.sim);
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&sim, &BootloaderSim::logged, [&clock](const QString &message) {
        say(QStringLiteral("%1  %2").arg(clock.elapsed() / 1000.0, 8, 'f', 3).arg(message));
    });
    QObject::connect(&sim, &BootloaderSim::transferCompleted, [&] {
        if (!settings.output.isEmpty())
            saveImage(settings.output, sim.receivedImage());
        // A pty drops what the host has not read yet when its master closes:
        // leave the host time to read the last ACK before going away.
        if (settings.once)
            QTimer::singleShot(LingerMs, &app, [&app] { app.exit(0); });
    });
    QObject::connect(&sim, &BootloaderSim::transferCancelled, [&] {
        if (settings.once)
            QTimer::singleShot(LingerMs, &app, [&app] { app.exit(1); });
    });
    QObject::connect(&sim, &BootloaderSim::lineClosed, [&] { app.exit(1); });
    if (!catchTerminationSignals(&app, [&] {
            say(QStringLiteral("interrupted"));
            app.exit(settings.once ? 1 : 0);
        }))
        return complain(QStringLiteral("cannot catch SIGINT and SIGTERM"));
    if (settings.timeoutMs > 0)
        QTimer::singleShot(settings.timeoutMs, &app, [&] {
            say(QStringLiteral("no complete upload within %1 ms").arg(settings.timeoutMs));
            app.exit(1);
        });

    // The first line tells a script where to connect.
    say(QStringLiteral("%1: listening on %2").arg(QLatin1String(ToolName), linePath));
    if (!sim.start())
        return complain(QStringLiteral("cannot listen on %1").arg(linePath));
    return app.exec();
}
