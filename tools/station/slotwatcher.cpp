#include "slotwatcher.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <sys/stat.h>

namespace station {

SlotWatcher::SlotWatcher(const QString &folder, int settleMs, QObject *parent)
    : QObject(parent), folder_(QDir(folder).absolutePath()), settleMs_(settleMs)
{}

bool SlotWatcher::start(QString *why)
{
    const QFileInfo info(folder_);
    QString problem;
    if (!info.exists())
        problem = QStringLiteral("%1 does not exist (no adapter plugged in yet, or no udev?)");
    else if (!info.isDir())
        problem = QStringLiteral("%1 is not a folder");
    else if (!info.isReadable() || !info.isExecutable())
        problem = QStringLiteral("%1 cannot be read: permission denied");
    if (!problem.isEmpty()) {
        if (why)
            *why = problem.arg(folder_);
        return false;
    }
    watcher_ = new QFileSystemWatcher(this);
    watcher_->addPath(folder_);
    // udev removes the folder with its last entry; the parent tells when it
    // comes back.
    watcher_->addPath(QFileInfo(folder_).absolutePath());
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &SlotWatcher::rescan);
    rescan();
    return true;
}

QHash<QString, SlotWatcher::Entry> SlotWatcher::readFolder() const
{
    QHash<QString, Entry> found;
    const QDir dir(folder_);
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        struct stat link = {}, target = {};
        // A board is a device node, or a symlink to one; anything else in
        // the folder is passed over, as is a link whose target is not there.
        if (::lstat(path.constData(), &link) != 0 || ::stat(path.constData(), &target) != 0 ||
            !(S_ISCHR(target.st_mode) || S_ISBLK(target.st_mode)))
            continue;
        Entry entry;
        entry.device = QFileInfo(dir.filePath(name)).canonicalFilePath();
        entry.identity =
            (quint64(link.st_ino) << 32) ^ quint64(target.st_ino) ^ quint64(link.st_ctim.tv_nsec);
        found.insert(name, entry);
    }
    return found;
}

void SlotWatcher::rescan()
{
    const QHash<QString, Entry> now = readFolder();
    for (const QString &slot : entries_.keys()) {
        const auto seen = now.constFind(slot);
        if (seen == now.cend() || seen->identity != entries_[slot].identity)
            forget(slot);
    }
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (entries_.contains(it.key()))
            continue;
        Entry entry = it.value();
        entry.settle = new QTimer(this);
        entry.settle->setSingleShot(true);
        entry.settle->setTimerType(Qt::PreciseTimer); // the settle time is a minimum
        const QString slot = it.key();
        connect(entry.settle, &QTimer::timeout, this, [this, slot] { settled(slot); });
        entry.settle->start(settleMs_);
        entries_.insert(slot, entry);
    }
    // The folder may have gone and come back (udev removes by-path when the
    // last adapter goes): keep watching it.
    if (watcher_ && !watcher_->directories().contains(folder_) && QFileInfo::exists(folder_))
        watcher_->addPath(folder_);
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

} // namespace station
