#pragma once

// The command line of kvt-bootloader-sim: its options, their help and the
// settings they make.

#include "sim/bootloadersim.h"
#include "ymodem/line.h"

#include <QString>

class QCommandLineParser;

struct ToolSettings
{
    static constexpr int DefaultImageSize = 64 * 1024;

    BootloaderSimOptions sim;
    QString device;
    int baud = ymodem::line::BaudRate;
    QString output;
    bool once = false;
    bool verbose = false;
    int timeoutMs = 0;
    QString link;
    QString imagePath; // --make-image: write a demo image there and stop
    int imageSize = DefaultImageSize;
};

void addToolOptions(QCommandLineParser &parser);

// Fills `settings` from the processed command line; what is wrong with it,
// or an empty string.
QString readToolSettings(const QCommandLineParser &parser, ToolSettings *settings);
