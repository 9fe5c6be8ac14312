#include "instrumentport.h"

#include "command.h"
#include "device.h"
#include "portdiscovery.h"
#include "portname.h"
#include "ports.h"
#include "sendset.h"

#include <QIODevice>

namespace cli {

namespace {

QString describePort(const portdiscovery::Port &port)
{
    QStringList details;
    if (port.hasUsbIds) {
        details.append(frontend::usbIds(port.vendorId, port.productId));
    } else {
        details.append(QStringLiteral("no USB ids"));
    }
    if (!port.serialNumber.isEmpty())
        details.append(QStringLiteral("serial %1").arg(port.serialNumber));
    return QStringLiteral("%1 (%2)").arg(port.name, details.join(QLatin1String(", ")));
}

QStringList describePorts(const QList<portdiscovery::Port> &ports)
{
    QStringList names;
    for (const portdiscovery::Port &port : ports)
        names.append(describePort(port));
    return names;
}

} // namespace

int openInstrument(const QString &requestedPort, Port &port, QString *portName)
{
    const device::ChosenPort chosen = device::choosePort(requestedPort);
    const QString name = chosen.name;
    const device::FindResult &found = chosen.found;
    if (name.isEmpty()) {
        switch (found.status) {
        case device::FindStatus::Found:
            break;
        case device::FindStatus::NoInstrument: {
            const QStringList present = describePorts(found.ports);
            err(QStringLiteral("no instrument found (USB %1). Serial ports present: %2. Connect "
                               "the instrument, or name its port with --port NAME.")
                    .arg(frontend::usbIds(portdiscovery::InstrumentVendorId, portdiscovery::InstrumentProductId),
                         present.isEmpty() ? QStringLiteral("none") : present.join(QLatin1String(", "))));
            return NoInstrument;
        }
        case device::FindStatus::SeveralInstruments:
            err(QStringLiteral("%1 instruments found: %2. Choose one with --port NAME.")
                    .arg(found.instruments.size())
                    .arg(describePorts(found.instruments).join(QLatin1String(", "))));
            return NoInstrument;
        }
    }
    portname::Opened opened = portname::open(name);
    if (!opened.port) {
        QString hint;
        switch (opened.error) {
        case portname::OpenError::BadName:
            err(QStringLiteral("--port: %1.").arg(opened.reason));
            return UsageError;
        case portname::OpenError::NotFound:
            hint = QStringLiteral(" No such port; '%1 ports' lists the ports present.").arg(programName());
            break;
        case portname::OpenError::PermissionDenied:
            hint = QStringLiteral(" Is another program (the thermocal window?) holding it, or is your "
                                  "user not in the dialout group?");
            break;
        case portname::OpenError::None:
        case portname::OpenError::Other:
            break;
        }
        err(QStringLiteral("cannot open %1: %2.%3").arg(name, opened.reason, hint));
        return NoInstrument;
    }
    port = std::move(opened.port);
    if (portName)
        *portName = name;
    return Success;
}

int readInstrument(const QString &requestedPort, Port &port, device::DeviceSet *set)
{
    if (!port) {
        const int status = openInstrument(requestedPort, port);
        if (status != Success)
            return status;
    }
    protocol::Link link(port.get());
    const std::optional<device::DeviceSet> held = device::readSet(link);
    if (!held)
        return reportLinkFailure(link.failure(), port.get());
    *set = *held;
    return Success;
}

int commitToEeprom(ports::Port &port)
{
    const protocol::LinkFailure failure = sendset::commitToEeprom(port);
    return failure == protocol::LinkFailure::None ? Success : reportLinkFailure(failure, &port);
}

int reportLinkFailure(protocol::LinkFailure failure, ports::Port *port)
{
    const QString refused = port ? port->refusal() : QString();
    if (!refused.isEmpty()) {
        err(QStringLiteral("cannot open %1: %2.").arg(port->name(), refused));
        return NoInstrument;
    }
    err(protocol::message(failure));
    return NoAnswer;
}

} // namespace cli
