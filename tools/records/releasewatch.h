#pragma once

// The forwarder's eye on whether the station's image is still released: it
// reads the state through the forwarder's own connection at every reconnect
// and every `intervalMs`, so that an image withdrawn while a line runs shows
// within a minute. Lives on the forwarder's thread.

#include "records/releases.h"

#include <QObject>
#include <QTimer>

namespace records {

class ReleaseWatch : public QObject
{
    Q_OBJECT
public:
    // An empty `sha256` watches nothing.
    ReleaseWatch(const QString &sha256, int intervalMs, QObject *parent);

    bool isOn() const { return !sha256_.isEmpty(); }
    void start();
    void stop() { timer_.stop(); }
    // Reads the state now; false when the database did not answer at all.
    bool check(const QSqlDatabase &db);
    // Out of reach: cannot tell, for this reason.
    void outOfReach(const QString &why);
    const ReleaseState &state() const { return state_; }

signals:
    // Time to check again.
    void due();

private:
    QString sha256_;
    ReleaseState state_;
    QTimer timer_; // a child: it moves to the thread with the watch
};

} // namespace records
