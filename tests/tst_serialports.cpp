// What the system says about serial ports, in the words a user reads.

#include "flash/serialports.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

class TestSerialPorts : public QObject
{
    Q_OBJECT

private slots:
    void whyAPortCannotBeOpened();
};

// Each refusal names its cause. Root opens anything, so the words are
// checked for the modes and lock files a user meets.
void TestSerialPorts::whyAPortCannotBeOpened()
{
    using flash::permissionText;
    QCOMPARE(permissionText("/dev/ttyUSB0", 0, 0, 020600),
             QStringLiteral("no access to /dev/ttyUSB0 (owner root, mode 0600): install the udev "
                            "rule (see README)"));
    QVERIFY(permissionText("/dev/ttyUSB0", 0, 0, 020660)
                .startsWith("permission denied: /dev/ttyUSB0 belongs to group root; join it"));
    QCOMPARE(flash::serialPortProblem("/dev/null"),
             QStringLiteral("not a serial port (a mem device)"));
    QCOMPARE(flash::lockFileOf("/dev/pts/7").section('/', -1), QStringLiteral("LCK..pts_7"));

    QTemporaryDir dir;
    const QString lock = dir.filePath("LCK..ttyUSB0");
    QCOMPARE(flash::lockHolderText(lock), QString()); // no lock file
    QProcess gone;
    gone.start("true", QStringList());
    QVERIFY(gone.waitForFinished());
    const qint64 dead = gone.processId();
    const struct
    {
        qint64 pid;
        QString words;
    } rows[] = {{dead, QStringLiteral("locked by %1, left by process %2 (owner root), which is no "
                                      "longer running; remove it")
                           .arg(lock)
                           .arg(dead)},
                {::getpid(), QStringLiteral("in use by another program (process %1, tst_flash, "
                                            "owner root)")
                                 .arg(::getpid())}};
    for (const auto &row : rows) {
        QFile file(lock);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray::number(row.pid) + "\ntst_flash\nhost\n");
        file.close();
        QCOMPARE(flash::lockHolderText(lock), row.words);
    }
}

QTEST_GUILESS_MAIN(TestSerialPorts)
#include "tst_serialports.moc"
