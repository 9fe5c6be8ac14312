#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// Cuts what one client sends into whole requests of the instrument's protocol. The protocol
// has no framing of its own, but the command code fixes each request's length, so a request
// is whole once that many bytes have come. A byte that is no command code is dropped alone
// (framing goes on with the next byte), and a request still incomplete a while after its
// first byte is dropped: a client that stalls mid-request must not hold up its later ones.
class RequestFramer
{
public:
    // How long a request may take to arrive whole.
    static constexpr qint64 IncompleteLimitMs = 1000;

    struct Result
    {
        QVector<QByteArray> requests;  // whole requests, in order
        QStringList dropped;           // what was dropped, and why, one line each
    };

    // Takes what arrived at `nowMs` (a monotonic clock).
    Result feed(const QByteArray &bytes, qint64 nowMs);
    // Drops a request still incomplete IncompleteLimitMs after its first byte.
    Result expire(qint64 nowMs);
    // When expire() has something to do next, or -1 when nothing is pending.
    qint64 expiresAtMs() const;

private:
    QByteArray m_pending;  // the start of one request, never more than its length
    qint64 m_startedMs = 0;
};
