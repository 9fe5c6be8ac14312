#include "ports.h"

#include "rfc2217.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSerialPort>
#include <QThread>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace ports {

namespace {

const QChar Ellipsis(0x2026);
const QChar Unprintable(QLatin1Char('?'));

// True for the port errors that mean the device is gone (unplugged, or a pseudo-terminal
// whose other end closed).
bool isFatal(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::ReadError || error == QSerialPort::WriteError
        || error == QSerialPort::ResourceError;
}

// Closes `device` once its signal has returned. The guard is the connection's context: it
// lives and dies with the device.
void closeSoon(QIODevice *device, QObject *guard)
{
    QObject::disconnect(device, nullptr, guard, nullptr);
    QMetaObject::invokeMethod(
        guard, [device] {
            if (device->isOpen())
                device->close();
        },
        Qt::QueuedConnection);
}

QString noConnectionWithin(int timeoutMs)
{
    return QStringLiteral("no connection within %1 s").arg(timeoutMs / 1000.0);
}

#ifndef Q_OS_WIN
bool stopped(const std::atomic<bool> *stop)
{
    return stop && stop->load();
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A connected descriptor for `address`, or -1 with `error` set. The wait is a poll in
// slices that look at `stop`.
int connectDescriptor(const QHostAddress &address, quint16 port, const QDeadlineTimer &deadline,
                      const std::atomic<bool> *stop, QString *error)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *six = reinterpret_cast<sockaddr_in6 *>(&storage);
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&six->sin6_addr, bytes.c, sizeof bytes.c);
        // A link-local address names its interface by number or by name.
        bool numbered = false;
        const uint scope = address.scopeId().toUInt(&numbered);
        six->sin6_scope_id = numbered ? scope : uint(QNetworkInterface::interfaceIndexFromName(address.scopeId()));
        length = sizeof *six;
    } else {
        auto *four = reinterpret_cast<sockaddr_in *>(&storage);
        four->sin_family = AF_INET;
        four->sin_port = htons(port);
        four->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *four;
    }
    const int descriptor = ::socket(storage.ss_family, SOCK_STREAM, 0);
    if (descriptor < 0) {
        *error = systemError(errno);
        return -1;
    }
    const auto fail = [&](const QString &reason) {
        ::close(descriptor);
        *error = reason;
        return -1;
    };
    if (::fcntl(descriptor, F_SETFD, FD_CLOEXEC) != 0
        || ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK) != 0)
        return fail(systemError(errno));
    if (::connect(descriptor, reinterpret_cast<sockaddr *>(&storage), length) == 0)
        return descriptor;
    if (errno != EINPROGRESS)
        return fail(systemError(errno));
    for (;;) {
        if (stopped(stop))
            return fail(QStringLiteral("stopped"));
        if (deadline.hasExpired())
            return fail(QString());
        pollfd watched{descriptor, POLLOUT, 0};
        const int ready = ::poll(&watched, 1, int(qMin<qint64>(StopPollMs, deadline.remainingTime())));
        if (ready < 0 && errno != EINTR)
            return fail(systemError(errno));
        if (ready <= 0)
            continue;
        int result = 0;
        socklen_t size = sizeof result;
        if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &result, &size) != 0)
            return fail(systemError(errno));
        if (result != 0)
            return fail(systemError(result));
        return descriptor;
    }
}
#endif

} // namespace

bool connectSocket(QAbstractSocket &socket, const QString &host, quint16 port, int timeoutMs,
                   const std::atomic<bool> *stop, QString *error)
{
#ifdef Q_OS_WIN
    Q_UNUSED(stop)
    socket.connectToHost(host, port);
    if (socket.waitForConnected(timeoutMs))
        return true;
    *error = socket.state() != QAbstractSocket::UnconnectedState || socket.error() == QAbstractSocket::SocketTimeoutError
        ? noConnectionWithin(timeoutMs)
        : socket.errorString();
    return false;
#else
    const QDeadlineTimer deadline(timeoutMs);
    QList<QHostAddress> addresses;
    QHostAddress literal;
    if (literal.setAddress(host)) {
        addresses.append(literal);
    } else {
        const QHostInfo found = QHostInfo::fromName(host);
        if (found.error() != QHostInfo::NoError) {
            *error = found.errorString();
            return false;
        }
        addresses = found.addresses();
    }
    // Each address in turn, as Qt does, with the reason of the last one that failed.
    for (const QHostAddress &address : qAsConst(addresses)) {
        if (stopped(stop) || deadline.hasExpired())
            break;
        const int descriptor = connectDescriptor(address, port, deadline, stop, error);
        if (descriptor < 0)
            continue;
        if (socket.setSocketDescriptor(descriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite))
            return true;
        ::close(descriptor);
        *error = socket.errorString();
        return false;
    }
    if (deadline.hasExpired() || error->isEmpty())
        *error = noConnectionWithin(timeoutMs);
    return false;
#endif
}

bool waitForBytesWritten(QAbstractSocket &socket, int msecs)
{
    const QDeadlineTimer deadline(msecs);
    const qint64 before = socket.bytesToWrite();
    while (before > 0 && socket.state() == QAbstractSocket::ConnectedState) {
        // Hands the kernel what it takes now, without waiting.
        socket.flush();
        if (socket.bytesToWrite() < before)
            return true;
        if (deadline.hasExpired())
            break;
        QThread::msleep(WritePollMs);
    }
    return false;
}

