#pragma once

#include "connection.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

class Endpoint;
class InstrumentOwner;
class QTcpServer;
class QTcpSocket;

// The server's clients across all its endpoints: one numbering, so that the right to write
// and the instrument's replies find their client whatever endpoint it came through.
class ClientTable
{
public:
    quint64 add(Endpoint *endpoint);
    void remove(quint64 id);
    Endpoint *endpointOf(quint64 id) const;
    int countOf(const Endpoint *endpoint) const;
    bool isEmpty() const { return m_clients.empty(); }

private:
    std::map<quint64, Endpoint *> m_clients;
    quint64 m_nextId = 1;
};

// One kind of endpoint with its clients, in the main thread: it frames what its clients
// send, hands whole requests to the instrument's owner and passes each reply to the client
// that asked.
class Endpoint : public QObject
{
    Q_OBJECT

public:
    // At most this many clients per endpoint; one more is closed at once.
    static constexpr int MaxClients = 16;
    // How much a client may leave unread of its replies before it is closed.
    static constexpr qint64 MaxUnsentBytes = 1024 * 1024;

    // `name`: for the log ("SCPI endpoint: ..."); `label`: the metrics' endpoint label.
    Endpoint(const QString &name, const QString &label, ClientTable &clients, InstrumentOwner *owner,
             QObject *parent = nullptr);

    QString name() const { return m_name; }
    QString label() const { return m_label; }
    int clients() const { return m_clients.countOf(this); }
    qint64 requests() const { return m_requests; }

    // The owner's reply to one of this endpoint's clients.
    virtual void deliver(quint64 client, const QByteArray &reply) = 0;
    // Closes every client, and the endpoint itself. Called before the endpoint is deleted,
    // while its clients' state is still whole.
    virtual void stop() = 0;

signals:
    void log(const QString &line);

protected:
    // A client is gone: the owner drops what it still had waiting.
    void forget(quint64 client);
    void counted() { ++m_requests; }

    ClientTable &m_clients;
    InstrumentOwner *m_owner;

private:
    QString m_name;
    QString m_label;
    qint64 m_requests = 0;
};

// An endpoint on a TCP port: listening, the client limit, sending with a bound on what a
// client leaves unread, and closing. It owns one connection per client, of the kind its
// subclass makes.
class TcpEndpoint : public Endpoint
{
    Q_OBJECT

public:
    using Endpoint::Endpoint;

    bool listen(const QHostAddress &address, quint16 port, QString *error);
    void stop() override;

protected:
    // The connection of a client just accepted, holding what this endpoint keeps for it; its
    // socket's input is bounded to `readBufferBytes()`.
    virtual std::unique_ptr<TcpConnection> connection(quint64 client, QTcpSocket *socket) = 0;
    // The client has bytes to read.
    virtual void readable(TcpConnection &connection) = 0;
    virtual qint64 readBufferBytes() const = 0;

    TcpConnection *connectionOf(quint64 client) const;
    const std::map<quint64, std::unique_ptr<TcpConnection>> &connections() const { return m_connections; }
    // False when the client was closed for leaving too much unread (its connection is gone).
    bool send(TcpConnection &connection, const QByteArray &bytes);
    // Closes the client; its connection is gone when this returns.
    void drop(quint64 client, const QString &why = QString());

private:
    void accept();

    QTcpServer *m_server = nullptr;
    std::map<quint64, std::unique_ptr<TcpConnection>> m_connections;
};
