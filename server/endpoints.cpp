#include "endpoints.h"

#include "instrumentowner.h"
#include "pseudoterminal.h"
#include "schedule.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

constexpr qint64 NsPerMs = 1000000;
constexpr int ExpiryCheckMs = 100;
constexpr int ReadSliceBytes = 4096;
// How long an HTTP client may take to close after its response.
constexpr int HttpLingerMs = 2000;
const QByteArray HttpHeadEnd("\r\n\r\n");

// Ends the sending side of a connected socket; what the peer sends can still be read.
void endSending(qintptr descriptor)
{
#ifdef Q_OS_WIN
    ::shutdown(SOCKET(descriptor), SD_SEND);
#else
    ::shutdown(int(descriptor), SHUT_WR);
#endif
}

qint64 nowMs()
{
    return monotonicNs() / NsPerMs;
}

QByteArray httpResponse(const QByteArray &status, const QByteArray &type, const QByteArray &body)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n\r\n" + body;
}

QString kindName(int kind)
{
    static const char *const names[] = {"raw", "SCPI", "metrics", "pty"};
    return QLatin1String(names[kind]);
}

} // namespace

struct Endpoints::Client
{
    quint64 id = 0;
    Kind kind = Kind::Raw;
    QTcpSocket *socket = nullptr;   // owned through the Qt parent (the endpoints)
    RequestFramer framer;
    QByteArray input;               // a SCPI line or an HTTP head not yet whole
    int inFlight = 0;
    bool answered = false;          // HTTP: the response is on its way; what comes is dropped
    std::unique_ptr<PseudoTerminal> pty;
    QSocketNotifier *notifier = nullptr;    // the terminal's; owned by the endpoints
};

Endpoints::Endpoints(const ServerOptions &options, InstrumentOwner *owner, const QString &port, const QString &serial,
                     QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_owner(owner)
{
    m_snapshot.port = port;
    m_snapshot.serial = serial;
    connect(owner, &InstrumentOwner::replied, this, &Endpoints::onReplied);
    // A SCPI reply is a line; a line without a query gets none.
    connect(owner, &InstrumentOwner::scpiReplied, this, [this](quint64 id, const QString &line) {
        onReplied(id, line.isEmpty() ? QByteArray() : line.toUtf8() + '\n');
    });
    connect(owner, &InstrumentOwner::reading, this, &Endpoints::onReading);
    m_expiry.setInterval(ExpiryCheckMs);
    connect(&m_expiry, &QTimer::timeout, this, &Endpoints::expireRequests);
}

Endpoints::~Endpoints()
{
    stop();
}

bool Endpoints::start(QString *error)
{
    if ((m_options.raw && !listen(Kind::Raw, m_options.raw, error))
        || (m_options.scpi && !listen(Kind::Scpi, m_options.scpi, error))
        || (m_options.metrics && !listen(Kind::Http, m_options.metrics, error)))
        return false;
    for (const QString &link : qAsConst(m_options.ptys)) {
        if (!makePty(link, error))
            return false;
    }
    m_expiry.start();
    return true;
}

void Endpoints::stop()
{
    m_expiry.stop();
    while (!m_clients.empty())
        drop(m_clients.begin()->first);
    for (auto &server : m_servers)
        delete server.second;
    m_servers.clear();
}

bool Endpoints::listen(Kind kind, quint16 port, QString *error)
{
    auto *server = new QTcpServer(this);
    if (!server->listen(m_options.listen, port)) {
        *error = QStringLiteral("cannot listen on %1 port %2 (%3): %4")
                     .arg(m_options.listen.toString())
                     .arg(port)
                     .arg(kindName(int(kind)), server->errorString());
        delete server;
        return false;
    }
    server->setMaxPendingConnections(MaxClients);
    connect(server, &QTcpServer::newConnection, this, [this, kind, server] { accept(kind, server); });
    m_servers.emplace_back(kind, server);
    return true;
}

bool Endpoints::makePty(const QString &link, QString *error)
{
    auto client = std::make_unique<Client>();
    client->kind = Kind::Pty;
    client->pty = std::make_unique<PseudoTerminal>();
    if (!client->pty->open(link, m_options.ptyMode, error))
        return false;
    client->id = m_nextId++;
    client->notifier = new QSocketNotifier(client->pty->descriptor(), QSocketNotifier::Read, this);
    const quint64 id = client->id;
    connect(client->notifier, &QSocketNotifier::activated, this, [this, id] { take(id); });
    m_clients.emplace(id, std::move(client));
    return true;
}

int Endpoints::clientsOf(Kind kind) const
{
    int count = 0;
    for (const auto &entry : m_clients)
        count += entry.second->kind == kind ? 1 : 0;
    return count;
}

void Endpoints::accept(Kind kind, QTcpServer *server)
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        socket->setParent(this);
        if (clientsOf(kind) >= MaxClients) {
            emit log(QStringLiteral("%1 endpoint: client from %2 refused: %3 clients already")
                         .arg(kindName(int(kind)), socket->peerAddress().toString())
                         .arg(MaxClients));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto client = std::make_unique<Client>();
        client->id = m_nextId++;
        client->kind = kind;
        client->socket = socket;
        // What a client sends waits in the socket, bounded, while it has requests in flight.
        socket->setReadBufferSize(kind == Kind::Scpi ? MaxScpiLineBytes + 1 : ReadSliceBytes * 16);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const quint64 id = client->id;
        connect(socket, &QTcpSocket::readyRead, this, [this, id] { take(id); });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] { drop(id); });
        m_clients.emplace(id, std::move(client));
    }
}

