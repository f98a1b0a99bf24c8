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
    }
    return ExitMixed;
}

int exitStatusFor(const QVector<flash::FlashResult> &results)
{
    QSet<int> statuses;
    for (const flash::FlashResult &result : results)
        statuses.insert(exitStatusFor(result.outcome));
    if (statuses.size() > 1)
        return ExitMixed;
    return statuses.isEmpty() ? ExitSuccess : *statuses.cbegin();
}

} // namespace programs
