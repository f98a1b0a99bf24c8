#pragma once

// One whole upload through one of the two hosts, the window or kvt-flash's
// PortFlasher, to a device already listening, with a LineProbe on the port
// and stamps at the upload's start and end.

#include "common.h"
#include "lineprobe.h"

#include "ymodem/upload.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace bench {

enum class Host
{
    Window,
    Flasher,
};

QString hostName(Host host);

struct UploadPlan
{
    Host host = Host::Window;
    QString portPath;
    QByteArray image;
    QString imagePath; // the same image as a file, for the window's dialog
    ymodem::UploadTiming timing;
    int limitMs = 60000;
    // Called at the upload's start and end stamps, on the host's thread.
    std::function<void()> started;
    std::function<void()> ended;
};

struct UploadResult
{
    bool succeeded = false;
    QString error;
    Stamp start; // the window: its task started; the flasher: start() called
    Stamp end;   // the window: the "Finish" box shown; the flasher: finished()
    double cpuPercent() const { return bench::cpuPercent(start, end); }
    double seconds() const { return (end.wallNs - start.wallNs) / 1e9; }
};

UploadResult runUpload(const UploadPlan &plan, LineProbe &probe);

} // namespace bench
