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

QHash<QString, QString> slotLabels(const QStringList &names, const QHash<QString, QString> &given)
{
    QHash<QString, QString> labels = shortNames(names);
    for (auto it = labels.begin(); it != labels.end(); ++it)
        it.value() = given.value(it.key(), it.value());
    return labels;
}

} // namespace station
