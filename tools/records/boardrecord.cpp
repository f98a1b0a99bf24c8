#include "records/boardrecord.h"

#include <QHash>
#include <QJsonDocument>
#include <QUuid>

#include <algorithm>

namespace records {

namespace {

// Fixed namespace of the name-based ids of records written without one.
const QUuid ContentIdNamespace(QStringLiteral("{6f1c2a8e-3d47-4b9a-9e15-0c7d2f4b8a31}"));

// The record's fields by their JSON names; one table for reading and writing.
struct TextField
{
    const char *name;
    QString BoardRecord::*field;
};
struct NumberField
{
    const char *name;
    qint64 BoardRecord::*field;
};
struct SmallNumberField
{
    const char *name;
    int BoardRecord::*field;
};

const TextField TextFields[] = {
    {"id", &BoardRecord::id},           {"station", &BoardRecord::station},
    {"version", &BoardRecord::version}, {"slot", &BoardRecord::slot},
    {"label", &BoardRecord::label},     {"port", &BoardRecord::port},
    {"file", &BoardRecord::file},       {"sha256", &BoardRecord::sha256},
    {"started", &BoardRecord::started}, {"ended", &BoardRecord::ended},
    {"status", &BoardRecord::status},   {"phase", &BoardRecord::phase},
    {"message", &BoardRecord::message}, {"board", &BoardRecord::board},
    {"scanned", &BoardRecord::scanned},
};
const NumberField NumberFields[] = {
    {"seq", &BoardRecord::seq},
    {"bytes", &BoardRecord::bytes},
    {"duration_ms", &BoardRecord::durationMs},
    {"sent", &BoardRecord::sent},
    {"acknowledged", &BoardRecord::acknowledged},
};
const SmallNumberField SmallNumberFields[] = {
    {"schema", &BoardRecord::schema},
    {"resends", &BoardRecord::resends},
    {"latency_ms", &BoardRecord::latencyMs},
};

bool isCount(const QJsonValue &value)
{
    return value.isDouble() && value.toDouble() >= 0 &&
           value.toDouble() == qint64(value.toDouble());
}

using NamedTexts = std::initializer_list<std::pair<const char *, QString *>>;

// An object of texts (the adapter, a board flashed before), when it holds
// nothing but the texts named, so that it is written back as it was read.
bool readTexts(const QJsonValue &value, NamedTexts texts)
{
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const bool named = std::any_of(texts.begin(), texts.end(), [&it](const auto &text) {
            return it.key() == QLatin1String(text.first);
        });
        if (!it.value().isString() || !named)
            return false;
    }
    for (const auto &[name, text] : texts)
        *text = object.value(QLatin1String(name)).toString();
    return value.isObject() && !object.isEmpty();
}

QJsonObject textsObject(NamedTexts texts)
{
    QJsonObject object;
    for (const auto &[name, text] : texts)
        if (!text->isEmpty())
            object.insert(QLatin1String(name), *text);
    return object;
}

// The boot line, when the object holds nothing but its text and a count, so
// that it is written back as it was read.
bool readBoot(const QJsonValue &value, BootLine *boot)
{
    const QJsonObject object = value.toObject();
    if (object.isEmpty())
        return false;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const bool line = it.key() == QLatin1String("line") && !it.value().toString().isEmpty();
        const bool ms = it.key() == QLatin1String("ms") && isCount(it.value());
        if (!line && !ms)
            return false;
    }
    boot->line = object.value(QLatin1String("line")).toString();
    boot->ms = object.contains(QLatin1String("ms"))
                   ? qint64(object.value(QLatin1String("ms")).toDouble())
                   : -1;
    return value.isObject();
}

// Each JSON name's field, found by one lookup: every forwarded record is
// read here, and comparing each of its keys with every name in the tables
// was the largest share of reading it.
struct FieldOfName
{
    QString BoardRecord::*text = nullptr;
    qint64 BoardRecord::*number = nullptr;
    int BoardRecord::*smallNumber = nullptr;
};

const QHash<QString, FieldOfName> &fieldsByName()
{
    static const QHash<QString, FieldOfName> byName = [] {
        QHash<QString, FieldOfName> fields;
        for (const TextField &text : TextFields)
            fields[QLatin1String(text.name)].text = text.field;
        for (const NumberField &number : NumberFields)
            fields[QLatin1String(number.name)].number = number.field;
        for (const SmallNumberField &number : SmallNumberFields)
            fields[QLatin1String(number.name)].smallNumber = number.field;
        return fields;
    }();
    return byName;
}

