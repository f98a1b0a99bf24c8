#pragma once

// Whether a board was already flashed with this image: a board that comes
// back to the fixture (a reworked one, or one put in twice by mistake) is
// found by its own identity or by its label, whichever the station knows.
//
// The station asks through its forwarder, which holds the connection on a
// thread of its own: Forwarder::askPriorOk() returns at once and the answer
// comes back as Forwarder::priorOkAnswered. A mailbox carries questions and
// answers across the threads under a standard mutex, where the thread
// sanitizer sees the hand-over (Qt's event queue locks inside Qt).

#include <QMetaType>
#include <QSqlDatabase>
#include <QString>

#include <deque>
#include <mutex>
#include <vector>

namespace records {

struct PriorOkQuestion
{
    QString ref;     // the asker's own name for the question, given back with the answer
    QString board;   // the board's own identity; empty when unknown
    QString scanned; // the code scanned from its label; empty when none
    QString sha256;  // the image
};

struct PriorOk
{
    enum Kind
    {
        CannotTell, // the database is out of reach: `why`
        None,
        Found
    };
    PriorOkQuestion question;
    Kind kind = CannotTell;
    QString station; // Found: the newest such record's station
    QString ended;   // and when it ended
    QString why;
};

// The newest ok record of the same board (same board, or same scanned code)
// with the same image, through an open connection. False on a failed query;
// a question that names no board finds none.
bool priorOk(const QSqlDatabase &db, const PriorOkQuestion &question, PriorOk *answer,
             QString *error);

// Questions to the forwarder's thread, or answers from it.
template <typename T> class Mailbox
{
public:
    void post(const T &item)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(item);
    }
    std::vector<T> takeAll()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<T> taken(items_.begin(), items_.end());
        items_.clear();
        return taken;
    }

private:
    std::mutex mutex_;
    std::deque<T> items_;
};

} // namespace records

Q_DECLARE_METATYPE(records::PriorOkQuestion)
Q_DECLARE_METATYPE(records::PriorOk)
