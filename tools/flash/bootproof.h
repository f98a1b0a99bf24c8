#pragma once

// What proves that the new firmware runs: a line that the device's
// application prints once it starts, matching a pattern, within a time after
// the closing block was acknowledged. The bytes that arrive meanwhile are cut
// into lines at CR or LF; a line is kept to MaxLineLength characters (a
// device may send a megabyte without a line end, or never stop talking) and
// cleaned of control bytes and text that is no UTF-8, so that what a record
// carries is a short, printable line. A named group "board" in the pattern
// (SN=(?<board>[0-9A-F]+)) takes the board's own identity from the line.

#include <QByteArray>
#include <QRegularExpression>
#include <QString>

namespace flash {

struct BootExpectation
{
    QRegularExpression pattern; // not valid: no proof asked for
    qint64 withinMs = 10000;

    bool isSet() const { return pattern.isValid() && !pattern.pattern().isEmpty(); }
};

class BootProof
{
public:
    static constexpr int MaxLineLength = 200;

    explicit BootProof(BootExpectation expectation = {});

    // The closing block was acknowledged at `nowMs`.
    void start(qint64 nowMs);
    // Bytes from the device; true once a line matched.
    bool feed(const QByteArray &bytes, qint64 nowMs);
    bool matched() const { return afterMs_ >= 0; }
    qint64 deadline() const { return startMs_ + expectation_.withinMs; }
    qint64 withinMs() const { return expectation_.withinMs; }

    QString line() const { return line_; }      // the line that matched
    qint64 afterMs() const { return afterMs_; } // from the acknowledgement to it
    QString board() const { return board_; }
    // "the new firmware did not start: no line matching … in 10 s; last line: …"
    QString failureText() const;

private:
    void takeLine(const QByteArray &bytes, qint64 nowMs);

    BootExpectation expectation_;
    qint64 startMs_ = 0;
    QByteArray partial_; // after the last line end, at most MaxLineLength bytes
    QString lastLine_;
    QString line_;
    qint64 afterMs_ = -1;
    QString board_;
};

} // namespace flash
