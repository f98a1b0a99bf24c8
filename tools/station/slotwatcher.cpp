#include "slotwatcher.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <sys/stat.h>

namespace station {

namespace {

// udev makes a link under a temporary name and renames it over the old one.
bool isTemporaryName(const QString &name)
{
    return name.startsWith(QLatin1String(".#"));
}

// The folder itself when it exists, else the nearest folder above it.
QString nearestExisting(const QString &folder)
{
    QString path = folder;
    while (!QFileInfo(path).exists() && path != QLatin1String("/"))
        path = QFileInfo(path).absolutePath();
    return path;
}

} // namespace

QString unwatchableFolder(const QString &folder)
{
    const QString existing = nearestExisting(folder);
    const QFileInfo info(existing);
    if (!info.isDir())
        return QStringLiteral("%1 is not a folder").arg(existing);
    if (!info.isReadable() || !info.isExecutable())
        return QStringLiteral("%1 cannot be read: permission denied").arg(existing);
    return {};
}

SlotWatcher::SlotWatcher(const QString &folder, int settleMs, DeviceTag tag, QObject *parent)
    : QObject(parent), folder_(QDir(folder).absolutePath()), settleMs_(settleMs),
      tag_(std::move(tag))
{}

bool SlotWatcher::start(QString *why)
{
    const QString problem = unwatchableFolder(folder_);
    if (!problem.isEmpty()) {
        if (why)
            *why = problem;
        return false;
    }
    watcher_ = new QFileSystemWatcher(this);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &SlotWatcher::rescan);
    rescan();
    return true;
}

// The folder's own watch dies with it; while it is missing, the nearest
// folder above tells when it (or the next folder down) is made again.
void SlotWatcher::watchFolderOrAbove()
{
    QStringList wanted{nearestExisting(folder_)};
    if (wanted.first() == folder_)
        wanted.append(QFileInfo(folder_).absolutePath());
    const QStringList watched = watcher_->directories();
    for (const QString &path : watched)
        if (!wanted.contains(path))
            watcher_->removePath(path);
    for (const QString &path : wanted)
        if (!watched.contains(path))
            watcher_->addPath(path);
}

bool SlotWatcher::readEntry(const QString &name, Entry *entry) const
{
    const QString path = QDir(folder_).filePath(name);
    const QByteArray encoded = QFile::encodeName(path);
    struct stat link = {}, target = {};
    // A board is a device node, or a symlink to one; anything else in the
    // folder is passed over, as is a link whose target is not there.
    if (::lstat(encoded.constData(), &link) != 0 || ::stat(encoded.constData(), &target) != 0 ||
        !(S_ISCHR(target.st_mode) || S_ISBLK(target.st_mode)))
        return false;
    entry->linkStamp = (quint64(link.st_ino) << 32) ^ quint64(link.st_ctim.tv_sec) ^
                       (quint64(link.st_ctim.tv_nsec) << 20);
    entry->rdev = target.st_rdev;
    // The rest costs more; an entry whose link did not change is still
    // what it was.
    const auto known = entries_.constFind(name);
    if (known != entries_.cend() && known->linkStamp == entry->linkStamp &&
        known->rdev == entry->rdev) {
        entry->device = known->device;
        entry->tag = known->tag;
        return true;
    }
    entry->device = QFileInfo(path).canonicalFilePath();
    entry->tag = tag_ ? tag_(entry->device) : QString();
    return true;
}

QHash<QString, SlotWatcher::Entry> SlotWatcher::readFolder() const
{
    QHash<QString, Entry> found;
    const QStringList names =
        QDir(folder_).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        Entry entry;
        if (!isTemporaryName(name) && readEntry(name, &entry))
            found.insert(name, entry);
    }
    return found;
}

void SlotWatcher::rescan()
{
    // Watches first: an entry made between reading and watching is then
    // still seen by the next read.
    watchFolderOrAbove();
    setWaiting(!QFileInfo(folder_).isDir());
    const QHash<QString, Entry> now = readFolder();
    for (const QString &slot : entries_.keys()) {
        const auto seen = now.constFind(slot);
        if (seen == now.cend() || !seen->sameBoard(entries_[slot]))
            forget(slot);
        else
            entries_[slot].linkStamp = seen->linkStamp;
    }
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        if (!entries_.contains(it.key()))
            add(it.key(), it.value());
}

void SlotWatcher::add(const QString &slot, Entry entry)
{
    entry.settle = new QTimer(this);
    entry.settle->setSingleShot(true);
    entry.settle->setTimerType(Qt::PreciseTimer); // the settle time is a minimum
    connect(entry.settle, &QTimer::timeout, this, [this, slot] { settled(slot); });
    entry.settle->start(settleMs_);
    entries_.insert(slot, entry);
}

void SlotWatcher::forget(const QString &slot)
{
    const Entry entry = entries_.take(slot);
    delete entry.settle;
    if (entry.plugged)
        emit unplugged(slot);
}

void SlotWatcher::settled(const QString &slot)
{
    auto it = entries_.find(slot);
    if (it == entries_.end())
        return;
    it->plugged = true;
    emit plugged(slot, QDir(folder_).filePath(slot), it->device);
}

void SlotWatcher::setWaiting(bool waiting)
{
    if (waiting == waiting_)
        return;
    waiting_ = waiting;
    emit folderWaiting(waiting_);
}

} // namespace station
