// kvt-records: the stations' flashing records in one database. See
// kvt-records.1 and recordscommand.h.

#include "recordscommand.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvt-records"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KVT_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    return recordstool::runRecordsCommand(QCoreApplication::arguments(), out, err,
                                          ::isatty(STDOUT_FILENO) == 1);
}
