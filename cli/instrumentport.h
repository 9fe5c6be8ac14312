#pragma once

#include "protocol.h"

#include <QString>

class QSerialPort;

namespace device {
struct DeviceSet;
}

// How thermocal-cli reaches the instrument: opening its port, reading its set, the commit.
namespace cli {

// Opens the instrument's port: the one named with --port whatever its USB identifiers, or
// else the only instrument present. On failure says why and returns NoInstrument.
int openInstrument(const QString &requestedPort, QSerialPort &port);

// The instrument's set, opening its port first unless it is open.
int readInstrument(const QString &requestedPort, QSerialPort &port, device::DeviceSet *set);

// Sends the EEPROM commit and lets it leave before the port closes; the exit status.
int commitToEeprom(QSerialPort &port);

// Reports a failed device action and returns NoAnswer.
int reportLinkFailure(protocol::LinkFailure failure);

} // namespace cli
