#include "records/journal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QUuid>

namespace records {

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
        BoardRecord record;
        if (!BoardRecord::fromLine(line, &record))
            ++contents->damaged;
        else if (!record.isValid())
            ++contents->invalid;
        else
            contents->records.append(record);
    }
    return true;
}

bool looksLikeJournal(const JournalContents &contents)
{
    // A station that crashed twice leaves two torn lines in a short journal.
    constexpr int TornLinesTolerated = 2;
    const int records = contents.records.size();
    const int others = contents.damaged + contents.invalid;
    return records > 0 && (others <= TornLinesTolerated || others <= records);
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
        BoardRecord record;
        if (BoardRecord::fromLine(*line, &record) && record.seq >= 0)
            return record.seq;
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
