// What the system says about serial ports, in the words a user reads.

#include "flash/serialports.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

class TestSerialPorts : public QObject
{
    Q_OBJECT

private slots:
    void whyAPortCannotBeOpened();
    void whatSysfsSaysOfATerminal_data();
    void whatSysfsSaysOfATerminal();
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

void TestSerialPorts::whatSysfsSaysOfATerminal_data()
{
    QTest::addColumn<QString>("subsystem"); // none: sysfs has no entry for it
    QTest::addColumn<bool>("hasDevice");
    QTest::addColumn<QString>("why");
    QTest::newRow("a port of some hardware") << "tty" << true << "";
    QTest::newRow("the kernel's own terminal")
        << "tty" << false << "not a serial port (/dev/null, a terminal with no port behind it)";
    QTest::newRow("another class")
        << "mem" << false << "not a serial port (/dev/null, a mem device)";
    QTest::newRow("unknown to the system")
        << "" << false << "not a serial port (/dev/null, a device the system does not know)";
}

// Any character device is read through sysfs by its number, so /dev/null
// stands for a port here, with a sysfs tree of the test's own.
void TestSerialPorts::whatSysfsSaysOfATerminal()
{
    QFETCH(QString, subsystem);
    QFETCH(bool, hasDevice);
    QFETCH(QString, why);
    QTemporaryDir sysfs;
    struct stat null = {};
    QVERIFY(::stat("/dev/null", &null) == 0);
    const QString entry = sysfs.filePath(
        QStringLiteral("dev/char/%1:%2").arg(major(null.st_rdev)).arg(minor(null.st_rdev)));
    QVERIFY(QDir().mkpath(subsystem.isEmpty() ? sysfs.filePath("dev/char") : entry));
    if (!subsystem.isEmpty())
        QVERIFY(QDir().mkpath(sysfs.filePath("class/" + subsystem)) &&
                QFile::link(sysfs.filePath("class/" + subsystem), entry + "/subsystem"));
    if (hasDevice)
        QVERIFY(QDir().mkpath(entry + "/device"));
    qputenv("KVT_SYSFS_ROOT", QFile::encodeName(sysfs.path()));
    const QString problem = flash::serialPortProblem("/dev/null");
    qunsetenv("KVT_SYSFS_ROOT");
    QCOMPARE(problem, why);
}

QTEST_GUILESS_MAIN(TestSerialPorts)
#include "tst_serialports.moc"
