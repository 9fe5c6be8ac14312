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

std::unique_ptr<TcpConnection> RawEndpoint::connection(quint64 client, QTcpSocket *socket)
{
    return std::make_unique<Client>(client, socket);
}

void RawEndpoint::readable(TcpConnection &connection)
{
    auto &client = static_cast<Client &>(connection);
    QTcpSocket *socket = client.socket();
    const QStringList dropped = client.stream.pump(
        [socket](qint64 maxBytes) { return socket->read(maxBytes); },
        [this, &client](const QByteArray &request) {
            counted();
            m_owner->request(client.id(), request, client.local());
        },
        RequestStream::nowMs());
    for (const QString &line : dropped)
        emit log(QStringLiteral("client %1: %2").arg(client.id()).arg(line));
}

void RawEndpoint::deliver(quint64 id, const QByteArray &reply)
{
    auto *client = static_cast<Client *>(connectionOf(id));
    if (!client)
        return;
    client->stream.answered();
    if (!reply.isEmpty() && !send(*client, reply))
        return;
    // Requests read while the client had its fill in flight, and bytes left unread.
    readable(*client);
}

void RawEndpoint::expire()
{
    const qint64 now = RequestStream::nowMs();
    for (const auto &entry : connections()) {
        auto &client = static_cast<Client &>(*entry.second);
        for (const QString &line : client.stream.expire(now))
            emit log(QStringLiteral("client %1: %2").arg(entry.first).arg(line));
    }
}
