#include "instrumentport.h"

#include "command.h"
#include "device.h"
#include "portdiscovery.h"

#include <QSerialPort>

namespace cli {

namespace {

QString describePort(const portdiscovery::Port &port)
{
    QStringList details;
    if (port.hasUsbIds) {
        details.append(QStringLiteral("%1:%2").arg(port.vendorId, 4, 16, QLatin1Char('0'))
                           .arg(port.productId, 4, 16, QLatin1Char('0')));
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

int openInstrument(const QString &requestedPort, QSerialPort &port)
{
    QString name = requestedPort;
    if (name.isEmpty()) {
        const device::FindResult found = device::findInstrument();
        switch (found.status) {
        case device::FindStatus::Found:
            name = found.portName;
            break;
        case device::FindStatus::NoInstrument: {
            const QStringList present = describePorts(found.ports);
            err(QStringLiteral("no instrument found (USB %1:%2). Serial ports present: %3. Connect "
                               "the instrument, or name its port with --port NAME.")
                    .arg(portdiscovery::InstrumentVendorId, 4, 16, QLatin1Char('0'))
                    .arg(portdiscovery::InstrumentProductId, 4, 16, QLatin1Char('0'))
                    .arg(present.isEmpty() ? QStringLiteral("none") : present.join(QLatin1String(", "))));
            return NoInstrument;
        }
        case device::FindStatus::SeveralInstruments:
            err(QStringLiteral("%1 instruments found: %2. Choose one with --port NAME.")
                    .arg(found.instruments.size())
                    .arg(describePorts(found.instruments).join(QLatin1String(", "))));
            return NoInstrument;
        }
    }
    if (!device::open(port, name)) {
        QString hint;
        switch (port.error()) {
        case QSerialPort::DeviceNotFoundError:
            hint = QStringLiteral(" No such port; '%1 ports' lists the ports present.").arg(programName());
            break;
        case QSerialPort::PermissionError:
            hint = QStringLiteral(" Is another program (the thermocal window?) holding it, or is your "
                                  "user not in the dialout group?");
            break;
        default:
            break;
        }
        err(QStringLiteral("cannot open %1: %2.%3").arg(name, port.errorString(), hint));
        return NoInstrument;
    }
    return Success;
}

int readInstrument(const QString &requestedPort, QSerialPort &port, device::DeviceSet *set)
{
    if (!port.isOpen()) {
        const int status = openInstrument(requestedPort, port);
        if (status != Success)
            return status;
    }
    protocol::Link link(&port);
    const std::optional<device::DeviceSet> held = device::readSet(link);
    if (!held)
        return reportLinkFailure(link.failure());
    *set = *held;
    return Success;
}

int commitToEeprom(QSerialPort &port)
{
    protocol::Link link(&port);
    device::commit(link);
    // The commit is one byte sent without waiting for an answer.
    while (link.failure() == protocol::LinkFailure::None && port.bytesToWrite() > 0
           && port.waitForBytesWritten(protocol::ReplyTimeoutMs)) {
    }
    if (link.failure() != protocol::LinkFailure::None)
        return reportLinkFailure(link.failure());
    return Success;
}

int reportLinkFailure(protocol::LinkFailure failure)
{
    err(protocol::message(failure));
    return NoAnswer;
}

} // namespace cli
