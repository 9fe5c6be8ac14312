#include "ports.h"

#include "rfc2217.h"

#include <QAbstractSocket>
#include <QSerialPort>
#include <QThread>

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

} // namespace

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
