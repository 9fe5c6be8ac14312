#pragma once

#include "endpoint.h"

#include <memory>

namespace scpi {
class Session;
}

// SCPI on TCP for lab frameworks: a line is a program message, handed whole to the client's
// session at the instrument. Pipelined lines are all answered, in order: at most
// MaxInFlight go on at a time, and the rest wait in the client's buffer, and beyond it in
// the kernel's, until replies free room.
class ScpiEndpoint : public TcpEndpoint
{
    Q_OBJECT

public:
    // Lines of one client waiting for the instrument; past it the client is not read.
    static constexpr int MaxInFlight = 16;
    // The longest SCPI line; a longer one closes its client.
    static constexpr int MaxLineBytes = 64 * 1024;

    ScpiEndpoint(ClientTable &clients, InstrumentOwner *owner, QObject *parent = nullptr);

    // `reply`: the reply line without its line break; empty when the line held no query.
    void deliver(quint64 client, const QByteArray &reply) override;

protected:
    std::unique_ptr<TcpConnection> connection(quint64 client, QTcpSocket *socket) override;
    void readable(TcpConnection &connection) override;
    qint64 readBufferBytes() const override { return MaxLineBytes + 1; }

private:
    // A client and its lines: what is read but not yet a whole line, how many lines are at
    // the instrument, and its session there (its error queue and status registers).
    struct Client : TcpConnection
    {
        Client(quint64 id, QTcpSocket *socket, std::shared_ptr<scpi::Session> session)
            : TcpConnection(id, socket)
            , session(std::move(session))
        {
        }

        QByteArray input;
        int inFlight = 0;
        const std::shared_ptr<scpi::Session> session;
    };
};
