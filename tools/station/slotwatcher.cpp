#include "slotwatcher.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace station {

namespace {

// udev makes a link under a temporary name and renames it over the old one.
bool isTemporaryName(const QString &name)
{
    return name.startsWith(QLatin1String(".#"));
}

// What a folder's watch reports: its entries coming, going, renamed or
// changed (udev's change events touch the link), and the folder itself
// removed or moved away.
constexpr uint32_t FolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                  IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The folder itself when it exists, else the nearest folder above it.
QString nearestExisting(const QString &folder)
{
    QString path = folder;
    while (!QFileInfo(path).exists() && path != QLatin1String("/"))
        path = QFileInfo(path).absolutePath();
    return path;
}

// Where the folder's watch goes while it is missing: the nearest folder
// above it (a file in the way of the path is watched for from its folder).
QString nearestFolder(const QString &folder)
{
    QString path = folder;
    while (!QFileInfo(path).isDir() && path != QLatin1String("/"))
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
    : SlotSource(parent), folder_(QDir(folder).absolutePath()), settleMs_(settleMs),
      tag_(std::move(tag))
{}

SlotWatcher::~SlotWatcher()
{
    delete notifier_; // before its descriptor goes
    if (inotify_ >= 0)
        ::close(inotify_);
}

bool SlotWatcher::start(QString *why)
{
    QString problem = unwatchableFolder(folder_);
    if (problem.isEmpty()) {
        inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_ < 0)
            problem = QStringLiteral("cannot watch %1: %2")
                          .arg(folder_, QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (!problem.isEmpty()) {
        if (why)
            *why = problem;
        return false;
    }
    notifier_ = new QSocketNotifier(inotify_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SlotWatcher::onEvents);
    rescan();
    return true;
}

// Every event means "look again": what changed is read from the folder
// itself, so a lost or merged event costs nothing. Only a watch the kernel
// dropped (its folder removed) or events lost wholesale need more: the
// watches concerned are armed anew.
void SlotWatcher::onEvents()
{
    alignas(inotify_event) char buffer[16 * 1024];
    ssize_t length = 0;
    while ((length = ::read(inotify_, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= length;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            at += ssize_t(sizeof event) + event.len;
            if (event.mask & IN_Q_OVERFLOW) {
                for (const QString &path : watches_.keys())
                    unwatch(path);
            }
            if (!(event.mask & IN_IGNORED))
                continue;
            for (auto it = watches_.begin(); it != watches_.end();)
                it = it->descriptor == event.wd ? watches_.erase(it) : std::next(it);
        }
    }
    rescan();
}

// The folder's own watch dies with it; while it is missing, the nearest
// folder above tells when it (or the next folder down) is made again. The
// one above the folder also tells of the folder removed or replaced, and
// comes first: once it is armed, the folder cannot change unheard.
QStringList SlotWatcher::foldersToWatch() const
{
    const QString nearest = nearestFolder(folder_);
    if (nearest != folder_)
        return {nearest};
    return {QFileInfo(folder_).absolutePath(), folder_};
}

// A folder made between "the nearest folder is X" and "X is watched" is
// never reported, nor is one made again while the old one's watch was
// still listed. So: arm, then look again at what exists, until the two
// agree. Each round follows a change someone else made meanwhile.
void SlotWatcher::watchFolderOrAbove()
{
    for (;;) {
        const QStringList wanted = foldersToWatch();
        for (const QString &path : watches_.keys())
            if (!wanted.contains(path))
                unwatch(path);
        bool armed = true;
        for (const QString &path : wanted)
            armed = arm(path) && armed;
        if (armed && foldersToWatch() == wanted)
            return;
    }
}

namespace {

bool fileIdOf(const QString &path, dev_t *device, ino_t *inode)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    *device = info.st_dev;
    *inode = info.st_ino;
    return true;
}

} // namespace

// True once `path` is watched and was the same folder before and after its
// watch was armed; false when it changed meanwhile (look again).
bool SlotWatcher::arm(const QString &path)
{
    FileId before, after;
    if (!fileIdOf(path, &before.device, &before.inode))
        return false;
    const auto known = watches_.constFind(path);
    if (known != watches_.cend() && known->file == before)
        return true;
    const int descriptor =
        ::inotify_add_watch(inotify_, QFile::encodeName(path).constData(), FolderEvents);
    if (descriptor < 0) {
        // Gone or replaced by something else meanwhile: look again. Any
        // other refusal (the system's limit of watches) will not pass by
        // looking again.
        if (errno == ENOENT || errno == ENOTDIR)
            return false;
        qWarning("cannot watch %s: %s", qPrintable(path), std::strerror(errno));
        return true;
    }
    // The kernel gives a folder watched already its existing watch.
    const auto sharedWith = [this, descriptor](const QString &other) {
        return watches_.value(other).descriptor == descriptor;
    };
    if (!fileIdOf(path, &after.device, &after.inode) || !(after == before)) {
        const QStringList paths = watches_.keys();
        if (std::none_of(paths.cbegin(), paths.cend(), sharedWith))
            ::inotify_rm_watch(inotify_, descriptor);
        return false;
    }
    if (!sharedWith(path))
        unwatch(path); // the watch of the folder this path named before
    watches_.insert(path, Watch{descriptor, after});
    return true;
}

void SlotWatcher::unwatch(const QString &path)
{
    const auto it = watches_.constFind(path);
    if (it == watches_.cend())
        return;
    // A watch the kernel dropped already is refused here, which is fine.
    ::inotify_rm_watch(inotify_, it->descriptor);
    watches_.erase(it);
}

// Every entry is reported, boards or not: what leads to no serial port is
// for the station to name, and an entry that vanishes silently leaves the
// operator guessing.
bool SlotWatcher::readEntry(const QString &name, Entry *entry) const
{
    const QString path = QDir(folder_).filePath(name);
    const QByteArray encoded = QFile::encodeName(path);
    struct stat link = {}, target = {};
    if (::lstat(encoded.constData(), &link) != 0)
        return false; // gone already
    const bool leads = ::stat(encoded.constData(), &target) == 0;
    const bool isDevice = leads && (S_ISCHR(target.st_mode) || S_ISBLK(target.st_mode));
    entry->linkStamp = (quint64(link.st_ino) << 32) ^ quint64(link.st_ctim.tv_sec) ^
                       (quint64(link.st_ctim.tv_nsec) << 20);
    entry->type = leads ? target.st_mode & S_IFMT : 0;
    entry->rdev = isDevice ? target.st_rdev : 0;
    // The rest costs more; an entry whose link did not change is still
    // what it was.
    const auto known = entries_.constFind(name);
    if (known != entries_.cend() && known->linkStamp == entry->linkStamp &&
        known->rdev == entry->rdev && known->type == entry->type) {
        entry->device = known->device;
        entry->tag = known->tag;
        return true;
    }
    const QFileInfo info(path);
    entry->device = leads ? info.canonicalFilePath() : info.symLinkTarget();
    entry->tag = tag_ && isDevice ? tag_(entry->device) : QString();
    return true;
}

QHash<QString, SlotWatcher::Entry> SlotWatcher::readFolder() const
{
    QHash<QString, Entry> found;
    // Hidden names too: udev's temporary names are passed over by name, here
    // alone, and not by the accident of their leading dot.
    const QStringList names = QDir(folder_).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
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
