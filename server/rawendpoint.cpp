#include "rawendpoint.h"

#include "instrumentowner.h"

#include <QTcpSocket>

RawEndpoint::RawEndpoint(ClientTable &clients, InstrumentOwner *owner, QObject *parent)
    : TcpEndpoint(QStringLiteral("raw"), QStringLiteral("raw"), clients, owner, parent)
{
    m_expiry.setInterval(RequestStream::ExpiryCheckMs);
    connect(&m_expiry, &QTimer::timeout, this, &RawEndpoint::expire);
    m_expiry.start();
}

void RawEndpoint::accepted(quint64 client)
{
    m_streams.emplace(client, RequestStream());
}

void RawEndpoint::readable(quint64 client)
{
    const auto found = m_streams.find(client);
    QTcpSocket *socket = socketOf(client);
    if (found == m_streams.end() || !socket)
        return;
    const QStringList dropped = found->second.pump(
        [socket](qint64 maxBytes) { return socket->read(maxBytes); },
        [this, client](const QByteArray &request) {
            counted();
            m_owner->request(client, request, false);
        },
        RequestStream::nowMs());
    for (const QString &line : dropped)
        emit log(QStringLiteral("client %1: %2").arg(client).arg(line));
}

void RawEndpoint::deliver(quint64 client, const QByteArray &reply)
{
    const auto found = m_streams.find(client);
    if (found == m_streams.end())
        return;
    found->second.answered();
    if (!reply.isEmpty() && !send(client, reply))
        return;
    // Requests read while the client had its fill in flight, and bytes left unread.
    readable(client);
}

void RawEndpoint::closed(quint64 client)
{
    m_streams.erase(client);
}

void RawEndpoint::expire()
{
    const qint64 now = RequestStream::nowMs();
    for (auto &entry : m_streams) {
        for (const QString &line : entry.second.expire(now))
            emit log(QStringLiteral("client %1: %2").arg(entry.first).arg(line));
    }
}
