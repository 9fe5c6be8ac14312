#pragma once

#include <QtGlobal>

#include <optional>

// Many readers, one writer: the first client whose write is accepted holds the right to
// write until it disconnects or a while passes without a write from it; another client's
// write meanwhile is refused. Clients are numbered by the server, across all its endpoints.
class WriteRight
{
public:
    static constexpr qint64 IdleLimitMs = 10000;

    // Whether `client` may write now (`nowMs` on a monotonic clock). When it may, the write
    // counts: the right is claimed, or held on for another IdleLimitMs. A refused write
    // changes nothing.
    bool claim(quint64 client, qint64 nowMs);
    // The client is gone: a right it held is free.
    void release(quint64 client);
    // Who holds the right at `nowMs`.
    std::optional<quint64> holder(qint64 nowMs) const;

private:
    std::optional<quint64> m_holder;
    qint64 m_lastWriteMs = 0;
};
