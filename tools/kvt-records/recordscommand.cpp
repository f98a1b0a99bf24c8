#include "recordscommand.h"

#include "commandcontext.h"
#include "htmlreport.h"
#include "recordviews.h"
#include "releasecommands.h"

#include "records/databaseurl.h"
#include "records/journal.h"
#include "records/recentfailures.h"
#include "records/recordstore.h"
#include "records/summary.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>

namespace recordstool {

namespace {

// Records per transaction when importing: big enough to be quick, small
// enough that a huge journal does not hold one long transaction.
constexpr int ImportBatch = 5000;

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "The stations' flashing records in one database.\n\n"
        "Commands:\n"
        "  init                      create or bring up to date the records and releases\n"
        "                            tables (prints a station role's SQL for PostgreSQL)\n"
        "  import JOURNAL.jsonl...   add journals carried from stations; idempotent;\n"
        "                            a file that is mostly not records is refused\n"
        "  find TEXT                 records by id (prefix), USB serial, label, station,\n"
        "                            board, scanned code, slot (its entry or a part of it,\n"
        "                            as 1.1.7) or sha256 (8 hex digits or more of its\n"
        "                            start), newest first\n"
        "  summary                   boards, ok, failed, stopped, yield, median time,\n"
        "                            the most frequent failure causes\n"
        "  export --csv              every record as CSV\n"
        "  report --html FILE        one self-contained HTML page: yield per day, station,\n"
        "                            slot and image, failure causes, the failed boards\n"
        "  release IMAGE             release an image: lines may flash it\n"
        "  withdraw SHA256           withdraw a release (8 hex digits or more of its start)\n"
        "  releases                  the releases, newest first, withdrawn ones marked\n\n"
        "The database is the station's own unless --database names another (a SQLite\n"
        "file must exist: init makes it):\n"
        "  sqlite:PATH  or  postgresql://user@host:port/database?sslmode=verify-full\n"
        "Passwords go in ~/.pgpass, never in the URL.\n\n"
        "Exit statuses: 0 done (also an image already released or a release already\n"
        "withdrawn); 1 find matched nothing, or withdraw named no release or more than\n"
        "one; 2 a journal could not be read or is not one, or an image to release is\n"
        "not a firmware image; 3 the database could not be reached, refused, or is not\n"
        "there; 4 the report could not be written; 64 a wrong command line."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("See above."));
    parser.addOptions({
        {"database", "The database (default: " + records::defaultDatabaseUrl() + ").", "url"},
        {"json", "find: the records as the journal holds them; summary: one object per group; "
                 "releases: one object per release."},
        {"since", "Records started at or after T: 2026-12-07, 2026-12-07T09:30 (UTC), 7d, 12h.",
         "T"},
        {"until", "Records started before T.", "T"},
        {"by", "summary: group by day, hour, station, image or slot (default: day).", "group"},
        {"csv", "export: comma-separated values."},
        {"force", "import: also a file that does not look like a journal."},
        {"html", "report: write the page to this file.", "file"},
        {"role", "init: the name of the stations' PostgreSQL role (default: kvt_station).", "name"},
        {"note", "release: a note kept with the release.", "text"},
    });
}

bool readRange(Context &c, records::SummaryRange *range, int *status)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QString error;
    for (const auto &[option, bound] : {std::pair<QString, QString *>{"since", &range->since},
                                        std::pair<QString, QString *>{"until", &range->until}}) {
        if (c.parser.isSet(option) &&
            !records::parseTimeBound(c.parser.value(option), now, bound, &error)) {
            *status = usage(c.err, QStringLiteral("--%1: %2").arg(option, error));
            return false;
        }
    }
    return true;
}

QString rangeText(const Context &c)
{
    QStringList parts;
    if (c.parser.isSet("since"))
        parts << "since " + c.parser.value("since");
    if (c.parser.isSet("until"))
        parts << "until " + c.parser.value("until");
    return parts.isEmpty() ? QStringLiteral("all records") : parts.join(' ');
}

int runInit(Context &c, Connection &connection)
{
    records::RecordStore store(connection.db());
    QString error;
    if (!store.createSchema(&error))
        return databaseError(c, error);
    c.out << "The records and releases tables are ready in " << records::describeDatabase(c.url)
          << ".\n";
    if (store.isPostgres()) {
        const QString role = c.parser.isSet("role") ? c.parser.value("role") : "kvt_station";
        c.out << "\n" << records::stationRoleSql(role, c.url.database);
    }
    return ExitSuccess;
}

