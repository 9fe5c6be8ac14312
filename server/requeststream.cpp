#include "requeststream.h"

#include "schedule.h"

qint64 RequestStream::nowMs()
{
    constexpr qint64 NsPerMs = 1000000;
    return monotonicNs() / NsPerMs;
}

QStringList RequestStream::pump(const Read &read, const Submit &submit, qint64 nowMs)
{
    QStringList dropped;
    for (;;) {
        while (!m_waiting.empty() && m_inFlight < MaxInFlight) {
            ++m_inFlight;
            const QByteArray request = std::move(m_waiting.front());
            m_waiting.pop_front();
            submit(request);
        }
        if (!wantsInput())
            break;
        const QByteArray bytes = read(ReadSliceBytes);
        if (bytes.isEmpty())
            break;
        const RequestFramer::Result framed = m_framer.feed(bytes, nowMs);
        dropped += framed.dropped;
        m_waiting.insert(m_waiting.end(), framed.requests.cbegin(), framed.requests.cend());
    }
    return dropped;
}

void RequestStream::answered()
{
    if (m_inFlight > 0)
        --m_inFlight;
}
