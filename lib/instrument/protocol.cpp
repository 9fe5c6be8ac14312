#include "protocol.h"

#include "ports.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QIODevice>
#include <QTimer>
#include <QtEndian>

#include <cstring>

namespace protocol {

namespace {
constexpr char ArgumentByte = 0x00;
}

int replyValueCount(Command command)
{
    switch (command) {
    case Command::ReadVoltage:
    case Command::ReadTemperature:
        return 1;
    case Command::ReadAdc:
    case Command::ReadDac:
        return 2;
    case Command::ReadTable:
        return 2 * TableRows;
    default:
        return 0;
    }
}

int replyLength(Command command)
{
    return FloatSize * replyValueCount(command);
}

int payloadValueCount(Command command)
{
    switch (command) {
    case Command::WriteAdc:
    case Command::WriteDac:
        return 2;
    case Command::WriteTable:
        return 2 * TableRows;
    default:
        return 0;
    }
}

std::optional<Command> commandOf(quint8 code)
{
    switch (Command(code)) {
    case Command::ReadVoltage:
    case Command::ReadTemperature:
    case Command::ReadAdc:
    case Command::WriteAdc:
    case Command::ReadDac:
    case Command::WriteDac:
    case Command::ReadTable:
    case Command::WriteTable:
    case Command::CommitEeprom:
        return Command(code);
    }
    return std::nullopt;
}

int requestLength(Command command)
{
    if (command == Command::CommitEeprom)
        return 1;
    return 2 + FloatSize * payloadValueCount(command);
}

bool isWrite(Command command)
{
    return command == Command::WriteAdc || command == Command::WriteDac || command == Command::WriteTable
        || command == Command::CommitEeprom;
}

void appendFloat(QByteArray &bytes, float value)
{
    quint32 bits;
    std::memcpy(&bits, &value, sizeof bits);
    char raw[FloatSize];
    qToLittleEndian(bits, raw);
    bytes.append(raw, FloatSize);
}

QVector<float> decodeFloats(const QByteArray &bytes, int count)
{
    QVector<float> values;
    if (count < 0 || bytes.size() < count * FloatSize)
        return values;
    values.reserve(count);
    for (int i = 0; i < count; ++i) {
        const quint32 bits = qFromLittleEndian<quint32>(bytes.constData() + i * FloatSize);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        values.append(value);
    }
    return values;
}

QByteArray request(Command command, const QVector<float> &payload)
{
    Q_ASSERT(payload.size() == payloadValueCount(command));
    QByteArray bytes;
    bytes.reserve(2 + FloatSize * payload.size());
    bytes.append(char(command));
    // The commit is the command code alone; every other request carries the argument byte.
    if (command != Command::CommitEeprom)
        bytes.append(ArgumentByte);
    for (float value : payload)
        appendFloat(bytes, value);
    return bytes;
}

QByteArray tableRequest(const QVector<QPair<float, float>> &rows)
{
    Q_ASSERT(rows.size() == TableRows);
    QVector<float> values;
    values.reserve(2 * rows.size());
    for (const auto &row : rows)
        values << row.first << row.second;
    return request(Command::WriteTable, values);
}

QVector<QPair<float, float>> decodeTable(const QVector<float> &values)
{
    QVector<QPair<float, float>> rows;
    rows.reserve(values.size() / 2);
    for (int i = 0; i + 1 < values.size(); i += 2)
        rows.append({values[i], values[i + 1]});
    return rows;
}

QString message(LinkFailure failure)
{
    switch (failure) {
    case LinkFailure::None:
        return {};
    case LinkFailure::NoAnswer:
        return QCoreApplication::translate("protocol", "The instrument did not answer.");
    case LinkFailure::WriteFailed:
        return QCoreApplication::translate("protocol", "Sending to the instrument failed.");
    case LinkFailure::NotConnected:
        return QCoreApplication::translate("protocol", "The instrument is not connected.");
    case LinkFailure::ConnectionLost:
        return QCoreApplication::translate("protocol", "The connection to the instrument was lost.");
    }
    return {};
}

Link::Link(ports::Port *port, int replyTimeoutMs)
    : m_port(port)
    , m_replyTimeoutMs(replyTimeoutMs)
    , m_wasOpen(port && port->isOpen())
{
}

Link::~Link()
{
    if (m_answered && m_failure == LinkFailure::None)
        m_port->noteAnswered();
}

void Link::fail(LinkFailure failure)
{
    if (failure > m_failure)
        m_failure = failure;
}

bool Link::usable()
{
    // The protocol has no framing: after one failed exchange a late reply may still be on
    // its way and would be taken for the next request's, so the action goes no further.
    if (m_failure != LinkFailure::None)
        return false;
    if (!m_port || !m_port->isOpen()) {
        fail(m_wasOpen ? LinkFailure::ConnectionLost : LinkFailure::NotConnected);
        return false;
    }
    // A fatal error whose queued close has not run yet: the device is already gone.
    if (m_port->isLost()) {
        fail(LinkFailure::ConnectionLost);
        return false;
    }
    return true;
}

bool Link::send(const QByteArray &request)
{
    const qint64 written = m_port->device().write(request);
    m_port->flush();
    if (m_port->isLost()) {
        fail(LinkFailure::ConnectionLost);
        return false;
    }
    if (written != request.size()) {
        fail(LinkFailure::WriteFailed);
        return false;
    }
    return true;
}

std::optional<QVector<float>> Link::query(Command command)
{
    if (!usable())
        return std::nullopt;

    // What Qt has buffered and what the driver still holds both belong to earlier exchanges.
    if (!m_port->discardInput()) {
        fail(LinkFailure::NoAnswer);
        return std::nullopt;
    }

    if (!send(request(command)))
        return std::nullopt;

    // A USB device delivers long replies in packets, so keep reading until the whole reply
    // is there; the deadline is counted from the flush.
    const int length = replyLength(command);
    QElapsedTimer clock;
    clock.start();
    QIODevice &device = m_port->device();
    QByteArray reply;
    // Only what the reply needs is taken, so a peer that sends more cannot make it grow.
    reply += device.read(length);
    while (reply.size() < length) {
        const qint64 left = m_replyTimeoutMs - clock.elapsed();
        if (left <= 0 || !device.waitForReadyRead(int(left)))
            break;
        reply += device.read(length - reply.size());
    }
    // Until an action has gone through, this may be a server's refusal rather than a reply.
    m_port->keepUnasked(reply);
    if (m_port->isLost()) {
        fail(LinkFailure::ConnectionLost);
        return std::nullopt;
    }
    // A server that was already talking (or began as the request went) may have filled the
    // whole reply; its words go on past it, where the instrument would have fallen silent.
    if (reply.size() < length || m_port->talksUnasked()) {
        fail(LinkFailure::NoAnswer);
        return std::nullopt;
    }
    m_answered = true;
    return decodeFloats(reply, replyValueCount(command));
}

void Link::pacedSend(const QByteArray &request)
{
    if (!usable())
        return;
    send(request);

    QElapsedTimer clock;
    clock.start();
    // On Linux waitForBytesWritten blocks for its whole timeout once nothing is left to
    // write, which would keep the window frozen for the whole pause; only wait while bytes
    // are still queued.
    while (m_port->isOpen() && m_port->device().bytesToWrite() > 0) {
        const qint64 left = WritePacingMs - clock.elapsed();
        if (left <= 0 || !m_port->device().waitForBytesWritten(int(left)))
            break;
    }
    // Let the window repaint and take input for the rest of the pause, without spinning.
    while (clock.elapsed() < WritePacingMs) {
        QEventLoop pause;
        QTimer::singleShot(int(WritePacingMs - clock.elapsed()), Qt::PreciseTimer, &pause,
                           &QEventLoop::quit);
        pause.exec();
    }
}

void Link::plainSend(const QByteArray &request)
{
    if (usable())
        send(request);
}

} // namespace protocol
