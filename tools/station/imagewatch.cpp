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
      diskSha256_(loadedSha256), watcher_(new QFileSystemWatcher(this))
{
    stamp_ = stampOf(path_);
    // Editors and build tools replace a file by renaming another over it,
    // which ends a watch on the file itself: its folder tells.
    watcher_->addPath(path_);
    watcher_->addPath(QFileInfo(path_).absolutePath());
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, &ImageWatch::look);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &ImageWatch::look);
}

void ImageWatch::look()
{
    if (!watcher_->files().contains(path_) && QFileInfo::exists(path_))
        watcher_->addPath(path_);
    // Other files come and go in the folder: read the image again only when
    // it looks changed.
    const QString stamp = stampOf(path_);
    if (stamp == stamp_ && !stamp.isEmpty())
        return;
    stamp_ = stamp;
    const QString now = sha256Of(path_);
    if (now == diskSha256_)
        return;
    diskSha256_ = now;
    emit changed(loadedSha256_, diskSha256_);
}

} // namespace station
