#include "lineserver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace sim {

namespace {
constexpr int ReadChunk = 4096;
// Unsent answers beyond which a client's lines wait until it reads.
constexpr qint64 MostUnsent = 64 * 1024;
// What Qt buffers of a client's input before leaving the rest to TCP's flow control.
constexpr qint64 ReadBufferSize = 64 * 1024;
} // namespace

// What a connection has read but not yet answered.
struct LineServer::Pending
{
    LineServer::Session session;
    QByteArray bytes;
    bool skipping = false;  // inside a line that was too long, until its end
};

LineServer::LineServer(NewSession newSession, int longestLine)
    : m_newSession(std::move(newSession))
    , m_longestLine(longestLine)
{
}

LineServer::~LineServer()
{
    stop();
}

QString LineServer::url() const
{
    return QStringLiteral("socket://127.0.0.1:%1").arg(m_port);
}

bool LineServer::start(quint16 port, QString *error)
{
    stop();
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    m_thread.start();
    bool listening = false;
    QString problem;
    QMetaObject::invokeMethod(
        m_context,
        [&] {
            m_server = new QTcpServer(m_context);
            m_server->setMaxPendingConnections(MostClients);
            listening = m_server->listen(QHostAddress::LocalHost, port);
            if (!listening) {
                problem = m_server->errorString();
                return;
            }
            m_port = m_server->serverPort();
            QObject::connect(m_server, &QTcpServer::newConnection, m_context, [this] { accept(); });
        },
        Qt::BlockingQueuedConnection);
    if (!listening) {
        if (error)
            *error = QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(problem);
        stop();
    }
    return listening;
}

void LineServer::stop()
{
    if (!m_context)
        return;
    QMetaObject::invokeMethod(
        m_context, [this] { qDeleteAll(m_context->children()); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    // The thread is gone, so nothing can be delivering events to the context any more.
    delete m_context;
    m_context = nullptr;
    m_server = nullptr;
    m_port = 0;
}

void LineServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_context->children().size() > MostClients + 1) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setParent(m_context);
        socket->setReadBufferSize(ReadBufferSize);
        auto pending = std::make_shared<Pending>();
        pending->session = m_newSession();
        const auto serveIt = [this, socket, pending] { serve(socket, *pending); };
        QObject::connect(socket, &QTcpSocket::readyRead, socket, serveIt);
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, serveIt);
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        serve(socket, *pending);
    }
}

void LineServer::serve(QTcpSocket *socket, Pending &pending)
{
    for (;;) {
        if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() > MostUnsent)
            return;
        const int end = pending.bytes.indexOf('\n');
        if (end >= 0) {
            QByteArray line = pending.bytes.left(end);
            pending.bytes.remove(0, end + 1);
            if (pending.skipping || line.size() > m_longestLine) {
                pending.skipping = false;
                continue;
            }
            if (line.endsWith('\r'))
                line.chop(1);
            const QByteArray answer = pending.session(line);
            if (!answer.isEmpty())
                socket->write(answer + '\n');
            continue;
        }
        if (pending.bytes.size() > m_longestLine) {
            pending.bytes.clear();
            pending.skipping = true;
        }
        if (socket->bytesAvailable() <= 0)
            return;
        pending.bytes += socket->read(ReadChunk);
    }
}

} // namespace sim
