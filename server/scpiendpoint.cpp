#include "scpiendpoint.h"

#include "instrumentowner.h"
#include "requeststream.h"

#include <QTcpSocket>

ScpiEndpoint::ScpiEndpoint(ClientTable &clients, InstrumentOwner *owner, QObject *parent)
    : TcpEndpoint(QStringLiteral("SCPI"), QStringLiteral("scpi"), clients, owner, parent)
{
}

void ScpiEndpoint::accepted(quint64 client)
{
    m_lines.emplace(client, Client());
}

void ScpiEndpoint::readable(quint64 client)
{
    const auto found = m_lines.find(client);
    QTcpSocket *socket = socketOf(client);
    if (found == m_lines.end() || !socket)
        return;
    Client &lines = found->second;
    for (;;) {
        int end;
        while (lines.inFlight < MaxInFlight && (end = lines.input.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(lines.input.left(end)).trimmed();
            lines.input.remove(0, end + 1);
            ++lines.inFlight;
            counted();
            m_owner->scpiLine(client, line);
        }
        if (lines.inFlight >= MaxInFlight || socket->bytesAvailable() == 0)
            return;
        lines.input += socket->read(RequestStream::ReadSliceBytes);
        if (lines.input.size() > MaxLineBytes && lines.input.indexOf('\n') < 0) {
            drop(client, QStringLiteral("a SCPI line longer than %1 bytes").arg(MaxLineBytes));
            return;
        }
    }
}

void ScpiEndpoint::deliver(quint64 client, const QByteArray &reply)
{
    const auto found = m_lines.find(client);
    if (found == m_lines.end())
        return;
    --found->second.inFlight;
    if (!reply.isEmpty() && !send(client, reply + '\n'))
        return;
    readable(client);
}

void ScpiEndpoint::closed(quint64 client)
{
    m_lines.erase(client);
}
