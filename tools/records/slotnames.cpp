#include "records/slotnames.h"

namespace records {

bool isSlotSeparator(QChar c)
{
    return c == QLatin1Char('-') || c == QLatin1Char(':') || c == QLatin1Char('_') ||
           c == QLatin1Char('/');
}

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
        while (from > 0 && !isSlotSeparator(name[from - 1]))
            --from; // never cut inside a part
        int to = name.size() - suffix;
        while (to < name.size() && !isSlotSeparator(name[to]))
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

bool slotHasPart(const QString &slot, const QString &part)
{
    if (part.isEmpty())
        return false;
    for (int at = slot.indexOf(part); at >= 0; at = slot.indexOf(part, at + 1)) {
        const int end = at + part.size();
        if ((at == 0 || isSlotSeparator(slot[at - 1])) &&
            (end == slot.size() || isSlotSeparator(slot[end])))
            return true;
    }
    return false;
}

} // namespace records