// "1 record", "2 records", "no record"
QString counted(int count, const QString &one, const QString &many)
{
    return count == 0 ? "no " + one
                      : QStringLiteral("%1 %2").arg(count).arg(count == 1 ? one : many);
}

int refuseJournal(Context &c, const QString &path, int records, int notRecords)
{
    const QString found =
        records + notRecords == 0
            ? QStringLiteral("empty")
            : counted(records, "record", "records") + " and " +
                  counted(notRecords, "line that is not a record", "lines that are not records");
    c.err << QStringLiteral("kvt-records: %1: %2: not a journal; nothing imported (--force "
                            "imports its records anyway)\n")
                 .arg(path, found);
    return ExitBadJournal;
}

int insertJournal(Context &c, records::RecordStore &store, const QString &path,
                  const QVector<records::BoardRecord> &valid, int *added)
{
    QString error;
    for (int first = 0; first < valid.size(); first += ImportBatch) {
        int inserted = 0;
        if (!store.insert(valid.mid(first, ImportBatch), &error, &inserted))
            return databaseError(c, QStringLiteral("%1: %2").arg(path, error));
        *added += inserted;
    }
    return ExitSuccess;
}

// One journal into the database: refused whole when it does not look like
// one, else its countable records.
int importJournal(Context &c, records::RecordStore &store, const QString &path)
{
    records::JournalContents journal;
    QString error;
    if (!records::readJournal(path, &journal, &error)) {
        c.err << "kvt-records: " << error << '\n';
        return ExitBadJournal;
    }
    const QVector<records::BoardRecord> &valid = journal.records;
    const int invalid = journal.invalid;
    if (!c.parser.isSet("force") && !records::looksLikeJournal(journal))
        return refuseJournal(c, path, valid.size(), journal.damaged + invalid);
    int added = 0;
    if (const int status = insertJournal(c, store, path, valid, &added); status != ExitSuccess)
        return status;
    c.out << QStringLiteral("%1: %2 record%3, %4 new, %5 already in the database")
                 .arg(path)
                 .arg(valid.size())
                 .arg(valid.size() == 1 ? "" : "s")
                 .arg(added)
                 .arg(valid.size() - added);
    if (journal.damaged > 0)
        c.out << QStringLiteral(", %1 damaged line(s) skipped").arg(journal.damaged);
    if (invalid > 0)
        c.out << ", " << counted(invalid, "line", "lines")
              << " without a station or status skipped";
    c.out << '\n';
    return ExitSuccess;
}

int runImport(Context &c, Connection &connection, const QStringList &journals)
{
    if (journals.isEmpty())
        return usage(c.err, QStringLiteral("import: name the journal files to import"));
    records::RecordStore store(connection.db());
    int status = ExitSuccess;
    for (const QString &path : journals) {
        const int result = importJournal(c, store, path);
        if (result == ExitDatabase)
            return result;
        status = qMax(status, result);
    }
    return status;
}

int runFind(Context &c, Connection &connection, const QStringList &words)
{
    if (words.size() != 1 || words.first().isEmpty())
        return usage(c.err, QStringLiteral("find: give one text to look for"));
    records::RecordStore store(connection.db());
    QVector<records::BoardRecord> found;
    QString error;
    if (!store.find(words.first(), &found, &error))
        return databaseError(c, error);
    if (c.parser.isSet("json")) {
        for (const records::BoardRecord &record : qAsConst(found))
            c.out << record.toLine() << '\n';
    } else if (!found.isEmpty())
        printRecordTable(c.out, found, c.terminal);
    if (!found.isEmpty())
        return ExitSuccess;
    c.err << "kvt-records: no records match " << words.first() << '\n';
    return ExitNothingFound;
}

int runSummary(Context &c, Connection &connection)
{
    records::Grouping by = records::Grouping::Day;
    if (c.parser.isSet("by") && !records::parseGrouping(c.parser.value("by"), &by))
        return usage(c.err, QStringLiteral("--by: '%1' is not day, hour, station, image or slot")
                                .arg(c.parser.value("by")));
    records::SummaryRange range;
    int status = ExitSuccess;
    if (!readRange(c, &range, &status))
        return status;
    records::Summary summary;
    QString error;
    if (!records::summarize(connection.db(), by, range, &summary, &error))
        return databaseError(c, error);
    if (c.parser.isSet("json"))
        printSummaryJson(c.out, summary);
    else
        printSummaryTable(c.out, summary, c.terminal);
    return ExitSuccess;
}

