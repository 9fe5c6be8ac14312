#include "metricsendpoint.h"

#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

// How long an HTTP client may take to close after its response.
constexpr int LingerMs = 2000;
const QByteArray HeadEnd("\r\n\r\n");

// Ends the sending side of a connected socket; what the peer sends can still be read.
void endSending(qintptr descriptor)
{
#ifdef Q_OS_WIN
    ::shutdown(SOCKET(descriptor), SD_SEND);
#else
    ::shutdown(int(descriptor), SHUT_WR);
#endif
}

QByteArray response(const QByteArray &status, const QByteArray &type, const QByteArray &body, bool withBody,
                    const QByteArray &extraHeaders = QByteArray())
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + (withBody ? body : QByteArray());
}

} // namespace

MetricsEndpoint::MetricsEndpoint(ClientTable &clients, InstrumentOwner *owner, Page page, QObject *parent)
    : TcpEndpoint(QStringLiteral("metrics"), QStringLiteral("metrics"), clients, owner, parent)
    , m_page(std::move(page))
{
}

QByteArray MetricsEndpoint::respond(const QByteArray &head, const QByteArray &page)
{
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QByteArray method = requestLine.value(0);
    const QByteArray path = requestLine.value(1);
    const bool isHead = method == "HEAD";
    if (method != "GET" && !isHead)
        return response("405 Method Not Allowed", "text/plain", "Only GET and HEAD.\n", true, "Allow: GET, HEAD\r\n");
    if (path != "/metrics" && !path.startsWith("/metrics?"))
        return response("404 Not Found", "text/plain", "The metrics are at /metrics.\n", !isHead);
    return response("200 OK", "text/plain; version=0.0.4; charset=utf-8", page, !isHead);
}

MetricsEndpoint::Client::Client(quint64 id, QTcpSocket *socket, QTimer *deadline)
    : TcpConnection(id, socket)
    , deadline(deadline)
{
}

MetricsEndpoint::Client::~Client()
{
    deadline->deleteLater();
}

std::unique_ptr<TcpConnection> MetricsEndpoint::connection(quint64 id, QTcpSocket *socket)
{
    auto client = std::make_unique<Client>(id, socket, new QTimer(this));
    client->deadline->setSingleShot(true);
    connect(client->deadline, &QTimer::timeout, this, [this, id] {
        const auto *found = static_cast<Client *>(connectionOf(id));
        if (found && !found->answered)
            drop(id);
    });
    client->deadline->start(HeadLimitMs);
    return client;
}

void MetricsEndpoint::readable(TcpConnection &connection)
{
    auto &client = static_cast<Client &>(connection);
    QTcpSocket *socket = client.socket();
    if (client.answered) {
        socket->readAll();
        return;
    }
    client.input += socket->read(MaxRequestBytes + 1 - client.input.size());
    const int end = client.input.indexOf(HeadEnd);
    if (end >= 0) {
        counted();
        answer(client, respond(client.input.left(end + HeadEnd.size()), m_page ? m_page() : QByteArray()));
    } else if (client.input.size() > MaxRequestBytes) {
        answer(client, response("431 Request Header Fields Too Large", "text/plain", "Request too large.\n", true));
    }
}

// Sends the response and ends the client's side of the connection, reading on (and dropping)
// until the client closes: a connection closed with unread input is reset, and the reset
// can destroy the response before the client reads it.
void MetricsEndpoint::answer(Client &client, const QByteArray &bytes)
{
    client.answered = true;
    client.input.clear();
    client.deadline->start(LingerMs);
    const quint64 id = client.id();
    connect(client.deadline, &QTimer::timeout, this, [this, id] { drop(id); });
    QTcpSocket *socket = client.socket();
    connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState)
            endSending(socket->socketDescriptor());
    });
    send(client, bytes);
}
