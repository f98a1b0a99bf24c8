// The options of kvt-bootloader-sim, their help text and their checks.

#include "tooloptions.h"

#include "firmwareimage.h"

#include <QCommandLineParser>

#include <climits>

namespace {

bool readInt(const QCommandLineParser &parser, const QString &name, int minimum, int maximum,
             int *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int parsed = parser.value(name).toInt(&ok);
    if (!ok || parsed < minimum || parsed > maximum)
        return false;
    *value = parsed;
    return true;
}

// The name of the first number option with a bad value, or an empty string.
QString readNumbers(const QCommandLineParser &parser, ToolSettings *settings)
{
    BootloaderSimOptions &sim = settings->sim;
    const struct
    {
        const char *name;
        int minimum;
        int *value;
        int maximum = INT_MAX;
    } numbers[] = {
        {"nak-block", 1, &sim.nakBlock},
        {"drop-ack", 1, &sim.dropAckBlock},
        {"cancel-at", 1, &sim.cancelAtBlock},
        {"close-after", 1, &sim.closeAfterBlock},
        {"reply-delay", 0, &sim.replyDelayMs},
        {"erase-delay", 0, &sim.eraseDelayMs},
        {"pace", 1, &sim.paceBaud},
        {"boot-delay", 0, &sim.bootDelayMs},
        {"adapter-latency", 0, &sim.adapterLatencyMs},
        {"c-interval", 1, &sim.cIntervalMs},
        {"stall-timeout", 0, &sim.stallTimeoutMs},
        {"baud", 1, &settings->baud},
        {"timeout", 1, &settings->timeoutMs},
        // Every image the updater takes: the signature at least, 1 GiB at most.
        {"image-size", firmware::SignatureSize, &settings->imageSize, int(firmware::MaxImageSize)},
    };
    for (const auto &number : numbers)
        if (!readInt(parser, QLatin1String(number.name), number.minimum, number.maximum,
                     number.value))
            return QLatin1String(number.name);
    return {};
}

} // namespace

void addToolOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        "Plays a device's bootloader on a pseudo-terminal (or a serial device) and receives\n"
        "firmware uploads one after another until interrupted. It prints where it listens,\n"
        "then one line per upload that ends (complete, cancelled, failed) and any fault of\n"
        "the host's; --verbose prints every frame as well.\n"
        "Exit status: 0 when interrupted, or with --once after a complete upload; 64 for a wrong\n"
        "command line; 1 otherwise.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"device", "Serve this serial device instead of a new pseudo-terminal.", "path"},
        {"baud", QStringLiteral("Line speed of --device (default %1).").arg(ymodem::line::BaudRate),
         "rate"},
        {"link",
         "While running, make the line reachable as this symlink (refused if it exists); it "
         "goes when the simulator ends, like a board unplugged.",
         "path"},
        {"output", "Write each received image to this file (replaced per upload).", "file"},
        {"once", "Exit after the first upload: 0 if it completed."},
        {"timeout", "Give up (status 1) when no upload completed within this time.", "ms"},
        {"verbose", "Print a line per block and every other step."},
        {"make-image", "Write a valid demo image (deterministic content) to this file and exit.",
         "file"},
        {"image-size",
         QStringLiteral("Size of the --make-image image (default %1).")
             .arg(ToolSettings::DefaultImageSize),
         "bytes"},
        {"silent", "Never send a byte."},
        {"nak-block", "Answer data block N with NAK the first time it arrives.", "N"},
        {"drop-ack", "Store data block N but leave out its first ACK.", "N"},
        {"garbage", "Send a few stray bytes before the first \"C\"."},
        {"cancel-at", "Answer data block N with CAN CAN and give up.", "N"},
        {"nak-first-eot", "Answer the first EOT with NAK."},
        {"reply-delay", "Wait this long before every answer.", "ms"},
        {"erase-delay", "Wait this much longer before answering the header block.", "ms"},
        {"pace", "Take as long as a UART at this speed would.", "baud"},
        {"boot-line",
         "After the closing block, the new firmware prints this line (as its application does "
         "when it starts).",
         "text"},
        {"boot-delay", "The new firmware starts this long after the closing block (default 0).",
         "ms"},
        {"boot-garbage",
         "After the closing block, the new firmware prints binary noise and a 5000-byte line, "
         "then a long line every 50 ms for ever."},
        {"adapter-latency",
         "Hold the answers the way a USB-serial adapter (FTDI) holds received bytes: until this "
         "long after the first held byte, or until 62 bytes are held.",
         "ms"},
        {"c-interval", "Pause between two \"C\" while waiting for the header (default 1000).",
         "ms"},
        {"close-after", "Close the line once data block N is in.", "N"},
        {"stall-timeout", "Drop an unfinished frame after this silence (default 1000, 0: never).",
         "ms"},
    });
}

QString readToolSettings(const QCommandLineParser &parser, ToolSettings *settings)
{
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first());
    const QString badNumber = readNumbers(parser, settings);
    if (!badNumber.isEmpty())
        return QStringLiteral("bad value for --%1: %2").arg(badNumber, parser.value(badNumber));
    if (parser.isSet("image-size") && !parser.isSet("make-image"))
        return QStringLiteral("--image-size goes with --make-image");
    BootloaderSimOptions &sim = settings->sim;
    sim.silent = parser.isSet("silent");
    sim.garbageBeforeC = parser.isSet("garbage");
    sim.nakFirstEot = parser.isSet("nak-first-eot");
    sim.bootLine = parser.value("boot-line").toUtf8();
    sim.bootGarbage = parser.isSet("boot-garbage");
    settings->once = parser.isSet("once");
    settings->verbose = parser.isSet("verbose");
    settings->device = parser.value("device");
    settings->output = parser.value("output");
    settings->link = parser.value("link");
    settings->imagePath = parser.value("make-image");
    return {};
}
