#include "flash/commandsupport.h"

#include "flash/outcomes.h"
#include "flash/portflasher.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <memory>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace flash {

int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

bool liveTerminal()
{
    const QByteArray term = qgetenv("TERM");
    return ::isatty(STDOUT_FILENO) == 1 && term != "dumb";
}

namespace {

int interruptPipe[2] = {-1, -1};

extern "C" void onInterrupt(int)
{
    const int saved = errno;
    const char byte = 1;
    const ssize_t ignored = ::write(interruptPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

} // namespace

std::unique_ptr<QSocketNotifier> watchInterrupts(std::function<void()> onFirst,
                                                 std::function<void()> onSecond)
{
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    auto notifier = std::make_unique<QSocketNotifier>(interruptPipe[0], QSocketNotifier::Read);
    auto count = std::make_shared<int>(0);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                     [onFirst, onSecond, count] {
                         char bytes[16];
                         const ssize_t n = ::read(interruptPipe[0], bytes, sizeof bytes);
                         for (ssize_t i = 0; i < n && *count < 2; ++i)
                             ++*count == 1 ? onFirst() : onSecond();
                     });
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    return notifier;
}

// Why the file is no image, in the flasher's words.
QString imageProblemText(const QString &path, const firmware::FirmwareImage &image)
{
    using Problem = firmware::FirmwareImage::Problem;
    switch (image.problem) {
    case Problem::None:
        break;
    case Problem::Missing:
        return QStringLiteral("no such file");
    case Problem::NotRegular:
        return QFileInfo(path).isDir() ? QStringLiteral("is a directory, not a firmware file")
                                       : QStringLiteral("not a regular file");
    case Problem::CannotOpen:
        return QStringLiteral("cannot open: %1").arg(image.detail);
    case Problem::ReadFailed:
        return QStringLiteral("cannot read it whole: %1").arg(image.detail);
    case Problem::TooLarge:
        return QStringLiteral("The file is too large: %1 bytes (at most %2 bytes).")
            .arg(image.detail)
            .arg(firmware::MaxImageSize);
    case Problem::TooShort:
        return QStringLiteral("too short for a firmware image: %1 bytes").arg(image.data.size());
    case Problem::BadSignature:
        return QStringLiteral("not a firmware image: starts with %1, not %2")
            .arg(image.detail, firmware::signatureText());
    }
    return {};
}

ymodem::UploadOptions uploadOptions(const CommandLine &command)
{
    ymodem::UploadOptions options;
    options.retries = command.retries;
    options.stopOnCancel = true;
    options.timing.firstPause = command.firstPause;
    options.timing.secondPause = command.secondPause;
    options.timing.replyLimit = command.replyLimit;
    if (command.timingScale != 1.0)
        options.timing = scaledTiming(options.timing, command.timingScale);
    return options;
}

} // namespace flash