void Endpoints::take(quint64 id)
{
    const auto found = m_clients.find(id);
    if (found == m_clients.end())
        return;
    Client &client = *found->second;
    switch (client.kind) {
    case Kind::Raw:
        while (client.inFlight < MaxInFlight && client.socket->bytesAvailable() > 0)
            takeRequests(client, client.socket->read(ReadSliceBytes));
        break;
    case Kind::Pty: {
        char bytes[ReadSliceBytes];
        while (client.inFlight < MaxInFlight) {
            const qint64 got = client.pty->read(bytes, sizeof bytes);
            if (got == 0)
                break;
            takeRequests(client, QByteArray(bytes, int(got)));
        }
        // While the client has its fill of requests in flight, its bytes wait in the terminal.
        client.notifier->setEnabled(client.inFlight < MaxInFlight);
        break;
    }
    case Kind::Scpi:
        takeScpi(client);
        break;
    case Kind::Http:
        takeHttp(client);
        break;
    }
}

void Endpoints::takeRequests(Client &client, const QByteArray &bytes)
{
    const RequestFramer::Result framed = client.framer.feed(bytes, nowMs());
    for (const QString &dropped : framed.dropped)
        emit log(QStringLiteral("client %1: %2").arg(client.id).arg(dropped));
    const bool local = client.kind == Kind::Pty;
    for (const QByteArray &request : framed.requests) {
        ++client.inFlight;
        QMetaObject::invokeMethod(m_owner, [owner = m_owner, id = client.id, request, local] { owner->request(id, request, local); },
                                  Qt::QueuedConnection);
    }
}

void Endpoints::takeScpi(Client &client)
{
    while (client.inFlight < MaxInFlight && client.socket->bytesAvailable() > 0) {
        client.input += client.socket->read(ReadSliceBytes);
        int end;
        while (client.inFlight < MaxInFlight && (end = client.input.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(client.input.left(end)).trimmed();
            client.input.remove(0, end + 1);
            ++client.inFlight;
            QMetaObject::invokeMethod(m_owner, [owner = m_owner, id = client.id, line] { owner->scpiLine(id, line); },
                                      Qt::QueuedConnection);
        }
        if (client.input.size() > MaxScpiLineBytes) {
            drop(client.id, QStringLiteral("a SCPI line longer than %1 bytes").arg(MaxScpiLineBytes));
            return;
        }
    }
}

// Sends the response and ends the client's side of the connection, reading on (and dropping)
// until the client closes: a connection closed with unread input is reset, and the reset
// can destroy the response before the client reads it.
void Endpoints::respond(Client &client, const QByteArray &response)
{
    client.answered = true;
    client.input.clear();
    client.socket->write(response);
    QTcpSocket *socket = client.socket;
    connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState)
            endSending(socket->socketDescriptor());
    });
    const quint64 id = client.id;
    QTimer::singleShot(HttpLingerMs, this, [this, id] { drop(id); });
}

