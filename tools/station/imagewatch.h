#pragma once

// Tells when the image file on disk is no longer the bytes the station
// loaded: rebuilt, replaced or removed. The station goes on flashing what it
// loaded (every record names that image's SHA-256); the operator should know
// that the file now says otherwise.

#include <QObject>
#include <QString>

class QFileSystemWatcher;

namespace station {

class ImageWatch : public QObject
{
    Q_OBJECT

public:
    ImageWatch(const QString &path, const QString &loadedSha256, QObject *parent = nullptr);

    // The SHA-256 of the file as it is now; empty when it is gone.
    QString diskSha256() const { return diskSha256_; }

signals:
    // The file's content changed from what was last told (at first, the
    // loaded image); `diskSha256` is empty when the file is gone.
    void changed(const QString &loadedSha256, const QString &diskSha256);

private:
    void look();

    const QString path_;
    const QString loadedSha256_;
    QString diskSha256_;
    QString stamp_; // size and times when last read
    QFileSystemWatcher *watcher_;
};

} // namespace station
