#pragma once

#include "endpoint.h"
#include "requeststream.h"

#include <QTimer>

// The instrument's own protocol on TCP: thermocal-cli and the monitor reach the instrument
// through it with --port socket://HOST:PORT as if it were theirs alone.
class RawEndpoint : public TcpEndpoint
{
    Q_OBJECT

public:
    RawEndpoint(ClientTable &clients, InstrumentOwner *owner, QObject *parent = nullptr);

    void deliver(quint64 client, const QByteArray &reply) override;

protected:
    std::unique_ptr<TcpConnection> connection(quint64 client, QTcpSocket *socket) override;
    void readable(TcpConnection &connection) override;
    qint64 readBufferBytes() const override { return RequestStream::ReadSliceBytes * 16; }

private:
    // A client and its requests: their framer and how many are in flight.
    struct Client : TcpConnection
    {
        using TcpConnection::TcpConnection;
        RequestStream stream;
    };

    void expire();

    QTimer m_expiry;
};
