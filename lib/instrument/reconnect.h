#pragma once

#include "portdiscovery.h"

#include <QList>
#include <QString>
#include <QStringList>

// Finding an instrument's port again after it went away (unplugged, or the instrument
// reset). A port named by the user is tried under that name only; an instrument found by its
// USB identifiers is followed by its USB serial number, since the system may give it a new
// name when it comes back (ttyACM0 returning as ttyACM1).
namespace reconnect {

// How often a lost port is looked for again.
constexpr int RetryIntervalMs = 1000;

struct Target
{
    QString name;          // the port as last opened
    QString serialNumber;  // the instrument's USB serial number, empty when unknown
    bool named = false;    // given by the user: opened by that name whatever it reports
};

// The target for a port the user named.
Target namedPort(const QString &name);
// The target for an instrument found by its USB identifiers.
Target foundPort(const portdiscovery::Port &port);

// The port names to try opening, best first, among the ports `present`. A named port is
// always tried (a pseudo-terminal or a link is never listed); a found instrument only when an
// instrument with its serial number is present, its old name first; without a serial number,
// only an instrument under its old name.
QStringList candidates(const Target &target, const QList<portdiscovery::Port> &present);

} // namespace reconnect