void Endpoints::takeHttp(Client &client)
{
    if (client.answered) {
        client.socket->readAll();
        return;
    }
    client.input += client.socket->read(MaxHttpRequestBytes + 1 - client.input.size());
    const int end = client.input.indexOf(HttpHeadEnd);
    if (end < 0) {
        if (client.input.size() > MaxHttpRequestBytes)
            respond(client, httpResponse("431 Request Header Fields Too Large", "text/plain", "Request too large.\n"));
        return;
    }
    const QList<QByteArray> requestLine = client.input.left(client.input.indexOf("\r\n")).split(' ');
    const QByteArray method = requestLine.value(0);
    const QByteArray path = requestLine.value(1);
    QByteArray response;
    if (method != "GET" && method != "HEAD")
        response = httpResponse("405 Method Not Allowed", "text/plain", "Only GET.\n");
    else if (path != "/metrics" && !path.startsWith("/metrics?"))
        response = httpResponse("404 Not Found", "text/plain", "The metrics are at /metrics.\n");
    else
        response = httpResponse("200 OK", "text/plain; version=0.0.4; charset=utf-8", metricsPage());
    respond(client, response);
}

void Endpoints::send(Client &client, const QByteArray &bytes)
{
    if (client.socket) {
        client.socket->write(bytes);
        if (client.socket->bytesToWrite() > MaxUnsentBytes)
            drop(client.id, QStringLiteral("it leaves its replies unread"));
        return;
    }
    client.pty->write(bytes);
}

void Endpoints::onReplied(quint64 id, const QByteArray &reply)
{
    const auto found = m_clients.find(id);
    if (found == m_clients.end())
        return;
    Client &client = *found->second;
    --client.inFlight;
    if (!reply.isEmpty())
        send(client, reply);
    // Bytes left waiting while the client had its fill of requests in flight.
    if (m_clients.count(id))
        QMetaObject::invokeMethod(this, [this, id] { take(id); }, Qt::QueuedConnection);
}

void Endpoints::onReading(const readingloop::Reading &reading)
{
    if (reading.answered())
        ++m_snapshot.answered;
    else
        ++m_snapshot.unanswered;
    m_snapshot.up = reading.answered() && reading.temperature.has_value();
    if (reading.answered()) {
        m_snapshot.temperature = reading.temperature;
        m_snapshot.voltage = reading.voltage;
        m_snapshot.lastReadingUtcMs = reading.utcMs;
    }
}

void Endpoints::expireRequests()
{
    const qint64 now = nowMs();
    for (auto &entry : m_clients) {
        Client &client = *entry.second;
        if (client.kind != Kind::Raw && client.kind != Kind::Pty)
            continue;
        for (const QString &dropped : client.framer.expire(now).dropped)
            emit log(QStringLiteral("client %1: %2").arg(client.id).arg(dropped));
    }
}

void Endpoints::drop(quint64 id, const QString &why)
{
    const auto found = m_clients.find(id);
    if (found == m_clients.end())
        return;
    std::unique_ptr<Client> client = std::move(found->second);
    m_clients.erase(found);
    if (!why.isEmpty())
        emit log(QStringLiteral("client %1 closed: %2").arg(id).arg(why));
    QMetaObject::invokeMethod(m_owner, [owner = m_owner, id] { owner->clientGone(id); }, Qt::QueuedConnection);
    if (client->socket) {
        client->socket->disconnect(this);
        client->socket->abort();
        client->socket->deleteLater();
    }
    // The notifier goes before the terminal it watches.
    delete client->notifier;
}
