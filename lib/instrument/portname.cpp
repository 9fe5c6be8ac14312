#include "portname.h"

#include "device.h"
#include "ports.h"
#include "rfc2217.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTcpSocket>

namespace portname {

namespace {

const QLatin1String UrlSeparator("://");

// A raw connection that closes in good order: the last request reaches the instrument, and
// the server sees an orderly end rather than a reset.
class RawPort : public QTcpSocket
{
public:
    RawPort()
    {
        // Emitted within the blocking waits too.
        connect(this, &QIODevice::readyRead, this, [this] { m_unanswered = false; });
    }

    ~RawPort() override { ports::closeGracefully(*this, m_unanswered); }

    bool waitForBytesWritten(int msecs) override { return ports::waitForBytesWritten(*this, msecs); }

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        m_unanswered = true;
        return QTcpSocket::writeData(data, size);
    }

private:
    bool m_unanswered = false;
};

std::optional<quint16> portNumber(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    const int number = text.toInt();
    if (number < 1 || number > 65535)
        return std::nullopt;
    return quint16(number);
}

bool isHostName(const QString &host)
{
    static const QRegularExpression name(
        QStringLiteral("^[A-Za-z0-9_]([A-Za-z0-9_-]*[A-Za-z0-9_])?(\\.[A-Za-z0-9_]([A-Za-z0-9_-]*[A-Za-z0-9_])?)*\\.?$"));
    return name.match(host).hasMatch();
}

Opened failure(OpenError error, const QString &reason)
{
    Opened opened;
    opened.error = error;
    opened.reason = reason;
    return opened;
}

Opened openLocal(const QString &name)
{
    auto port = std::make_unique<QSerialPort>();
    if (!openSerial(*port, name)) {
        switch (port->error()) {
        case QSerialPort::DeviceNotFoundError:
            return failure(OpenError::NotFound, port->errorString());
        case QSerialPort::PermissionError:
            return failure(OpenError::PermissionDenied, port->errorString());
        default:
            return failure(OpenError::Other, port->errorString());
        }
    }
    Opened opened;
    opened.port = std::make_unique<ports::SerialPort>(std::move(port));
    return opened;
}

Opened openRaw(const Address &address, const std::atomic<bool> *stop)
{
    auto socket = std::make_unique<RawPort>();
    QString error;
    if (!ports::connectSocket(*socket, address.host, address.port, ConnectTimeoutMs, stop, &error))
        return failure(OpenError::Other, error);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // No wait for a server that refuses the client in words: the instrument never speaks
    // unasked, so there is nothing to wait for. A refusal shows when the first action fails
    // (SocketPort::refusal()).
    Opened opened;
    opened.port = std::make_unique<ports::SocketPort>(std::move(socket));
    return opened;
}

Opened openRfc2217(const Address &address, const std::atomic<bool> *stop)
{
    auto port = std::make_unique<rfc2217::Port>();
    if (!port->connectToPort(address.host, address.port, device::BaudRate, ConnectTimeoutMs, stop))
        return failure(OpenError::Other, port->errorString());
    Opened opened;
    opened.port = std::make_unique<ports::Rfc2217Port>(std::move(port));
    return opened;
}

} // namespace

Opened::Opened() = default;
Opened::Opened(Opened &&) noexcept = default;
Opened &Opened::operator=(Opened &&) noexcept = default;
Opened::~Opened() = default;

bool openSerial(QSerialPort &port, const QString &name)
{
#ifdef Q_OS_WIN
    // Windows' own name from COM10 up is the device path \\.\COM10; Qt makes that path of a
    // name that starts with "COM", so com10 and \\.\com10 are written COM10 first.
    static const QRegularExpression comPort(QStringLiteral("^(\\\\\\\\\\.\\\\)?COM([0-9]+)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch com = comPort.match(name);
    port.setPortName(com.hasMatch() ? QStringLiteral("COM") + com.captured(2) : name);
#else
    port.setPortName(name);
#endif
    port.setBaudRate(device::BaudRate, QSerialPort::AllDirections);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    // A device that babbles while an event loop runs would otherwise fill memory between
    // readings; beyond this the driver holds the bytes.
    port.setReadBufferSize(ports::ReadBufferBytes);
    return port.isOpen() || port.open(QIODevice::ReadWrite);
}

bool isUrl(const QString &name)
{
    return name.contains(UrlSeparator);
}

std::optional<Address> parse(const QString &name, QString *error)
{
    const auto bad = [error](const QString &reason) -> std::optional<Address> {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    if (!isUrl(name)) {
        if (name.isEmpty())
            return bad(QStringLiteral("the port name is empty"));
        return Address();
    }
    const int separator = name.indexOf(UrlSeparator);
    const QString scheme = name.left(separator).toLower();
    Address address;
    if (scheme == QLatin1String("socket"))
        address.kind = Kind::Socket;
    else if (scheme == QLatin1String("rfc2217"))
        address.kind = Kind::Rfc2217;
    else
        return bad(QStringLiteral("'%1' is not a kind of port URL; use socket://HOST:PORT or rfc2217://HOST:PORT")
                       .arg(name.left(separator)));

    const QString rest = name.mid(separator + UrlSeparator.size());
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return bad(QStringLiteral("%1: the IPv6 address has no closing bracket").arg(name));
        address.host = rest.mid(1, close - 1);
        QHostAddress ip;
        if (!ip.setAddress(address.host) || ip.protocol() != QAbstractSocket::IPv6Protocol)
            return bad(QStringLiteral("%1: '%2' is not an IPv6 address").arg(name, address.host));
        if (rest.mid(close + 1, 1) != QLatin1String(":"))
            return bad(QStringLiteral("%1: the port number is missing (HOST:PORT)").arg(name));
        portText = rest.mid(close + 2);
    } else {
        const int colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return bad(QStringLiteral("%1: the port number is missing (HOST:PORT)").arg(name));
        address.host = rest.left(colon);
        portText = rest.mid(colon + 1);
        if (address.host.contains(QLatin1Char(':')))
            return bad(QStringLiteral("%1: an IPv6 address goes in brackets, as [::1]:PORT").arg(name));
        if (address.host.isEmpty())
            return bad(QStringLiteral("%1: the host is missing (HOST:PORT)").arg(name));
        if (!isHostName(address.host))
            return bad(QStringLiteral("%1: '%2' is not a host name or an IPv4 address").arg(name, address.host));
    }
    const std::optional<quint16> number = portNumber(portText);
    if (!number)
        return bad(QStringLiteral("%1: '%2' is not a port number from 1 to 65535").arg(name, portText));
    address.port = *number;
    return address;
}

Opened open(const QString &name, const std::atomic<bool> *stop)
{
    QString error;
    const std::optional<Address> address = parse(name, &error);
    if (!address)
        return failure(OpenError::BadName, error);
    Opened opened;
    switch (address->kind) {
    case Kind::Local:
        opened = openLocal(name);
        break;
    case Kind::Socket:
        opened = openRaw(*address, stop);
        break;
    case Kind::Rfc2217:
        opened = openRfc2217(*address, stop);
        break;
    }
    if (opened.port)
        opened.port->setName(name);
    return opened;
}

} // namespace portname
