#include "scpiendpoint.h"

#include "instrumentowner.h"
#include "requeststream.h"

#include <QTcpSocket>

ScpiEndpoint::ScpiEndpoint(ClientTable &clients, InstrumentOwner *owner, QObject *parent)
    : TcpEndpoint(QStringLiteral("SCPI"), QStringLiteral("scpi"), clients, owner, parent)
{
}

std::unique_ptr<TcpConnection> ScpiEndpoint::connection(quint64 client, QTcpSocket *socket)
{
    return std::make_unique<Client>(client, socket, m_owner->newSession());
}

void ScpiEndpoint::readable(TcpConnection &connection)
{
    auto &client = static_cast<Client &>(connection);
    QTcpSocket *socket = client.socket();
    for (;;) {
        int end;
        while (client.inFlight < MaxInFlight && (end = client.input.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(client.input.left(end)).trimmed();
            client.input.remove(0, end + 1);
            ++client.inFlight;
            counted();
            m_owner->scpiLine(client.id(), line, client.session);
        }
        if (client.inFlight >= MaxInFlight || socket->bytesAvailable() == 0)
            return;
        client.input += socket->read(RequestStream::ReadSliceBytes);
        if (client.input.size() > MaxLineBytes && client.input.indexOf('\n') < 0) {
            drop(client.id(), QStringLiteral("a SCPI line longer than %1 bytes").arg(MaxLineBytes));
            return;
        }
    }
}

void ScpiEndpoint::deliver(quint64 id, const QByteArray &reply)
{
    auto *client = static_cast<Client *>(connectionOf(id));
    if (!client)
        return;
    --client->inFlight;
    if (!reply.isEmpty() && !send(*client, reply + '\n'))
        return;
    readable(*client);
}
