#pragma once

#include "endpoint.h"
#include "requeststream.h"

#include <QTimer>

#include <map>

// The instrument's own protocol on TCP: thermocal-cli and the monitor reach the instrument
// through it with --port socket://HOST:PORT as if it were theirs alone.
class RawEndpoint : public TcpEndpoint
{
    Q_OBJECT

public:
    RawEndpoint(ClientTable &clients, InstrumentOwner *owner, QObject *parent = nullptr);

    void deliver(quint64 client, const QByteArray &reply) override;

protected:
    void accepted(quint64 client) override;
    void readable(quint64 client) override;
    void closed(quint64 client) override;
    qint64 readBufferBytes() const override { return RequestStream::ReadSliceBytes * 16; }

private:
    void expire();

    std::map<quint64, RequestStream> m_streams;
    QTimer m_expiry;
};
