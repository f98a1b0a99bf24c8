#include "exitstatus.h"

#include <QSet>

namespace programs {

using Outcome = flash::FlashResult::Outcome;

int exitStatusFor(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Succeeded:
        return ExitSuccess;
    case Outcome::TimedOut:
        return ExitTimedOut;
    case Outcome::Refused:
        return ExitRefused;
    case Outcome::Cancelled:
        return ExitCancelled;
    case Outcome::OpenFailed:
    case Outcome::PortFailed:
    case Outcome::Unplugged:
        return ExitPortFailed;
    case Outcome::Stopped:
        return ExitInterrupted;
    case Outcome::NoBoot:
        return ExitNoBoot;
    case Outcome::Mismatch:
        return ExitMismatch;
    }
    return ExitMixed;
}

int exitStatusFor(const QVector<Outcome> &outcomes)
{
    QSet<int> statuses;
    for (const Outcome outcome : outcomes)
        statuses.insert(exitStatusFor(outcome));
    if (statuses.size() > 1)
        return ExitMixed;
    return statuses.isEmpty() ? ExitSuccess : *statuses.cbegin();
}

bool printUnwritten(const QVector<records::BoardRecord> &unwritten, QTextStream &err)
{
    for (const records::BoardRecord &record : unwritten)
        err << record.toLine() << '\n';
    err.flush();
    return !unwritten.isEmpty();
}

} // namespace programs
