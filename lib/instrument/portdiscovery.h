#pragma once

#include <QList>
#include <QString>

#include <functional>

// The serial ports present, as far as finding the instrument needs them. Production lists
// what the operating system reports; tests and the demo install their own source so that a
// pseudo-terminal can stand in for the instrument.
namespace portdiscovery {

constexpr quint16 InstrumentVendorId = 0x0483;
constexpr quint16 InstrumentProductId = 0x5740;

struct Port
{
    QString name;          // what QSerialPort::setPortName takes
    bool hasUsbIds = false;
    quint16 vendorId = 0;
    quint16 productId = 0;
    QString serialNumber;  // the USB serial number, empty when the port reports none
    QString description;   // the driver's or device's own description
};

using PortSource = std::function<QList<Port>()>;

// The ports in the platform's order, from the installed source or QSerialPortInfo.
QList<Port> availablePorts();
// Replaces the platform's list; an empty function restores it.
void setPortSource(PortSource source);

// The entry for one port from what the operating system reports about it (as
// QSerialPortInfo gives it): an identifier counts only when the system has it.
Port portFromSystem(const QString &name, bool hasVendorId, quint16 vendorId, bool hasProductId,
                    quint16 productId);

bool isInstrument(const Port &port);
// The USB serial number of the port named `name` (as listed, or with /dev/ before it); empty
// when the system does not list it (a pseudo-terminal, a network port) or it reports none.
QString serialNumberOf(const QString &name);
// A port entry with the instrument's USB identifiers, for presenting a stand-in (such as a
// pseudo-terminal) through the source above.
Port instrumentPort(const QString &name);

} // namespace portdiscovery
