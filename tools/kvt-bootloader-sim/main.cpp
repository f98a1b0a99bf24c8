// kvt-bootloader-sim: a device bootloader on the far end of a pseudo-terminal
// (or of a real serial device), for trying the updater without hardware.

#include "common/interrupts.h"
#include "firmwareimage.h"
#include "sim/bootloadersim.h"
#include "sim/pty.h"
#include "tooloptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

const char *const ToolName = "kvt-bootloader-sim";
constexpr int LingerMs = 500;  // after the last answer, before the line closes
constexpr int UsageError = 64; // EX_USAGE

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

bool saveImage(const QString &path, const QByteArray &image)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(image) == image.size() && file.commit())
        return true;
    complain(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return false;
}

// A demo image: the signature (the initial stack pointer 0x20004000 of the
// device's vector table), then bytes from a fixed-seed generator. No two
// blocks look alike, so a block stored twice or out of order shows.
int writeDemoImage(const QString &path, int size)
{
    QByteArray image(size, '\0');
    std::minstd_rand bytes(2024); // its sequence is fixed by the standard
    for (char &byte : image)
        byte = char(bytes() >> 8);
    image.replace(0, firmware::SignatureSize, QByteArray::fromHex("00400020"));
    Q_ASSERT(firmware::hasImageSignature(image));
    if (!saveImage(path, image))
        return 1;
    say(QStringLiteral("demo image written to %1 (%2 bytes)").arg(path).arg(size));
    return 0;
}

// The line under a name of the user's choosing, like a board's port in
// /dev/serial/by-path: there while the tool runs, gone when it ends.
class LineLink
{
public:
    ~LineLink() { remove(); }

    // Anything there, a dangling link included.
    static bool isTaken(const QString &path)
    {
        const QFileInfo info(path);
        return info.exists() || info.isSymLink();
    }

    bool create(const QString &path, const QString &target)
    {
        const QByteArray from = QFile::encodeName(path);
        if (::symlink(QFile::encodeName(target).constData(), from.constData()) != 0)
            return false;
        path_ = path;
        target_ = target;
        return true;
    }

    // Only the link this tool made: not one somebody put there since.
    void remove()
    {
        if (!path_.isEmpty() && QFile::encodeName(target_) == readLink(path_))
            ::unlink(QFile::encodeName(path_).constData());
        path_.clear();
    }

private:
    static QByteArray readLink(const QString &path)
    {
        char target[4096];
        const ssize_t size = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
        return size > 0 ? QByteArray(target, int(size)) : QByteArray();
    }

    QString path_;
    QString target_;
};

// Opens the line: a new pty (kept in `pty`) or the --device; -1 on failure,
// after saying why.
int openLine(const ToolSettings &settings, std::unique_ptr<PtyPair> &pty, QString *linePath)
{
    if (!settings.device.isEmpty()) {
        *linePath = settings.device;
        QString error;
        const int fd = openSerialDevice(settings.device, settings.baud, &error);
        if (fd < 0)
            complain(error);
        return fd;
    }
    pty = std::make_unique<PtyPair>();
    if (!pty->isOpen()) {
        complain(pty->errorString());
        return -1;
    }
    *linePath = pty->slavePath();
    return pty->releaseMaster();
}

