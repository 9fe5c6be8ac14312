#pragma once

#include "endpoint.h"

#include <map>

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
    void accepted(quint64 client) override;
    void readable(quint64 client) override;
    void closed(quint64 client) override;
    qint64 readBufferBytes() const override { return MaxLineBytes + 1; }

private:
    struct Client
    {
        QByteArray input;  // read, not yet a whole line
        int inFlight = 0;
    };

    std::map<quint64, Client> m_lines;
};
