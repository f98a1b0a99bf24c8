#include "kvt-flash/traceview.h"

#include "flash/uploadtext.h"

namespace flash {

namespace {

constexpr int BytesPerRow = 32;

// "[    1.234] /dev/ttyUSB0 ": the seconds since the port was opened.
QString stamp(const station::Slot &slot)
{
    return QStringLiteral("[%1] ").arg(double(slot.progress.elapsedMs) / 1000.0, 9, 'f', 3) +
           slot.name + QLatin1Char(' ');
}

} // namespace

TraceView::TraceView(station::Station &station, QTextStream &err, QObject *parent)
    : QObject(parent), err_(err)
{
    using station::Slot;
    using station::Station;
    connect(&station, &Station::boardTraced, this, [this](const Slot &slot, const QString &text) {
        line(slot, QStringLiteral("   ") + text);
    });
    connect(&station, &Station::boardProgressed, this, [this](const Slot &slot) {
        if (phases_.value(slot.name, ymodem::UploadPhase::NotStarted) == slot.progress.phase)
            return;
        phases_[slot.name] = slot.progress.phase;
        line(slot, QStringLiteral("-- ") + uploadtext::stepName(slot.progress.phase));
    });
    // Continuation rows line up under the first row's offset.
    connect(&station, &Station::boardBytes, this,
            [this](const Slot &slot, bool outgoing, const QByteArray &bytes) {
                QStringList rows;
                for (int at = 0; at < bytes.size(); at += BytesPerRow)
                    rows.append(QStringLiteral("%1  ").arg(at, 4, 16, QLatin1Char('0')) +
                                QString::fromLatin1(bytes.mid(at, BytesPerRow).toHex(' ')));
                const QString indent(stamp(slot).size() + 2, QLatin1Char(' '));
                line(slot, (outgoing ? QStringLiteral("> ") : QStringLiteral("< ")) +
                               rows.join(QLatin1Char('\n') + indent));
            });
    connect(&station, &Station::boardFinished, this, [this](const Slot &slot) {
        phases_.remove(slot.name);
        line(slot, QStringLiteral("-- %1: %2").arg(slot.last.status, slot.last.message));
        if (!slot.lastOk() && !slot.lastResult.detail.isEmpty())
            line(slot, QStringLiteral("   the system said: ") + slot.lastResult.detail);
    });
}

void TraceView::line(const station::Slot &slot, const QString &text)
{
    err_ << stamp(slot) << text << '\n';
    err_.flush();
}

} // namespace flash
