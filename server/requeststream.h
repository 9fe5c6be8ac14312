#pragma once

#include "requestframer.h"

#include <QByteArray>
#include <QStringList>

#include <deque>
#include <functional>

// One client's requests in the instrument's own protocol, from its bytes to the instrument
// and back, with back-pressure rather than buffering: at most MaxInFlight requests go on
// at a time; whole requests read beyond that wait here, in order, and go as replies free
// room; and while any wait, the client is not read, so its further bytes stay in the
// kernel's buffer and slow the sender down. Nothing is forgotten and nothing is unbounded:
// at most one read's worth of requests waits here.
class RequestStream
{
public:
    static constexpr int MaxInFlight = 16;
    static constexpr int ReadSliceBytes = 4096;
    // How often an endpoint looks for requests that stalled half-way.
    static constexpr int ExpiryCheckMs = 100;

    // The monotonic clock the framer's deadlines count on.
    static qint64 nowMs();

    // Reads at most this many bytes at a time; empty when nothing waits.
    using Read = std::function<QByteArray(qint64 maxBytes)>;
    using Submit = std::function<void(const QByteArray &request)>;

    // Sends on what may go and reads what may be read, until the client has its fill in
    // flight or has nothing more to say. Returns the framer's lines for the log.
    QStringList pump(const Read &read, const Submit &submit, qint64 nowMs);
    // A request has been answered (or failed): room for the next.
    void answered();
    // Drops a request still incomplete after its time; lines for the log.
    QStringList expire(qint64 nowMs) { return m_framer.expire(nowMs).dropped; }
    // Whether the client's bytes should be read now.
    bool wantsInput() const { return m_waiting.empty() && m_inFlight < MaxInFlight; }
    int inFlight() const { return m_inFlight; }

private:
    RequestFramer m_framer;
    std::deque<QByteArray> m_waiting;
    int m_inFlight = 0;
};
