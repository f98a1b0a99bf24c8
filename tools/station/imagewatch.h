#pragma once

// Tells when the image file on disk is no longer the bytes the station
// loaded: rebuilt, replaced or removed, and when it holds them again. The
// station goes on flashing what it loaded (every record names that image's
// SHA-256); the operator should know that the file now says otherwise.
//
// A file being written or copied over passes through states nobody meant
// (empty, half written): it is read only once it has stood still for a
// moment, so what is told is the file as its writer left it.

#include <QObject>
#include <QString>
#include <QTimer>

class QFileSystemWatcher;

namespace station {

class ImageWatch : public QObject
{
    Q_OBJECT

public:
    // How long the file's size and times must stay the same before it is read.
    static constexpr int QuietMs = 500;

    ImageWatch(const QString &path, const QString &loadedSha256, QObject *parent = nullptr);

    // The SHA-256 of the file as last told; empty when it is gone.
    QString diskSha256() const { return diskSha256_; }

signals:
    // The file's content changed from what was last told (at first, the
    // loaded image): `diskSha256` is empty when the file is gone, and equals
    // `loadedSha256` when the loaded bytes are back.
    void changed(const QString &loadedSha256, const QString &diskSha256);

private:
    void stir();
    void settle();

    const QString path_;
    const QString loadedSha256_;
    QString diskSha256_;
    QString stamp_; // size and times when last looked at
    QFileSystemWatcher *watcher_;
    QTimer quiet_; // runs while the file moves
};

} // namespace station
