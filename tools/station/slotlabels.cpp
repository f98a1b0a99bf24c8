#include "slotlabels.h"

#include <QFile>
#include <QRegularExpression>
#include <QTextStream>

namespace station {

bool readSlotLabels(const QString &path, QHash<QString, QString> *labels, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read the labels %1: %2").arg(path, file.errorString());
        return false;
    }
    static const QRegularExpression space(QStringLiteral("\\s+"));
    QHash<QString, QString> entryOf; // label -> entry
    QTextStream in(&file);
    for (int number = 1; !in.atEnd(); ++number) {
        const QString line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const int cut = line.indexOf(space);
        const QString where = QStringLiteral("%1 line %2: ").arg(path).arg(number);
        if (cut < 0) {
            *error = where + QStringLiteral("needs an entry and its label, such as "
                                            "'pci-0000:00:14.0-usb-0:1.4.12:1.0-port0 C4'");
            return false;
        }
        // An entry may be given as its path; the slot is its name.
        const QString entry = line.left(cut).section(QLatin1Char('/'), -1);
        const QString label = line.mid(cut).trimmed();
        if (labels->contains(entry)) {
            *error = where + QStringLiteral("%1 has a label already").arg(entry);
            return false;
        }
        if (entryOf.contains(label)) {
            *error =
                where + QStringLiteral("%1 is the label of %2 already").arg(label, entryOf[label]);
            return false;
        }
        labels->insert(entry, label);
        entryOf.insert(label, entry);
    }
    return true;
}

namespace {

bool isSeparator(QChar c)
{
    return c == QLatin1Char('-') || c == QLatin1Char(':') || c == QLatin1Char('_') ||
           c == QLatin1Char('/');
}

} // namespace

QHash<QString, QString> shortNames(const QStringList &names)
{
    QHash<QString, QString> labels;
    int prefix = names.size() < 2 ? 0 : int(names.first().size());
    int suffix = prefix;
    for (const QString &name : names) {
        const QString &first = names.first();
        int p = 0;
        while (p < prefix && p < name.size() && name[p] == first[p])
            ++p;
        int s = 0;
        while (s < suffix && s < name.size() && s < first.size() &&
               name[name.size() - 1 - s] == first[first.size() - 1 - s])
            ++s;
        prefix = p;
        suffix = s;
    }
    for (const QString &name : names) {
        int from = prefix;
        while (from > 0 && !isSeparator(name[from - 1]))
            --from; // never cut inside a part
        int to = name.size() - suffix;
        while (to < name.size() && !isSeparator(name[to]))
            ++to;
        const QString middle = to > from ? name.mid(from, to - from) : QString();
        labels.insert(name, middle.isEmpty() ? name : middle);
    }
    return labels;
}

bool slotNameBefore(const QString &a, const QString &b)
{
    int i = 0;
    int j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            const int startA = i;
            const int startB = j;
            while (i < a.size() && a.at(i).isDigit())
                ++i;
            while (j < b.size() && b.at(j).isDigit())
                ++j;
            const qulonglong numberA = a.mid(startA, i - startA).toULongLong();
            const qulonglong numberB = b.mid(startB, j - startB).toULongLong();
            if (numberA != numberB)
                return numberA < numberB;
        } else if (a.at(i) != b.at(j)) {
            return a.at(i) < b.at(j);
        } else {
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j || (a.size() - i == b.size() - j && a < b);
}

QHash<QString, QString> slotLabels(const QStringList &names, const QHash<QString, QString> &given)
{
    QHash<QString, QString> labels = shortNames(names);
    for (auto it = labels.begin(); it != labels.end(); ++it)
        it.value() = given.value(it.key(), it.value());
    return labels;
}

} // namespace station