// What the tool prints after the first line (so connected after start()):
// every step with --verbose; otherwise the host's faults and one line per
// upload that ends.
void reportUploads(BootloaderSim &sim, const ToolSettings &settings, const QString &where)
{
    struct Upload
    {
        QElapsedTimer clock;
        bool open = false; // the bootloader was entered, the upload has not ended
        int blocks = 0;
    };
    const auto upload = std::make_shared<Upload>();
    upload->clock.start();
    const auto stamped = [upload](const QString &message) {
        say(QStringLiteral("%1  %2").arg(upload->clock.elapsed() / 1000.0, 8, 'f', 3).arg(message));
    };
    const auto ended = [upload, stamped, where](const QString &how) {
        upload->open = false;
        stamped(QStringLiteral("upload on %1 %2").arg(where, how));
    };
    const bool verbose = settings.verbose;
    if (verbose) // what start() logged, after the first line
        for (const QString &message : sim.log())
            stamped(message);
    QObject::connect(&sim, &BootloaderSim::logged, [stamped, verbose](const QString &message) {
        if (verbose || message.startsWith(QLatin1String("problem: ")))
            stamped(message);
    });
    QObject::connect(&sim, &BootloaderSim::commandFramesReceived, [upload, ended] {
        if (upload->open)
            ended(QStringLiteral("abandoned after %1 data block(s): the host started again")
                      .arg(upload->blocks));
        upload->open = true;
        upload->blocks = 0;
    });
    QObject::connect(&sim, &BootloaderSim::blockReceived,
                     [upload](int count) { upload->blocks = count; });
    QObject::connect(&sim, &BootloaderSim::transferCompleted, [&sim, &settings, ended] {
        const QByteArray image = sim.receivedImage();
        QString how =
            QStringLiteral("complete: \"%1\", %2 bytes").arg(sim.fileName()).arg(image.size());
        if (!settings.output.isEmpty() && saveImage(settings.output, image))
            how += QStringLiteral(", written to ") + settings.output;
        ended(how);
    });
    QObject::connect(&sim, &BootloaderSim::transferCancelled, [&sim, upload, ended] {
        ended(QStringLiteral("cancelled by the %1 after %2 data block(s)")
                  .arg(sim.counters().hostCancelled ? "host" : "device")
                  .arg(upload->blocks));
    });
    QObject::connect(&sim, &BootloaderSim::lineClosed, [upload, ended] {
        if (upload->open)
            ended(QStringLiteral("failed: the line closed after %1 data block(s)")
                      .arg(upload->blocks));
    });
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QLatin1String(ToolName));
    QCoreApplication::setApplicationVersion(QStringLiteral(KVT_VERSION));
    QCommandLineParser parser;
    addToolOptions(parser);
    // A wrong command line is a usage error (64), as for the other programs.
    if (!parser.parse(app.arguments())) {
        complain(parser.errorText() + QStringLiteral(" (see --help)"));
        return UsageError;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    ToolSettings settings;
    const QString badCommandLine = readToolSettings(parser, &settings);
    if (!badCommandLine.isEmpty()) {
        complain(badCommandLine);
        return UsageError;
    }
    if (!settings.imagePath.isEmpty())
        return writeDemoImage(settings.imagePath, settings.imageSize);
    if (!settings.link.isEmpty() && LineLink::isTaken(settings.link))
        return complain(
            QStringLiteral("cannot link %1: it exists already (left as it is)").arg(settings.link));

    std::unique_ptr<PtyPair> pty;
    QString linePath;
    const int lineFd = openLine(settings, pty, &linePath);
    if (lineFd < 0)
        return 1;
    BootloaderSim sim(lineFd, settings.sim);
    // A pty drops what the host has not read yet when its master closes:
    // leave the host time to read the last ACK before going away.
    // The new firmware's first line, when it prints one, goes out first too.
    const int lingerMs = LingerMs + settings.sim.bootDelayMs;
    const auto exitSoon = [&app, lingerMs](int status) {
        QTimer::singleShot(lingerMs, &app, [&app, status] { app.exit(status); });
    };
    QObject::connect(&sim, &BootloaderSim::transferCompleted, [&] {
        if (settings.once)
            exitSoon(0);
    });
    QObject::connect(&sim, &BootloaderSim::transferCancelled, [&] {
        if (settings.once)
            exitSoon(1);
    });
    QObject::connect(&sim, &BootloaderSim::lineClosed, [&] { app.exit(1); });
    const auto interrupted = [&] {
        say(QStringLiteral("interrupted"));
        app.exit(settings.once ? 1 : 0);
    };
    const auto signalWatch = programs::watchInterrupts(interrupted, interrupted);
    if (!signalWatch)
        return complain(QStringLiteral("cannot catch SIGINT, SIGTERM and SIGHUP"));
    if (settings.timeoutMs > 0)
        QTimer::singleShot(settings.timeoutMs, &app, [&] {
            say(QStringLiteral("no complete upload within %1 ms").arg(settings.timeoutMs));
            app.exit(1);
        });

    if (!sim.start())
        return complain(QStringLiteral("cannot listen on %1").arg(linePath));
    // The link appears only now that the device listens: a host that finds
    // it at once must not lose its first frame.
    LineLink link; // removed on every way out of here, signals included
    if (!settings.link.isEmpty() && !link.create(settings.link, linePath))
        return complain(QStringLiteral("cannot make the link %1: %2")
                            .arg(settings.link, QString::fromLocal8Bit(std::strerror(errno))));
    // The first line tells a script where to connect.
    say(QStringLiteral("%1: listening on %2").arg(QLatin1String(ToolName), linePath));
    reportUploads(sim, settings, settings.link.isEmpty() ? linePath : settings.link);
    return app.exec();
}
