#include "flash/bootproof.h"

namespace flash {

namespace {

// Printable text only: control bytes become spaces, and what is no UTF-8
// shows as the replacement character.
QString cleaned(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes);
    for (QChar &c : text)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QLatin1Char(' ');
    return text.simplified().left(BootProof::MaxLineLength);
}

} // namespace

BootProof::BootProof(BootExpectation expectation) : expectation_(std::move(expectation)) {}

void BootProof::start(qint64 nowMs)
{
    startMs_ = nowMs;
}

bool BootProof::feed(const QByteArray &bytes, qint64 nowMs)
{
    for (const char byte : bytes) {
        if (matched())
            break;
        if (byte == '\n' || byte == '\r') {
            takeLine(partial_, nowMs);
            partial_.clear();
        } else if (partial_.size() < MaxLineLength * 4) {
            partial_.append(byte); // the rest of a line far too long is dropped
        }
    }
    return matched();
}

void BootProof::takeLine(const QByteArray &bytes, qint64 nowMs)
{
    const QString text = cleaned(bytes);
    if (text.isEmpty())
        return;
    lastLine_ = text;
    const QRegularExpressionMatch match = expectation_.pattern.match(text);
    if (!match.hasMatch())
        return;
    line_ = text;
    afterMs_ = nowMs - startMs_;
    board_ = match.captured(QStringLiteral("board")).left(MaxLineLength);
}

QString BootProof::failureText() const
{
    const QString last = lastLine_.isEmpty() && !partial_.isEmpty() ? cleaned(partial_) : lastLine_;
    return QStringLiteral("the new firmware did not start: no line matching %1 in %2 s; %3")
        .arg(expectation_.pattern.pattern())
        .arg(expectation_.withinMs / 1000.0)
        .arg(last.isEmpty() ? QStringLiteral("the device said nothing")
                            : QStringLiteral("last line: ") + last);
}

} // namespace flash
