#pragma once

#include "protocol.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <optional>

namespace readingloop {

class Turn;

// What one client exchange gave: the reply's bytes for a query (empty for a write), or why
// it failed. `expired`: the request waited for the instrument past its deadline and was
// never sent.
struct ExchangeResult
{
    protocol::LinkFailure failure = protocol::LinkFailure::None;
    bool expired = false;
    QByteArray reply;

    bool ok() const { return failure == protocol::LinkFailure::None && !expired; }
    // Why it failed, for a message; empty when it did not.
    QString error() const;
};

// A client's work at the instrument: it runs on the reading loop's thread when the
// client's turn comes, and reaches the instrument only through `turn`.
using Job = std::function<void(Turn &turn)>;

// The requests of many clients waiting for the instrument. Bounded as a whole and per
// client; taken in turn, one from each client that has any, so one client's backlog holds
// another's request up by at most one request; each with the monotonic time after which it
// is no longer worth sending; forgotten with their client when it goes.
class RequestQueue
{
public:
    static constexpr int MaxPerClient = 64;
    static constexpr int MaxTotal = 1024;

    struct Entry
    {
        quint64 client = 0;
        qint64 deadlineMs = 0;
        Job job;
    };

    // False when the client or the queue has no room left.
    bool push(Entry entry);
    // The next request in turn.
    std::optional<Entry> take();
    // Drops the requests of a client that has gone; how many.
    int cancel(quint64 client);
    void clear();
    int size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }

private:
    std::map<quint64, std::deque<Entry>> m_byClient;
    std::deque<quint64> m_turns;  // clients with requests waiting, the next one first
    int m_size = 0;
};

} // namespace readingloop
