#include "requestframer.h"

#include "protocol.h"

namespace {

QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

RequestFramer::Result RequestFramer::feed(const QByteArray &bytes, qint64 nowMs)
{
    Result result = expire(nowMs);
    for (const char byte : bytes) {
        if (m_pending.isEmpty()) {
            if (!protocol::commandOf(quint8(byte))) {
                result.dropped.append(QStringLiteral("unknown command code %1 dropped").arg(hexOf(QByteArray(1, byte))));
                continue;
            }
            m_startedMs = nowMs;
        }
        m_pending.append(byte);
        const auto command = protocol::commandOf(quint8(m_pending.at(0)));
        if (m_pending.size() == protocol::requestLength(*command)) {
            result.requests.append(m_pending);
            m_pending.clear();
        }
    }
    return result;
}

RequestFramer::Result RequestFramer::expire(qint64 nowMs)
{
    Result result;
    if (!m_pending.isEmpty() && nowMs - m_startedMs >= IncompleteLimitMs) {
        const auto command = protocol::commandOf(quint8(m_pending.at(0)));
        result.dropped.append(QStringLiteral("request %1 dropped: %2 of its %3 bytes came within %4 s")
                                  .arg(hexOf(m_pending.left(1)))
                                  .arg(m_pending.size())
                                  .arg(protocol::requestLength(*command))
                                  .arg(IncompleteLimitMs / 1000.0));
        m_pending.clear();
    }
    return result;
}

qint64 RequestFramer::expiresAtMs() const
{
    return m_pending.isEmpty() ? -1 : m_startedMs + IncompleteLimitMs;
}
