#include "imagewatch.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>

namespace station {

namespace {

QString sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

// Size and times: what changes when the file is written or replaced.
QString stampOf(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    return QStringLiteral("%1 %2 %3")
        .arg(info.size())
        .arg(info.lastModified().toMSecsSinceEpoch())
        .arg(info.metadataChangeTime().toMSecsSinceEpoch());
}

} // namespace

ImageWatch::ImageWatch(const QString &path, const QString &loadedSha256, QObject *parent)
    : QObject(parent), path_(QFileInfo(path).absoluteFilePath()), loadedSha256_(loadedSha256),
      diskSha256_(loadedSha256), stamp_(stampOf(path_)), watcher_(new QFileSystemWatcher(this))
{
    // Editors and build tools replace a file by renaming another over it,
    // which ends a watch on the file itself: its folder tells.
    watcher_->addPath(path_);
    watcher_->addPath(QFileInfo(path_).absolutePath());
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, &ImageWatch::stir);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &ImageWatch::stir);
    quiet_.setSingleShot(true);
    quiet_.setInterval(QuietMs);
    connect(&quiet_, &QTimer::timeout, this, &ImageWatch::settle);
    // Read once anyway: the file may have changed between its load and now.
    quiet_.start();
}

// Every write restarts the wait: a copy in progress is never read.
void ImageWatch::stir()
{
    if (!watcher_->files().contains(path_) && QFileInfo::exists(path_))
        watcher_->addPath(path_);
    // Other files come and go in the folder: only a change of this one counts.
    const QString stamp = stampOf(path_);
    if (stamp == stamp_)
        return;
    stamp_ = stamp;
    quiet_.start();
}

void ImageWatch::settle()
{
    // A writer that the watch did not hear (a lost event, a write through a
    // mapping) still moves the size or the times.
    if (stampOf(path_) != stamp_)
        return stir();
    const QString now = sha256Of(path_);
    if (stampOf(path_) != stamp_) // written to while it was read
        return stir();
    if (now == diskSha256_)
        return;
    diskSha256_ = now;
    emit changed(loadedSha256_, diskSha256_);
}

} // namespace station
