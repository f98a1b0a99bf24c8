#pragma once

// What the bench prints: a heading per figure, free lines of detail, and
// figures with a goal, each marked met or MISSED and gathered in a closing
// table. A missed goal is printed, never hidden; it does not change the exit
// status, which only tells whether every measurement could run.

#include <QString>
#include <QVector>

namespace bench {

class Report
{
public:
    void heading(const QString &title);
    void detail(const QString &text);
    // A figure whose goal is "at most `limit`", both in `unit`.
    void figure(const QString &name, double value, double limit, const QString &unit, int decimals);
    // A figure that could not be measured: the run goes on with the next one.
    void failure(const QString &name, const QString &why);

    void summary() const;
    int missedCount() const;
    int failureCount() const { return failures_; }

private:
    struct Row
    {
        QString name;
        QString value;
        QString goal;
        QString verdict;
    };

    QVector<Row> rows_;
    int failures_ = 0;
};

void print(const QString &line);

} // namespace bench
