#pragma once

// What people call a slot. Stations name a slot by its entry under
// /dev/serial/by-path, which is long and mostly the same for every slot of a
// hub: pci-0000:00:14.0-usb-0:1.4.12:1.0-port0. The screens show the part that
// differs (1.4.12) and the records' tools accept it back, so both read names
// the same way, cut at the same separators.

#include <QChar>
#include <QHash>
#include <QString>
#include <QStringList>

namespace records {

// "-", ":", "_" and "/": where the parts of an entry name meet.
bool isSlotSeparator(QChar c);

// Slot names shortened to the part that differs between them, cut at the
// separators: the entries pci-0000:00:14.0-usb-0:1.4.12:1.0-port0 and
// …-usb-0:1.4.3:1.0-port0 are "1.4.12" and "1.4.3". A name alone, or one that
// nothing tells apart, stays whole.
QHash<QString, QString> shortNames(const QStringList &names);

// Slot names compared as a person reads them: runs of digits by their value,
// so "port-2" comes before "port-10" and hub port 1.1.9 before 1.1.10,
// whatever the locale.
bool slotNameBefore(const QString &a, const QString &b);

// Whether `part` stands in `slot` as whole parts: starting at its start or
// after a separator, ending at its end or before one. "1.1.7" is in
// pci-0000:00:14.0-usb-0:1.1.7:1.0-port0; "1.1" and "1.7" are not.
bool slotHasPart(const QString &slot, const QString &part);

} // namespace records