// A plain field, when the value has its type.
bool readPlainField(const FieldOfName &field, const QJsonValue &value, BoardRecord *record)
{
    if (field.text && value.isString())
        record->*field.text = value.toString();
    else if (field.number && isCount(value))
        record->*field.number = qint64(value.toDouble());
    else if (field.smallNumber && isCount(value))
        record->*field.smallNumber = value.toInt();
    else
        return false;
    return true;
}

bool hasText(const QString &text)
{
    return !text.trimmed().isEmpty();
}

} // namespace

bool BoardRecord::isValid(QString *why) const
{
    const QString problem = !hasText(station)  ? QStringLiteral("no station")
                            : !hasText(status) ? QStringLiteral("no status")
                                               : QString();
    if (why)
        *why = problem;
    return problem.isEmpty();
}

BoardRecord BoardRecord::fromJson(const QJsonObject &object)
{
    BoardRecord record;
    record.schema = -1; // written only if it was there
    const QHash<QString, FieldOfName> &fields = fieldsByName();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString key = it.key();
        const QJsonValue value = it.value();
        const auto field = fields.constFind(key);
        bool known = field != fields.cend() && readPlainField(*field, value, &record);
        if (key == QLatin1String("usb")) {
            UsbAdapter &usb = record.usb;
            known =
                readTexts(value, {{"vid", &usb.vid}, {"pid", &usb.pid}, {"serial", &usb.serial}});
        } else if (key == QLatin1String("flashed_before")) {
            FlashedBefore &before = record.flashedBefore;
            known = readTexts(value, {{"station", &before.station},
                                      {"ended", &before.ended},
                                      {"unchecked", &before.unchecked}});
        } else if (key == QLatin1String("boot")) {
            known = readBoot(value, &record.boot);
        }
        if (!known)
            record.unknownFields.insert(key, value);
    }
    if (record.id.isEmpty()) {
        // QJsonObject keeps its keys sorted, so the compact form is canonical.
        const QByteArray canonical = QJsonDocument(object).toJson(QJsonDocument::Compact);
        record.contentId_ =
            QUuid::createUuidV5(ContentIdNamespace, canonical).toString(QUuid::WithoutBraces);
    }
    return record;
}

QJsonObject BoardRecord::toJson() const
{
    QJsonObject object = unknownFields;
    for (const TextField &text : TextFields)
        if (!(this->*text.field).isEmpty())
            object.insert(QLatin1String(text.name), this->*text.field);
    for (const NumberField &number : NumberFields)
        if (this->*number.field >= 0)
            object.insert(QLatin1String(number.name), this->*number.field);
    for (const SmallNumberField &number : SmallNumberFields)
        if (this->*number.field >= 0)
            object.insert(QLatin1String(number.name), this->*number.field);
    if (!usb.isEmpty())
        object.insert(QStringLiteral("usb"), usb.toJson());
    if (!boot.isEmpty())
        object.insert(QStringLiteral("boot"), boot.toJson());
    if (!flashedBefore.isEmpty())
        object.insert(QStringLiteral("flashed_before"), flashedBefore.toJson());
    return object;
}

QJsonObject BootLine::toJson() const
{
    QJsonObject object;
    if (!line.isEmpty())
        object.insert(QStringLiteral("line"), line);
    if (ms >= 0)
        object.insert(QStringLiteral("ms"), ms);
    return object;
}

QJsonObject UsbAdapter::toJson() const
{
    UsbAdapter copy = *this;
    return textsObject({{"vid", &copy.vid}, {"pid", &copy.pid}, {"serial", &copy.serial}});
}

QString minuteOf(const QString &utc)
{
    return utc.left(16).replace(QLatin1Char('T'), QLatin1Char(' '));
}

QJsonObject FlashedBefore::toJson() const
{
    FlashedBefore copy = *this;
    return textsObject(
        {{"station", &copy.station}, {"ended", &copy.ended}, {"unchecked", &copy.unchecked}});
}

QByteArray BoardRecord::toLine() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

bool BoardRecord::fromLine(const QByteArray &line, BoardRecord *record)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    *record = fromJson(document.object());
    return true;
}

} // namespace records
