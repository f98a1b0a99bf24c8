#pragma once

// What the operator calls a slot. A fixture may name its slots in a labels
// file, one line per slot:
//
//   # entry                                        label
//   pci-0000:00:14.0-usb-0:1.4.12:1.0-port0        C4
//
// Slots it does not name are called by the part of their entry name that
// differs between the slots: on a hub, the port (1.4.12), never a cut that
// hides it.

#include "records/slotnames.h"

#include <QHash>
#include <QString>
#include <QStringList>

namespace station {

// Entry name -> label. False with the reason (the line and what is wrong with
// it) when the file cannot be read or a line is not ENTRY LABEL, an entry is
// named twice, or two entries share a label.
bool readSlotLabels(const QString &path, QHash<QString, QString> *labels, QString *error);

// Shared with the records' tools, which must name slots as the screens do.
using records::shortNames;
using records::slotNameBefore;

// The label of each slot: the fixture's name where `given` has one, else its
// short name.
QHash<QString, QString> slotLabels(const QStringList &names, const QHash<QString, QString> &given);

} // namespace station
