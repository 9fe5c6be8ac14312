#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <atomic>
#include <memory>

class QAbstractSocket;
class QIODevice;
class QSerialPort;

namespace rfc2217 {
class Port;
}

// The instrument's port, whatever carries it: a serial port, a raw TCP connection or an RFC
// 2217 connection. The exchanges read, write and wait on device(); what differs between the
// kinds (how a port is lost, how its input is cleared, when it closes itself) is here, and
// so is every limit on what a peer may make us hold or wait for.
namespace ports {

// Dropping old input before a request stops after this long or this many bytes, whichever
// comes first: a peer that never stops talking must not hold the program. What is left then
// counts as a failed reading.
constexpr int DiscardLimitMs = 1000;
constexpr qint64 DiscardLimitBytes = 64 * 1024;
// How much a connection or a serial port may hold unread. The instrument's longest reply is
// 800 bytes.
constexpr qint64 ReadBufferBytes = 64 * 1024;
// Input is dropped in slices of this size, so dropping never copies a whole buffer.
constexpr int DropSliceBytes = 4096;
// The longest Telnet subnegotiation taken; real ones (settings answers, notifications) are a
// few bytes long.
constexpr int SubnegotiationLimitBytes = 512;
// How much of what a server says before the port is usable is kept to report, and how many
// characters of it a message shows.
constexpr int GreetingLimitBytes = 4 * 1024;
constexpr int ShownGreetingChars = 200;
// After a failed first action on a raw connection, how long a server that is still talking
// gets to close it (a refusal in words ends with the close), and how long a quiet one.
constexpr int RefusalLimitMs = 3000;
constexpr int RefusalQuietMs = 100;

// A server passes on what it received before noticing that the client left only when given
// a moment: ser2net may drop the last bytes (the EEPROM commit) otherwise. How long closing
// waits for written bytes to leave and, after a write that nothing has answered, for the
// server to pass it on.
constexpr int CloseGraceMs = 100;
// How often a bounded wait for written bytes tries again.
constexpr int WritePollMs = 1;

// A connect wait looks at the stop flag this often, so that a program asked to end while a
// host does not answer ends well within a second.
constexpr int StopPollMs = 50;

// Connects `socket` to `host`:`port` within `timeoutMs`, or until `*stop` is set: Qt's own
// connect wait cannot be cut short without giving up the connection, so on POSIX systems
// the connection is made here and handed to the socket. False with the reason in `error`.
bool connectSocket(QAbstractSocket &socket, const QString &host, quint16 port, int timeoutMs,
                   const std::atomic<bool> *stop, QString *error);

// QAbstractSocket's own waits for written bytes and for the end of a connection go on for as
// long as bytes keep arriving. These are bounded by the clock whatever the peer sends.
// True when some of the bytes to write left within `msecs`.
bool waitForBytesWritten(QAbstractSocket &socket, int msecs);
// Ends a connection in good order: what was written leaves, the server gets CloseGraceMs to
// pass on a request nothing has answered (`unanswered`), and it sees an orderly end rather
// than a reset when it can.
void closeGracefully(QAbstractSocket &socket, bool unanswered);

// A peer's words fit for one line of a message: whitespace runs become one space, other
// control characters '?', and text beyond `maxChars` is cut with an ellipsis.
QString printableLine(const QByteArray &bytes, int maxChars = ShownGreetingChars);

class Port
{
public:
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;
    virtual ~Port();

    // What the exchanges read, write and wait on. Only for an open port.
    QIODevice &device() const { return *m_device; }
    bool isOpen() const;
    void close();
    // The port as the user named it, for messages.
    QString name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }

    // Until a device action has gone through, what a network port receives may be its
    // server refusing the client in words (ser2net's "port in use") rather than the
    // instrument answering: those bytes are kept, to GreetingLimitBytes, for refusal().
    void keepUnasked(const QByteArray &bytes);
    // A device action went through: the peer is the instrument.
    void noteAnswered();
    // After a failed action on a port that never had one go through: when its server
    // closed the connection, why, with its words; otherwise empty.
    virtual QString refusal() { return {}; }
    // True when, before any action went through, a server is still sending once a reply's
    // bytes were read: the instrument answers and falls silent, so this is the server talking
    // on its own (a refusal in words, a banner), and its bytes are no reply.
    // Looks at what the network has delivered, without waiting.
    bool talksUnasked();

    // True when the port has gone: a fatal serial port error, or a connection that failed
    // or that the server closed.
    virtual bool isLost() const = 0;
    // Hands what was written to the driver or the network without blocking.
    virtual void flush() = 0;
    // Closes the port once at its first fatal error or when its connection ends. The close
    // is queued, because closing inside the error signal's own emission is not safe, and
    // without it a dead serial port floods the event loop with read errors. The connection
    // lives with the device, so a port lent for one action can set it up for good.
    virtual void closeOnFatalError() = 0;

    // Drops every byte received so far, including what the driver or the network still
    // holds, until the input is quiet, `deadline` passes or more than `limitBytes` went. True
    // when it ended quiet (or the port is gone); false when the peer is still talking.
    bool discardInput(QDeadlineTimer deadline = QDeadlineTimer(DiscardLimitMs),
                      qint64 limitBytes = DiscardLimitBytes);
    // Drops what the device holds now, without waiting or reading more; how many bytes.
    qint64 dropHeld();

protected:
    explicit Port(QIODevice *device);
    // Drops what the driver holds beyond the device's buffer (a serial port's input queue).
    virtual void clearDriverInput() {}
    // A plain connection to a server, which may speak before it is asked; a serial port's
    // stray bytes are an earlier exchange's, and RFC 2217 negotiates its own way in.
    virtual bool isServer() const { return false; }
    bool answered() const { return m_answered; }
    QByteArray unasked() const { return m_unasked; }

private:
    QIODevice *m_device;
    QString m_name;
    bool m_answered = false;
    QByteArray m_unasked;
};

// A local serial port, owned, or lent by its owner (the window keeps its own) for as long as
// this object lives.
class SerialPort : public Port
{
public:
    explicit SerialPort(std::unique_ptr<QSerialPort> port);
    // Not owned; may be null, which is a port that is not open.
    explicit SerialPort(QSerialPort *port);
    ~SerialPort() override;

    bool isLost() const override;
    void flush() override;
    void closeOnFatalError() override;

protected:
    void clearDriverInput() override;

private:
    QSerialPort *m_serial;
    std::unique_ptr<QSerialPort> m_owned;
};

// A raw TCP connection (socket://). Its read buffer is bounded by ReadBufferBytes.
class SocketPort : public Port
{
public:
    explicit SocketPort(std::unique_ptr<QAbstractSocket> socket);
    ~SocketPort() override;

    bool isLost() const override;
    void flush() override;
    void closeOnFatalError() override;
    QString refusal() override;

protected:
    bool isServer() const override { return true; }

private:
    std::unique_ptr<QAbstractSocket> m_socket;
};

// A port on an RFC 2217 server (rfc2217://), connected and agreed.
class Rfc2217Port : public Port
{
public:
    explicit Rfc2217Port(std::unique_ptr<rfc2217::Port> port);
    ~Rfc2217Port() override;

    bool isLost() const override;
    void flush() override;
    void closeOnFatalError() override;

private:
    std::unique_ptr<rfc2217::Port> m_port;
};

} // namespace ports
