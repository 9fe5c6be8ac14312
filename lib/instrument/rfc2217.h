#pragma once

#include <QByteArray>
#include <QHash>
#include <QIODevice>
#include <QString>
#include <QVector>

#include <atomic>

class QTcpSocket;

// A serial port served over Telnet with the COM-PORT-OPTION (RFC 2217), as ser2net serves
// one: the port's settings travel as Telnet subnegotiations beside the data, and a data byte
// 0xFF travels doubled so it is never taken for the start of a command.
namespace rfc2217 {

// Telnet (RFC 854, 855, 856) and the COM-PORT-OPTION (RFC 2217).
constexpr char Iac = char(0xFF);
constexpr quint8 Se = 240;
constexpr quint8 Sb = 250;
constexpr quint8 Will = 251;
constexpr quint8 Wont = 252;
constexpr quint8 Do = 253;
constexpr quint8 Dont = 254;
constexpr quint8 IacByte = 255;

constexpr quint8 BinaryOption = 0;
constexpr quint8 EchoOption = 1;
constexpr quint8 SuppressGoAheadOption = 3;
constexpr quint8 ComPortOption = 44;

// The COM-PORT-OPTION commands the client sends; the server answers each one with the
// same command plus ServerReplyOffset, carrying the value now in force.
enum class PortCommand : quint8 {
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
};
constexpr quint8 ServerReplyOffset = 100;
constexpr quint8 ParityNone = 1;
constexpr quint8 StopSizeOne = 1;
constexpr quint8 ControlNoFlowControl = 1;

// Data bytes as they go on the wire: each 0xFF doubled.
QByteArray escape(const QByteArray &data);
// IAC SB COM-PORT-OPTION command value IAC SE, the value escaped like data.
QByteArray portCommand(PortCommand command, const QByteArray &value);
// IAC verb option.
QByteArray negotiation(quint8 verb, quint8 option);

// A Telnet command that the server sent: an option negotiation (verb WILL, WONT, DO or
// DONT), or a subnegotiation (verb SB) with its bytes after the option, undoubled.
struct TelnetCommand
{
    quint8 verb = 0;
    quint8 option = 0;
    QByteArray payload;

    bool operator==(const TelnetCommand &other) const
    {
        return verb == other.verb && option == other.option && payload == other.payload;
    }
};

// Splits what the server sends into data bytes and Telnet commands. A command may be cut
// anywhere by the TCP segments, so the decoder keeps its place between calls. Commands
// other than negotiations and subnegotiations (NOP, GA, ...) are dropped.
// A subnegotiation longer than ports::SubnegotiationLimitBytes is none a real server sends:
// the decoder stops there, takes nothing more, and tells so through overflowed().
class Decoder
{
public:
    void feed(const QByteArray &bytes);
    // The data bytes decoded so far, taken out of the decoder.
    QByteArray takeData();
    QVector<TelnetCommand> takeCommands();
    bool overflowed() const { return m_overflowed; }
    // The bytes the decoder holds: data and commands not yet taken, a subnegotiation begun.
    int heldBytes() const;

private:
    enum class State { Data, Command, Option, Subnegotiation, SubnegotiationCommand };

    bool m_overflowed = false;
    State m_state = State::Data;
    quint8 m_verb = 0;
    QByteArray m_subnegotiation;
    QByteArray m_data;
    QVector<TelnetCommand> m_commands;
};

// The instrument's port on an RFC 2217 server, read and written as any QIODevice. Works
// without a running event loop through the blocking waits, in whichever thread made it.
class Port : public QIODevice
{
    Q_OBJECT

public:
    explicit Port(QObject *parent = nullptr);
    ~Port() override;

    // Connects, agrees on the COM-PORT-OPTION and sets the instrument's line: `baudRate`,
    // 8 data bits, no parity, one stop bit, no flow control, each checked against the
    // server's answer. All within `timeoutMs`, or until `*stop` is set. False with the reason
    // in errorString().
    bool connectToPort(const QString &host, quint16 port, qint32 baudRate, int timeoutMs,
                       const std::atomic<bool> *stop = nullptr);

    // True once the connection has failed or the server has closed it, or was ended for a
    // subnegotiation too long to be real (errorString() says so).
    bool isLost() const;
    // The bytes the port holds of what the server sent: data not yet read, settings answers,
    // what the decoder holds. Bounded whatever the server sends.
    int heldBytes() const;
    bool flush();

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    qint64 bytesToWrite() const override;
    bool waitForReadyRead(int msecs) override;
    bool waitForBytesWritten(int msecs) override;
    void close() override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    // Decodes what the socket holds and answers the server's commands; true when new data
    // bytes arrived.
    bool pump();
    void answer(const TelnetCommand &command);
    bool send(const QByteArray &bytes);
    bool fail(const QString &reason);

    QTcpSocket *m_socket;
    Decoder m_decoder;
    QByteArray m_data;
    // Until the port is usable: the server's answers to the settings (the first of each,
    // by answer code) and, to report a refusal, the start of what it said.
    bool m_negotiating = false;
    QHash<quint8, QByteArray> m_portReplies;
    QByteArray m_greeting;
    bool m_unanswered = false;               // a data write since the last data arrived
    bool m_comPortAgreed = false;
    bool m_comPortRefused = false;
    QVector<quint16> m_answered;             // (verb << 8 | option) already answered
};

} // namespace rfc2217
