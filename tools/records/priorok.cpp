#include "records/priorok.h"

#include "records/recordschema.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace records {

bool priorOk(const QSqlDatabase &db, const PriorOkQuestion &question, PriorOk *answer,
             QString *error)
{
    *answer = PriorOk{};
    answer->question = question;
    answer->kind = PriorOk::None;
    QStringList names;
    QVariantList values{question.sha256.toLower()};
    for (const auto &[field, value] : {std::pair<QString, QString>{"board", question.board},
                                       std::pair<QString, QString>{"scanned", question.scanned}})
        if (!value.isEmpty()) {
            names.append(identityField(db, field) + " = ?");
            values.append(value);
        }
    if (names.isEmpty())
        return true;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // The sha256 index narrows an older table's rows to one image's before
    // their JSON is read.
    query.prepare(QStringLiteral("SELECT station, ended FROM board_records WHERE status = 'ok' "
                                 "AND sha256 = ? AND (%1) ORDER BY ended DESC LIMIT 1")
                      .arg(names.join(QStringLiteral(" OR "))));
    for (const QVariant &value : qAsConst(values))
        query.addBindValue(value);
    if (!query.exec()) {
        *error = QStringLiteral("cannot look for the board's records: ") +
                 query.lastError().text().simplified();
        return false;
    }
    if (query.next()) {
        answer->kind = PriorOk::Found;
        answer->station = query.value(0).toString();
        answer->ended = query.value(1).toString();
    }
    return true;
}

} // namespace records
