#pragma once

#include <QString>

#include <atomic>
#include <memory>
#include <optional>

class QSerialPort;

namespace ports {
class Port;
}

// The instrument's port as the user names it: a local serial port (ttyACM1, /dev/ttyACM1, a
// pseudo-terminal) or a port served on the network, socket://HOST:PORT for raw TCP or
// rfc2217://HOST:PORT for Telnet with the COM-PORT-OPTION (as ser2net serves them). HOST is
// a name, an IPv4 address or an IPv6 address in brackets.
namespace portname {

// The longest wait for a connection, or for the port's settings to be agreed.
constexpr int ConnectTimeoutMs = 3000;

enum class Kind { Local, Socket, Rfc2217 };

struct Address
{
    Kind kind = Kind::Local;
    QString host;        // for URLs, brackets removed
    quint16 port = 0;
};

// True when `name` is written as a URL (SCHEME://...), good or bad.
bool isUrl(const QString &name);
// What `name` names; nothing, with the reason in `error`, for a URL that is not well formed
// or not of a known kind.
std::optional<Address> parse(const QString &name, QString *error);

enum class OpenError { None, BadName, NotFound, PermissionDenied, Other };

struct Opened
{
    std::unique_ptr<ports::Port> port;  // open for reading and writing when there is no error
    OpenError error = OpenError::None;
    QString reason;                     // why it did not open, as a phrase

    Opened();
    Opened(Opened &&) noexcept;
    Opened &operator=(Opened &&) noexcept;
    ~Opened();
};

// Opens whatever `name` names: a local port with the instrument's settings, or a connection
// to a network port within ConnectTimeoutMs (for rfc2217:// with the instrument's line
// settings agreed). Needs no running event loop, so any thread can call it; the port
// belongs to the calling thread. What an RFC 2217 server says before the port is usable is
// kept to ports::GreetingLimitBytes and reported as one printable line; a raw connection is
// used at once, and a server's refusal in words shows through ports::Port::refusal() when
// the first action fails. A network port's connect
// ends early, failed, once `*stop` is set.
Opened open(const QString &name, const std::atomic<bool> *stop = nullptr);

// The local step of open(), for a serial port that its owner keeps (the window's): names the
// port, applies the instrument's settings and opens it for reading and writing. False when it
// does not open; the port's errorString() says why.
bool openSerial(QSerialPort &port, const QString &name);

} // namespace portname