void closeGracefully(QAbstractSocket &socket, bool unanswered)
{
    if (socket.state() == QAbstractSocket::ConnectedState) {
        QDeadlineTimer grace(CloseGraceMs);
        while (socket.bytesToWrite() > 0 && waitForBytesWritten(socket, int(grace.remainingTime()))) {
        }
        // Waits for the server's close, or the grace's end: whatever arrives meanwhile is
        // not read, and the bounded read buffer keeps it small.
        grace.setRemainingTime(CloseGraceMs);
        while (unanswered && socket.state() == QAbstractSocket::ConnectedState && !grace.hasExpired())
            socket.waitForReadyRead(int(grace.remainingTime()));
        socket.disconnectFromHost();
    }
    // Bytes that would not leave within the grace are given up.
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.abort();
}

QString printableLine(const QByteArray &bytes, int maxChars)
{
    // Counted, not up to the first NUL as the QByteArray overload reads it.
    QString text = QString::fromLatin1(bytes.constData(), bytes.size()).simplified();
    for (QChar &c : text) {
        // Latin-1's second block of control characters too, which a terminal may act on.
        if (c.category() == QChar::Other_Control)
            c = Unprintable;
    }
    if (text.size() > maxChars) {
        text.truncate(maxChars);
        text = text.trimmed() + Ellipsis;
    }
    return text;
}

Port::Port(QIODevice *device)
    : m_device(device)
{
}

Port::~Port() = default;

bool Port::isOpen() const
{
    return m_device && m_device->isOpen();
}

void Port::close()
{
    if (isOpen())
        m_device->close();
}

void Port::keepUnasked(const QByteArray &bytes)
{
    if (!m_answered)
        m_unasked.append(bytes.left(GreetingLimitBytes - m_unasked.size()));
}

bool Port::talksUnasked()
{
    return !m_answered && isServer() && (m_device->bytesAvailable() > 0 || m_device->waitForReadyRead(0));
}

void Port::noteAnswered()
{
    m_answered = true;
    m_unasked.clear();
}

qint64 Port::dropHeld()
{
    if (!isOpen())
        return 0;
    char slice[DropSliceBytes];
    qint64 dropped = 0;
    while (m_device->bytesAvailable() > 0) {
        const qint64 got = m_device->read(slice, sizeof slice);
        if (got <= 0)
            break;
        keepUnasked(QByteArray::fromRawData(slice, int(got)));
        dropped += got;
    }
    return dropped;
}

bool Port::discardInput(QDeadlineTimer deadline, qint64 limitBytes)
{
    qint64 dropped = dropHeld();
    clearDriverInput();
    // A connection has no driver buffer to clear: take what the network has delivered
    // without waiting for more, for as long as the limits allow.
    for (;;) {
        if (!isOpen() || isLost() || !m_device->waitForReadyRead(0))
            return true;
        dropped += dropHeld();
        if (dropped > limitBytes || deadline.hasExpired())
            return false;
    }
}

SerialPort::SerialPort(std::unique_ptr<QSerialPort> port)
    : Port(port.get())
    , m_serial(port.get())
    , m_owned(std::move(port))
{
}

SerialPort::SerialPort(QSerialPort *port)
    : Port(port)
    , m_serial(port)
{
}

SerialPort::~SerialPort() = default;

bool SerialPort::isLost() const
{
    return m_serial && isFatal(m_serial->error());
}

void SerialPort::flush()
{
    if (m_serial)
        m_serial->flush();
}

void SerialPort::closeOnFatalError()
{
    if (!m_serial)
        return;
    QSerialPort *serial = m_serial;
    auto *guard = new QObject(serial);
    QObject::connect(serial, &QSerialPort::errorOccurred, guard, [serial, guard](QSerialPort::SerialPortError error) {
        if (isFatal(error))
            closeSoon(serial, guard);
    });
}

void SerialPort::clearDriverInput()
{
    if (isOpen())
        m_serial->clear(QSerialPort::Input);
}

SocketPort::SocketPort(std::unique_ptr<QAbstractSocket> socket)
    : Port(socket.get())
    , m_socket(std::move(socket))
{
    // Beyond this the socket leaves bytes with the kernel, and TCP holds the peer back.
    m_socket->setReadBufferSize(ReadBufferBytes);
}

SocketPort::~SocketPort() = default;

bool SocketPort::isLost() const
{
    return m_socket->state() != QAbstractSocket::ConnectedState;
}

void SocketPort::flush()
{
    m_socket->flush();
}

// A server that refuses says so and closes at once; one still talking gets until the limit
// to close, a quiet one a moment.
QString SocketPort::refusal()
{
    if (answered())
        return {};
    const QDeadlineTimer deadline(RefusalLimitMs);
    while (m_socket->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()
           && m_socket->waitForReadyRead(int(qMin<qint64>(RefusalQuietMs, deadline.remainingTime()))))
        dropHeld();
    dropHeld();
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        return {};
    const QString words = printableLine(unasked());
    return words.isEmpty() ? QStringLiteral("the server closed the connection")
                           : QStringLiteral("the server closed the connection: %1").arg(words);
}

void SocketPort::closeOnFatalError()
{
    QAbstractSocket *socket = m_socket.get();
    auto *guard = new QObject(socket);
    QObject::connect(socket, &QAbstractSocket::disconnected, guard, [socket, guard] { closeSoon(socket, guard); });
}

Rfc2217Port::Rfc2217Port(std::unique_ptr<rfc2217::Port> port)
    : Port(port.get())
    , m_port(std::move(port))
{
}

Rfc2217Port::~Rfc2217Port() = default;

bool Rfc2217Port::isLost() const
{
    return m_port->isLost();
}

void Rfc2217Port::flush()
{
    m_port->flush();
}

void Rfc2217Port::closeOnFatalError()
{
    rfc2217::Port *port = m_port.get();
    auto *guard = new QObject(port);
    QObject::connect(port, &QIODevice::readChannelFinished, guard, [port, guard] { closeSoon(port, guard); });
}

} // namespace ports
