#pragma once

#include <QtGlobal>

class QTcpSocket;

// One client of an endpoint, owned by the endpoint from the moment it comes until it goes:
// the number the server knows it by and how its writes are let through. Each kind of
// endpoint's connection adds what that endpoint keeps for a client (the framer of its
// requests and how many are in flight, its SCPI line, its HTTP request), so that a client's
// state is one object, gone in one step when the client goes.
class Connection
{
public:
    // A terminal's writes go through on its file permissions; a network client's need
    // --allow-writes, and the server's right to write while they go.
    enum class Writes { ByPermissions, ByRight };

    Connection(quint64 id, Writes writes)
        : m_id(id)
        , m_writes(writes)
    {
    }
    virtual ~Connection() = default;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    quint64 id() const { return m_id; }
    Writes writes() const { return m_writes; }
    // Whether its writes are guarded by the terminal rather than by --allow-writes.
    bool local() const { return m_writes == Writes::ByPermissions; }

private:
    const quint64 m_id;
    const Writes m_writes;
};

// A client on TCP: its socket, a child of the endpoint, which the endpoint closes when it
// drops the connection.
class TcpConnection : public Connection
{
public:
    TcpConnection(quint64 id, QTcpSocket *socket)
        : Connection(id, Writes::ByRight)
        , m_socket(socket)
    {
    }

    QTcpSocket *socket() const { return m_socket; }

private:
    QTcpSocket *const m_socket;
};
