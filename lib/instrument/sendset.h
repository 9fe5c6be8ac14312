#pragma once

#include "device.h"
#include "protocol.h"

#include <QString>
#include <QVector>

namespace ports {
class Port;
}

// The one way a new calibration set reaches the instrument, for every front end: a backup
// of what it holds, the three paced writes, a read-back compared value by value, and the
// EEPROM commit only after a clean read-back. Whatever stops it, the instrument's EEPROM
// keeps either the old set or the new one.
namespace sendset {

// thermocal-backup-<UTC time>.json, in the working directory.
QString defaultBackupName();

// Names the first value of `set` that a calibration file cannot hold (NaN, infinity); empty
// when there is none.
QString firstNonFinite(const device::DeviceSet &set);

// Writes the backup (a set whose values are all finite) into a file that must not exist yet,
// so no earlier backup (or any other file) is ever overwritten by one. Empty on success, else
// why nothing was written: "cannot write the backup PATH: REASON".
QString writeBackup(const device::DeviceSet &held, const QString &path);

enum class Outcome {
    Verified,  // written and read back equal; committed when asked
    LinkFailed,   // an exchange failed: the set may be partly written, nothing committed
    Different,    // the read-back differs: nothing committed
    CommitFailed, // verified, but the commit did not leave: the EEPROM may hold the old set
};

struct Result
{
    Outcome outcome = Outcome::LinkFailed;
    protocol::LinkFailure failure = protocol::LinkFailure::None;
    QVector<device::Difference> differences;
    bool committed = false;
};

// Writes `wanted`, reads it back and, with `commit` and a clean comparison, commits it.
Result send(ports::Port &port, const device::DeviceSet &wanted, bool commit);

// Sends the EEPROM commit and lets it leave before the port closes; the link's failure.
protocol::LinkFailure commitToEeprom(ports::Port &port);

} // namespace sendset
