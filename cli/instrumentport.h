#pragma once

#include "ports.h"
#include "protocol.h"

#include <QString>

#include <memory>

namespace device {
struct DeviceSet;
}

// How thermocal-cli reaches the instrument: opening its port, reading its set, the commit.
namespace cli {

// The instrument's port during one command: a serial port or a network connection, empty
// until opened.
using Port = std::unique_ptr<ports::Port>;

// Opens the instrument's port: the one named with --port (a local name whatever its USB
// identifiers, or a socket:// or rfc2217:// URL), or else the only instrument present. On
// failure says why and returns NoInstrument (UsageError for a malformed URL). `name`, when
// given, receives the port's name: as named with --port, or the system's name of the
// instrument found.
int openInstrument(const QString &requestedPort, Port &port, QString *name = nullptr);

// The instrument's set, opening its port first unless it is open.
int readInstrument(const QString &requestedPort, Port &port, device::DeviceSet *set);

// Sends the EEPROM commit and lets it leave before the port closes; the exit status.
int commitToEeprom(ports::Port &port);

// Reports a failed device action and returns NoAnswer; or, when it was the first action on
// `port` and the server closed the connection (a refusal in words), that the port cannot be
// opened, and NoInstrument.
int reportLinkFailure(protocol::LinkFailure failure, ports::Port *port = nullptr);

} // namespace cli
