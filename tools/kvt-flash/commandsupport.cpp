#include "kvt-flash/commandsupport.h"

#include "flash/outcomes.h"
#include "flash/portflasher.h"

#include <QCoreApplication>
#include <QFileInfo>

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

int terminalRows()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0)
        return size.ws_row;
    return 0;
}

bool liveTerminal()
{
    const QByteArray term = qgetenv("TERM");
    return ::isatty(STDOUT_FILENO) == 1 && term != "dumb";
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

} // namespace flash
