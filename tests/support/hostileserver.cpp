#include "hostileserver.h"

#include "rfc2217.h"

#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

// How long each wait lasts before the server looks at its stop flag again.
constexpr int PollMs = 20;
// How long a closing server reads on, so that the client's last bytes do not turn its
// close into a reset that could overtake the greeting.
constexpr int LingerMs = 1000;
constexpr int ChunkBytes = 16 * 1024;
constexpr int ReceiveBytes = 4096;
const QByteArray GreetingPattern("port busy\r\n\x1b[2J\x07\tserver says\x01\x7f ");
// Never 0xFF, so it is data on a Telnet connection too.
constexpr char FloodByte = 'U';
constexpr char SubnegotiationByte = 'x';

using rfc2217::PortCommand;

} // namespace

HostileServer::HostileServer(const Script &script)
    : m_script(script)
{
}

HostileServer::~HostileServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listener >= 0)
        ::close(m_listener);
}

QByteArray HostileServer::greeting(qint64 size)
{
    QByteArray bytes;
    bytes.reserve(int(size));
    while (bytes.size() < size)
        bytes.append(GreetingPattern.left(int(size - bytes.size())));
    return bytes;
}

bool HostileServer::start()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0
        || ::listen(m_listener, SOMAXCONN) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return false;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { serve(); });
    return true;
}

QString HostileServer::url() const
{
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(m_script.rfc2217 ? QStringLiteral("rfc2217") : QStringLiteral("socket"))
        .arg(m_port);
}

void HostileServer::serve()
{
    while (!m_stop) {
        pollfd waiting{m_listener, POLLIN, 0};
        if (::poll(&waiting, 1, PollMs) <= 0)
            continue;
        const int client = ::accept(m_listener, nullptr, nullptr);
        if (client < 0)
            continue;
        ::fcntl(client, F_SETFL, ::fcntl(client, F_GETFL) | O_NONBLOCK);
        serveClient(client);
        ::close(client);
    }
}

bool HostileServer::sendAll(int client, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        if (m_stop)
            return false;
        pollfd writable{client, POLLOUT, 0};
        if (::poll(&writable, 1, PollMs) <= 0)
            continue;
        const ssize_t written = ::send(client, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (written > 0) {
            done += written;
            m_sent += written;
        }
    }
    return true;
}

bool HostileServer::receive(int client, QByteArray *bytes, int waitMs)
{
    pollfd readable{client, POLLIN, 0};
    if (::poll(&readable, 1, waitMs) <= 0)
        return true;
    char buffer[ReceiveBytes];
    const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
        return false;
    if (got > 0)
        bytes->append(buffer, int(got));
    return true;
}

void HostileServer::serveClient(int client)
{
    QByteArray request;
    while (m_script.greetingOnRequest && request.isEmpty() && !m_stop) {
        if (!receive(client, &request, PollMs))
            return;
    }
    // The greeting goes in slices, so that a huge one costs the test no memory.
    for (qint64 left = m_script.greetingBytes; left > 0; left -= ChunkBytes) {
        if (!sendAll(client, greeting(qMin<qint64>(left, ChunkBytes))))
            return;
    }
    if (m_script.closeAfterGreeting) {
        ::shutdown(client, SHUT_WR);
        QDeadlineTimer linger(LingerMs);
        QByteArray ignored;
        while (!m_stop && !linger.hasExpired() && receive(client, &ignored, PollMs))
            ignored.clear();
        return;
    }

    if (m_script.rfc2217 && !sendAll(client, rfc2217::negotiation(rfc2217::Do, rfc2217::ComPortOption)))
        return;
    rfc2217::Decoder decoder;
    bool started = m_script.afterAtConnect;
    bool subnegotiationOpened = false;
    while (!m_stop) {
        QByteArray in;
        if (!receive(client, &in, started ? 0 : PollMs))
            return;
        if (m_script.rfc2217) {
            decoder.feed(in);
            for (const rfc2217::TelnetCommand &command : decoder.takeCommands()) {
                if (command.verb != rfc2217::Sb || command.option != rfc2217::ComPortOption || command.payload.isEmpty())
                    continue;
                // Whatever was asked for is what is now in force.
                const auto answer = PortCommand(quint8(command.payload.at(0)) + rfc2217::ServerReplyOffset);
                if (!sendAll(client, rfc2217::portCommand(answer, command.payload.mid(1))))
                    return;
            }
            started = started || !decoder.takeData().isEmpty();
        } else {
            started = started || !in.isEmpty();
        }
        if (!started)
            continue;

        QByteArray chunk;
        switch (m_script.after) {
        case After::Silence:
            QThread::msleep(PollMs);
            break;
        case After::Flood:
            chunk = QByteArray(ChunkBytes, FloodByte);
            break;
        case After::RepeatedAnswers: {
            const QByteArray answer = rfc2217::portCommand(
                PortCommand(quint8(PortCommand::SetBaudRate) + rfc2217::ServerReplyOffset), QByteArray::fromHex("0007a120"));
            while (chunk.size() < ChunkBytes)
                chunk += answer;
            break;
        }
        case After::EndlessSubnegotiation:
            if (!subnegotiationOpened) {
                chunk = QByteArray(1, rfc2217::Iac) + char(rfc2217::Sb) + char(rfc2217::ComPortOption);
                subnegotiationOpened = true;
            }
            chunk += QByteArray(ChunkBytes, SubnegotiationByte);
            break;
        }
        if (!chunk.isEmpty() && !sendAll(client, chunk))
            return;
    }
}

} // namespace testsupport
