#pragma once

// The figures of kvt-bench, one function each. A function returns false only
// when its measurement could not run (after telling the report why); a goal
// missed is a result like any other.

#include "report.h"

#include "ymodem/line.h"
#include "ymodem/upload.h"

#include <QString>
#include <QVector>

namespace bench {

struct Config
{
    bool quick = false;
    QString workDir;   // scratch files: images, the simulators' logs
    QString simTool;   // kvt-bootloader-sim
    QString flashTool; // kvt-flash
    QVector<int> instantSizes;
    QVector<int> pacedSizes;
    int stallSize = 0;
    int portsImageSize = 0;
    QVector<int> portCounts;
    int stationBoards = 0;
    int stationImageSize = 0;
    int paceBaud = ymodem::line::BaudRate;
    QString recordsTool; // kvt-records
    int recordsBacklog = 0;
    int summaryRecords = 0;
};

// The device's own pauses shortened: the handshake is no part of these
// figures, and the session's limits stay as the window has them.
ymodem::UploadTiming shortHandshake();

// The image file of `size` bytes in the scratch directory, written once.
QString imageFile(const Config &config, int size);

bool runIdleWait(const Config &config, Report &report);
bool runTurnaround(const Config &config, Report &report);
bool runPacedLine(const Config &config, Report &report);
bool runStalls(const Config &config, Report &report);
bool runParallelPorts(const Config &config, Report &report);
bool runStation(const Config &config, Report &report);
bool runStationWindow(const Config &config, Report &report);
bool runStationWindow(const Config &config, Report &report, bool forwarding);
bool runAdapterLatency(const Config &config, Report &report);
bool runRecords(const Config &config, Report &report);
bool runSoak(const Config &config, Report &report);

} // namespace bench
