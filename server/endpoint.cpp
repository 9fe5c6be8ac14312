#include "endpoint.h"

#include "instrumentowner.h"

#include <QTcpServer>
#include <QTcpSocket>

quint64 ClientTable::add(Endpoint *endpoint)
{
    const quint64 id = m_nextId++;
    m_clients.emplace(id, endpoint);
    return id;
}

void ClientTable::remove(quint64 id)
{
    m_clients.erase(id);
}

Endpoint *ClientTable::endpointOf(quint64 id) const
{
    const auto found = m_clients.find(id);
    return found == m_clients.end() ? nullptr : found->second;
}

int ClientTable::countOf(const Endpoint *endpoint) const
{
    int count = 0;
    for (const auto &entry : m_clients)
        count += entry.second == endpoint ? 1 : 0;
    return count;
}

Endpoint::Endpoint(const QString &name, const QString &label, ClientTable &clients, InstrumentOwner *owner, QObject *parent)
    : QObject(parent)
    , m_clients(clients)
    , m_owner(owner)
    , m_name(name)
    , m_label(label)
{
}

void Endpoint::forget(quint64 client)
{
    m_clients.remove(client);
    m_owner->clientGone(client);
}

bool TcpEndpoint::listen(const QHostAddress &address, quint16 port, QString *error)
{
    m_server = new QTcpServer(this);
    if (!m_server->listen(address, port)) {
        *error = QStringLiteral("cannot listen on %1 port %2 (%3): %4")
                     .arg(address.toString())
                     .arg(port)
                     .arg(name(), m_server->errorString());
        delete m_server;
        m_server = nullptr;
        return false;
    }
    m_server->setMaxPendingConnections(MaxClients);
    connect(m_server, &QTcpServer::newConnection, this, &TcpEndpoint::accept);
    return true;
}

void TcpEndpoint::stop()
{
    while (!m_connections.empty())
        drop(m_connections.begin()->first);
    delete m_server;
    m_server = nullptr;
}

void TcpEndpoint::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        if (clients() >= MaxClients) {
            emit log(QStringLiteral("%1 endpoint: client from %2 refused: %3 clients already")
                         .arg(name(), socket->peerAddress().toString())
                         .arg(MaxClients));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const quint64 id = m_clients.add(this);
        // What a client sends beyond this waits in the kernel, which slows the sender down.
        socket->setReadBufferSize(readBufferBytes());
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, [this, id] {
            if (TcpConnection *found = connectionOf(id))
                readable(*found);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] { drop(id); });
        m_connections.emplace(id, connection(id, socket));
    }
}

TcpConnection *TcpEndpoint::connectionOf(quint64 client) const
{
    const auto found = m_connections.find(client);
    return found == m_connections.end() ? nullptr : found->second.get();
}

bool TcpEndpoint::send(TcpConnection &connection, const QByteArray &bytes)
{
    QTcpSocket *socket = connection.socket();
    socket->write(bytes);
    if (socket->bytesToWrite() > MaxUnsentBytes) {
        drop(connection.id(), QStringLiteral("it leaves its replies unread"));
        return false;
    }
    return true;
}

void TcpEndpoint::drop(quint64 client, const QString &why)
{
    const auto found = m_connections.find(client);
    if (found == m_connections.end())
        return;
    // Out of the map first, so that nothing the closing sets off finds it half gone.
    const std::unique_ptr<TcpConnection> connection = std::move(found->second);
    m_connections.erase(found);
    if (!why.isEmpty())
        emit log(QStringLiteral("client %1 closed: %2").arg(client).arg(why));
    forget(client);
    QTcpSocket *socket = connection->socket();
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}