int runExport(Context &c, Connection &connection)
{
    if (!c.parser.isSet("csv"))
        return usage(c.err, QStringLiteral("export: say which format (--csv)"));
    records::SummaryRange range;
    int status = ExitSuccess;
    if (!readRange(c, &range, &status))
        return status;
    records::RecordStore store(connection.db());
    printCsvHeader(c.out);
    QString error;
    const auto row = [&](const records::BoardRecord &record) { printCsvRow(c.out, record); };
    if (!store.forEach(range.since, range.until, row, &error))
        return databaseError(c, error);
    return ExitSuccess;
}

int runReport(Context &c, Connection &connection)
{
    if (!c.parser.isSet("html"))
        return usage(c.err, QStringLiteral("report: name the page to write (--html FILE)"));
    records::SummaryRange range;
    int status = ExitSuccess;
    if (!readRange(c, &range, &status))
        return status;
    ReportContents contents;
    contents.database = records::describeDatabase(c.url);
    contents.range = rangeText(c);
    contents.made = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    QString error;
    const QSqlDatabase db = connection.db();
    if (!records::summarize(db, records::Grouping::Day, range, &contents.byDay, &error) ||
        !records::summarize(db, records::Grouping::Station, range, &contents.byStation, &error) ||
        !records::summarize(db, records::Grouping::Slot, range, &contents.bySlot, &error) ||
        !records::summarize(db, records::Grouping::Image, range, &contents.byImage, &error) ||
        !records::recentFailures(db, range, FailedBoardsShown, &contents.failedBoards, &error))
        return databaseError(c, error);
    QFile page(c.parser.value("html"));
    if (!page.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        page.write(htmlReport(contents).toUtf8()) < 0) {
        c.err << "kvt-records: cannot write " << page.fileName() << ": " << page.errorString()
              << '\n';
        return ExitBadOutput;
    }
    c.out << "Wrote " << page.fileName() << '\n';
    return ExitSuccess;
}

int runOnDatabase(Context &c, const QString &command, const QStringList &rest)
{
    // Opening a SQLite file that is not there makes an empty one: a mistyped
    // path would then read as a factory that flashed no board, and an import
    // would go where no one looks.
    if (command != "init" && c.url.kind == records::DatabaseUrl::Kind::Sqlite &&
        !QFileInfo::exists(c.url.path))
        return databaseError(c, QStringLiteral("no database at %1: kvt-records init --database "
                                               "sqlite:%1 makes one")
                                    .arg(c.url.path));
    Connection connection;
    QString error;
    if (!connection.open(c.url, &error))
        return databaseError(c, error);
    if (command == "init")
        return runInit(c, connection);
    // A station that has not forwarded yet has an empty database: it holds
    // no records rather than being an error.
    if (!records::RecordStore(connection.db()).ensureSchema(&error))
        return databaseError(c, error);
    if (command == "import") {
        // The table's owner brings an older table up to date; a station's
        // role may not, and its records go in all the same.
        records::upgradeRecordsTable(connection.db(), &error);
        return runImport(c, connection, rest);
    }
    if (isReleaseCommand(command))
        return runReleaseCommand(c, connection, command, rest);
    if (command == "find")
        return runFind(c, connection, rest);
    if (command == "summary")
        return runSummary(c, connection);
    if (command == "export")
        return runExport(c, connection);
    return runReport(c, connection);
}

} // namespace

int runRecordsCommand(const QStringList &arguments, QTextStream &out, QTextStream &err,
                      bool terminal)
{
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(arguments))
        return usage(err, parser.errorText());
    if (parser.isSet("help")) {
        out << parser.helpText();
        return ExitSuccess;
    }
    if (parser.isSet("version")) {
        out << "kvt-records " << QCoreApplication::applicationVersion() << '\n';
        return ExitSuccess;
    }
    QStringList words = parser.positionalArguments();
    static const QStringList Commands{"init",   "import",  "find",     "summary", "export",
                                      "report", "release", "withdraw", "releases"};
    if (words.isEmpty())
        return usage(err, QStringLiteral("name a command: ") + Commands.join(", "));
    const QString command = words.takeFirst();
    if (!Commands.contains(command))
        return usage(err, QStringLiteral("unknown command '%1'").arg(command));
    if (!QStringList{"import", "find", "release", "withdraw"}.contains(command) && !words.isEmpty())
        return usage(err, QStringLiteral("%1 takes no '%2'").arg(command, words.first()));
    Context context{parser, out, err, terminal, {}};
    QString error;
    const QString url =
        parser.isSet("database") ? parser.value("database") : records::defaultDatabaseUrl();
    if (!records::parseDatabaseUrl(url, &context.url, &error))
        return usage(err, error);
    const int status = runOnDatabase(context, command, words);
    out.flush();
    return status;
}

} // namespace recordstool
