#include "requestqueue.h"

#include <QCoreApplication>

#include <algorithm>

namespace readingloop {

QString ExchangeResult::error() const
{
    if (expired)
        return QCoreApplication::translate("readingloop", "The request waited too long for the instrument.");
    return failure == protocol::LinkFailure::None ? QString() : protocol::message(failure);
}

bool RequestQueue::push(Entry entry)
{
    if (m_size >= MaxTotal)
        return false;
    std::deque<Entry> &waiting = m_byClient[entry.client];
    if (int(waiting.size()) >= MaxPerClient)
        return false;
    if (waiting.empty())
        m_turns.push_back(entry.client);
    waiting.push_back(std::move(entry));
    ++m_size;
    return true;
}

std::optional<RequestQueue::Entry> RequestQueue::take()
{
    if (m_turns.empty())
        return std::nullopt;
    const quint64 client = m_turns.front();
    m_turns.pop_front();
    const auto found = m_byClient.find(client);
    Entry entry = std::move(found->second.front());
    found->second.pop_front();
    --m_size;
    if (found->second.empty())
        m_byClient.erase(found);
    else
        m_turns.push_back(client);
    return entry;
}

int RequestQueue::cancel(quint64 client)
{
    const auto found = m_byClient.find(client);
    if (found == m_byClient.end())
        return 0;
    const int dropped = int(found->second.size());
    m_byClient.erase(found);
    m_turns.erase(std::remove(m_turns.begin(), m_turns.end(), client), m_turns.end());
    m_size -= dropped;
    return dropped;
}

void RequestQueue::clear()
{
    m_byClient.clear();
    m_turns.clear();
    m_size = 0;
}

} // namespace readingloop
