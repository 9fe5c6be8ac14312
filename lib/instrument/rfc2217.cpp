#include "rfc2217.h"

#include "ports.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QtEndian>

#include <functional>

namespace rfc2217 {

namespace {

constexpr quint8 DataSize8 = 8;

QByteArray byteValue(quint8 value)
{
    return QByteArray(1, char(value));
}

QByteArray baudValue(qint32 baudRate)
{
    char raw[4];
    qToBigEndian(quint32(baudRate), raw);
    return QByteArray(raw, 4);
}

QString settingName(PortCommand command)
{
    switch (command) {
    case PortCommand::SetBaudRate:
        return QStringLiteral("baud rate");
    case PortCommand::SetDataSize:
        return QStringLiteral("data bits");
    case PortCommand::SetParity:
        return QStringLiteral("parity");
    case PortCommand::SetStopSize:
        return QStringLiteral("stop bits");
    case PortCommand::SetControl:
        return QStringLiteral("flow control");
    }
    return QString();
}

} // namespace

QByteArray escape(const QByteArray &data)
{
    QByteArray escaped;
    escaped.reserve(data.size() + data.count(Iac));
    for (char byte : data) {
        escaped.append(byte);
        if (byte == Iac)
            escaped.append(Iac);
    }
    return escaped;
}

QByteArray portCommand(PortCommand command, const QByteArray &value)
{
    QByteArray bytes;
    bytes.append(Iac).append(char(Sb)).append(char(ComPortOption)).append(char(command));
    bytes.append(escape(value));
    bytes.append(Iac).append(char(Se));
    return bytes;
}

QByteArray negotiation(quint8 verb, quint8 option)
{
    QByteArray bytes;
    bytes.append(Iac).append(char(verb)).append(char(option));
    return bytes;
}

void Decoder::feed(const QByteArray &bytes)
{
    for (char c : bytes) {
        if (m_overflowed)
            return;
        const quint8 byte = quint8(c);
        switch (m_state) {
        case State::Data:
            if (byte == IacByte)
                m_state = State::Command;
            else
                m_data.append(c);
            break;
        case State::Command:
            if (byte == IacByte) {
                m_data.append(c);
                m_state = State::Data;
            } else if (byte == Will || byte == Wont || byte == Do || byte == Dont) {
                m_verb = byte;
                m_state = State::Option;
            } else if (byte == Sb) {
                m_subnegotiation.clear();
                m_state = State::Subnegotiation;
            } else {
                // NOP, GA, a stray SE and the like carry nothing for us.
                m_state = State::Data;
            }
            break;
        case State::Option:
            m_commands.append({m_verb, byte, QByteArray()});
            m_state = State::Data;
            break;
        case State::Subnegotiation:
            if (byte == IacByte) {
                m_state = State::SubnegotiationCommand;
            } else if (m_subnegotiation.size() >= ports::SubnegotiationLimitBytes) {
                m_overflowed = true;
                m_subnegotiation.clear();
            } else {
                m_subnegotiation.append(c);
            }
            break;
        case State::SubnegotiationCommand:
            if (byte == IacByte) {
                if (m_subnegotiation.size() >= ports::SubnegotiationLimitBytes) {
                    m_overflowed = true;
                    m_subnegotiation.clear();
                } else {
                    m_subnegotiation.append(c);
                }
                m_state = State::Subnegotiation;
            } else if (byte == Se) {
                if (!m_subnegotiation.isEmpty())
                    m_commands.append({Sb, quint8(m_subnegotiation.at(0)), m_subnegotiation.mid(1)});
                m_subnegotiation.clear();
                m_state = State::Data;
            } else {
                // Not allowed inside a subnegotiation; keep looking for its end.
                m_state = State::Subnegotiation;
            }
            break;
        }
    }
}

QByteArray Decoder::takeData()
{
    QByteArray data;
    data.swap(m_data);
    return data;
}

QVector<TelnetCommand> Decoder::takeCommands()
{
    QVector<TelnetCommand> commands;
    commands.swap(m_commands);
    return commands;
}

int Decoder::heldBytes() const
{
    int held = m_data.size() + m_subnegotiation.size();
    for (const TelnetCommand &command : m_commands)
        held += int(sizeof command) + command.payload.size();
    return held;
}

Port::Port(QObject *parent)
    : QIODevice(parent)
    , m_socket(new QTcpSocket(this))
{
    // Another client of the event loop (a window) learns of new data as from any device.
    connect(m_socket, &QTcpSocket::readyRead, this, [this] {
        if (pump())
            emit readyRead();
    });
    connect(m_socket, &QTcpSocket::disconnected, this, &Port::readChannelFinished);
}

Port::~Port()
{
    Port::close();
}

bool Port::fail(const QString &reason)
{
    setErrorString(reason);
    m_socket->abort();
    QIODevice::close();
    return false;
}

bool Port::connectToPort(const QString &host, quint16 port, qint32 baudRate, int timeoutMs,
                         const std::atomic<bool> *stop)
{
    QDeadlineTimer deadline(timeoutMs);
    QString error;
    if (!ports::connectSocket(*m_socket, host, port, timeoutMs, stop, &error))
        return fail(error);
    // Small requests go out at once rather than waiting to be merged with the next.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setReadBufferSize(ports::ReadBufferBytes);
    QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    m_negotiating = true;

    // Binary both ways, so carriage returns travel as they are; then the port option.
    m_answered = {quint16(Will << 8 | BinaryOption), quint16(Do << 8 | BinaryOption),
                  quint16(Will << 8 | ComPortOption)};
    send(negotiation(Will, BinaryOption) + negotiation(Do, BinaryOption) + negotiation(Will, ComPortOption));

    const auto waitFor = [&](const std::function<bool()> &done) {
        pump();
        while (!done() && !m_comPortRefused) {
            if (isLost() || deadline.hasExpired() || (stop && stop->load()))
                return false;
            if (m_socket->waitForReadyRead(int(qBound(qint64(1), deadline.remainingTime(), qint64(ports::StopPollMs)))))
                pump();
        }
        return done();
    };
    const auto closedOrLate = [&](const QString &waitingFor) {
        // A server that takes the connection and closes it says why in plain text, as
        // ser2net does when another client holds the port.
        const QString said = ports::printableLine(m_greeting);
        if (m_decoder.overflowed())
            return fail(errorString());
        if (isLost())
            return fail(said.isEmpty() ? QStringLiteral("the server closed the connection")
                                       : QStringLiteral("the server closed the connection: %1").arg(said));
        if (m_comPortRefused)
            return fail(QStringLiteral("the server does not offer the port's settings (RFC 2217)"));
        return fail(QStringLiteral("no answer to %1 within %2 s").arg(waitingFor).arg(timeoutMs / 1000.0));
    };

    if (!waitFor([this] { return m_comPortAgreed; }))
        return closedOrLate(QStringLiteral("the request for the port's settings"));

    const QVector<QPair<PortCommand, QByteArray>> settings{
        {PortCommand::SetBaudRate, baudValue(baudRate)},
        {PortCommand::SetDataSize, byteValue(DataSize8)},
        {PortCommand::SetParity, byteValue(ParityNone)},
        {PortCommand::SetStopSize, byteValue(StopSizeOne)},
        {PortCommand::SetControl, byteValue(ControlNoFlowControl)},
    };
    QByteArray requests;
    for (const auto &setting : settings)
        requests += portCommand(setting.first, setting.second);
    send(requests);

    for (const auto &setting : settings) {
        const quint8 reply = quint8(setting.first) + ServerReplyOffset;
        if (!waitFor([&] { return m_portReplies.contains(reply); }))
            return closedOrLate(QStringLiteral("the %1 setting").arg(settingName(setting.first)));
        const QByteArray value = m_portReplies.value(reply);
        if (value != setting.second) {
            const QString held = setting.first == PortCommand::SetBaudRate && value.size() == 4
                ? QString::number(qFromBigEndian<quint32>(value.constData()))
                : QString::fromLatin1(value.toHex(' '));
            return fail(QStringLiteral("the server set the %1 to %2 instead").arg(settingName(setting.first), held));
        }
    }
    // Whatever data came with the negotiation is not an answer to anything of ours.
    m_negotiating = false;
    m_portReplies.clear();
    m_greeting.clear();
    m_data.clear();
    return true;
}

bool Port::isLost() const
{
    return m_socket->state() != QAbstractSocket::ConnectedState;
}

int Port::heldBytes() const
{
    int held = m_data.size() + m_greeting.size() + m_decoder.heldBytes();
    for (const QByteArray &value : m_portReplies)
        held += value.size();
    return held;
}

bool Port::flush()
{
    return !isLost() && m_socket->flush();
}

bool Port::pump()
{
    if (!m_socket->isOpen())
        return false;
    // As much as the socket's bounded buffer holds.
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return false;
    m_decoder.feed(bytes);
    for (const TelnetCommand &command : m_decoder.takeCommands())
        answer(command);
    if (m_decoder.overflowed()) {
        // The port closes through the end of its connection, as when the server closes it,
        // never from inside a read.
        setErrorString(QStringLiteral("the server sent a Telnet subnegotiation longer than %1 bytes")
                           .arg(ports::SubnegotiationLimitBytes));
        m_socket->abort();
        return false;
    }
    const QByteArray data = m_decoder.takeData();
    if (data.isEmpty())
        return false;
    m_unanswered = false;
    if (m_negotiating) {
        m_greeting.append(data.left(ports::GreetingLimitBytes - m_greeting.size()));
        return false;
    }
    m_data += data;
    // A peer that sends faster than we read: only the newest bytes are kept, since what is
    // older is dropped before the next request anyway.
    if (m_data.size() > ports::ReadBufferBytes)
        m_data.remove(0, m_data.size() - int(ports::ReadBufferBytes));
    return true;
}

void Port::answer(const TelnetCommand &command)
{
    if (command.verb == Sb) {
        // Answers to our settings are kept while negotiating only, so a server that repeats
        // them afterwards cannot fill memory; notifications of line and modem state, and
        // anything else, are not data and are dropped.
        if (!m_negotiating || command.option != ComPortOption || command.payload.isEmpty())
            return;
        const quint8 code = quint8(command.payload.at(0));
        if (code > ServerReplyOffset && code <= ServerReplyOffset + quint8(PortCommand::SetControl)
            && !m_portReplies.contains(code))
            m_portReplies.insert(code, command.payload.mid(1));
        return;
    }
    if (command.option == ComPortOption && (command.verb == Do || command.verb == Dont)) {
        m_comPortAgreed = command.verb == Do;
        m_comPortRefused = command.verb == Dont;
        return;
    }
    // Agree to binary and to suppressing go-ahead; refuse everything else, echo included,
    // since an echo would come back as reply bytes. Each offer is answered once, so two
    // parties that both insist never loop.
    const quint16 key = quint16(command.verb << 8 | command.option);
    if (m_answered.contains(key))
        return;
    m_answered.append(key);
    const bool wanted = command.option == BinaryOption || command.option == SuppressGoAheadOption;
    if (command.verb == Will)
        send(negotiation(wanted ? Do : Dont, command.option));
    else if (command.verb == Do)
        send(negotiation(wanted ? Will : Wont, command.option));
}

bool Port::send(const QByteArray &bytes)
{
    if (isLost())
        return false;
    const bool written = m_socket->write(bytes) == bytes.size();
    m_socket->flush();
    return written;
}

qint64 Port::bytesAvailable() const
{
    return m_data.size() + QIODevice::bytesAvailable();
}

qint64 Port::bytesToWrite() const
{
    return m_socket->bytesToWrite();
}

bool Port::waitForReadyRead(int msecs)
{
    QDeadlineTimer deadline(msecs);
    if (pump()) {
        emit readyRead();
        return true;
    }
    // Telnet commands alone (a notification) are no new data: wait on until data comes.
    while (!isLost()) {
        if (!m_socket->waitForReadyRead(int(deadline.remainingTime())))
            break;
        // The socket's own readyRead has run pump() already.
        if (!m_data.isEmpty())
            return true;
        if (pump()) {
            emit readyRead();
            return true;
        }
        if (deadline.hasExpired())
            break;
    }
    return !m_data.isEmpty();
}

bool Port::waitForBytesWritten(int msecs)
{
    return ports::waitForBytesWritten(*m_socket, msecs);
}

void Port::close()
{
    if (!isOpen())
        return;
    // The server may drop what it has not passed on yet when the client leaves (the EEPROM
    // commit is such a last request).
    ports::closeGracefully(*m_socket, m_unanswered && !isLost());
    QIODevice::close();
}

qint64 Port::readData(char *data, qint64 maxSize)
{
    pump();
    if (m_data.isEmpty())
        return isLost() ? -1 : 0;
    const qint64 count = qMin<qint64>(maxSize, m_data.size());
    memcpy(data, m_data.constData(), size_t(count));
    m_data.remove(0, int(count));
    return count;
}

qint64 Port::writeData(const char *data, qint64 maxSize)
{
    if (isLost())
        return -1;
    const QByteArray escaped = escape(QByteArray(data, int(maxSize)));
    if (m_socket->write(escaped) != escaped.size())
        return -1;
    m_unanswered = true;
    return maxSize;
}

} // namespace rfc2217
