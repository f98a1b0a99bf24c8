#include "records/journal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QUuid>

namespace records {

namespace {

// Fixed namespace of the name-based ids of records written without one.
const QUuid LegacyRecordNamespace(QStringLiteral("{6f1c2a8e-3d47-4b9a-9e15-0c7d2f4b8a31}"));

// A line is a record only if it parses whole as a JSON object.
bool parseLine(const QByteArray &line, QJsonObject *record)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    *record = document.object();
    return true;
}

} // namespace

bool readJournal(const QString &path, JournalContents *contents, QString *error)
{
    // A device (a journal on /dev/full, say) would be read for ever.
    if (QFileInfo::exists(path) && !QFileInfo(path).isFile()) {
        *error = QStringLiteral("cannot read %1: not a regular file").arg(path);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *contents = JournalContents{};
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.trimmed().isEmpty())
            continue;
        QJsonObject record;
        if (parseLine(line, &record))
            contents->records.append(record);
        else
            ++contents->skipped;
    }
    return true;
}

QString recordId(const QJsonObject &record)
{
    const QString id = record.value(QStringLiteral("id")).toString();
    if (!id.isEmpty())
        return id;
    // QJsonObject keeps its keys sorted, so the compact form is canonical.
    const QByteArray canonical = QJsonDocument(record).toJson(QJsonDocument::Compact);
    return QUuid::createUuidV5(LegacyRecordNamespace, canonical).toString(QUuid::WithoutBraces);
}

qint64 lastSeq(const QString &path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return -1;
    // A record is well under a kilobyte; the tail holds the last few whole.
    const qint64 tail = 64 * 1024;
    if (file.size() > tail)
        file.seek(file.size() - tail);
    QList<QByteArray> lines = file.readAll().split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        QJsonObject record;
        if (parseLine(*line, &record) && record.contains(QStringLiteral("seq")))
            return record.value(QStringLiteral("seq")).toVariant().toLongLong();
    }
    return -1;
}

QString defaultStateDir()
{
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // XDG paths must be absolute; a relative one is ignored for the default.
    const QString base = QDir::isAbsolutePath(state) ? state : QDir::homePath() + "/.local/state";
    return base + "/kvt";
}

QString defaultJournalPath()
{
    return defaultStateDir() + "/records.jsonl";
}

QString defaultDatabaseUrl()
{
    return "sqlite:" + defaultStateDir() + "/records.sqlite";
}

} // namespace records
