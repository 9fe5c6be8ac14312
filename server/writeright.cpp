#include "writeright.h"

bool WriteRight::claim(quint64 client, qint64 nowMs)
{
    const std::optional<quint64> current = holder(nowMs);
    if (current && *current != client)
        return false;
    m_holder = client;
    m_lastWriteMs = nowMs;
    return true;
}

void WriteRight::release(quint64 client)
{
    if (m_holder == client)
        m_holder.reset();
}

std::optional<quint64> WriteRight::holder(qint64 nowMs) const
{
    if (m_holder && nowMs - m_lastWriteMs < IdleLimitMs)
        return m_holder;
    return std::nullopt;
}
