#include "portdiscovery.h"

#include <QSerialPortInfo>

namespace portdiscovery {

namespace {
PortSource &installedSource()
{
    static PortSource source;
    return source;
}
} // namespace

QList<Port> availablePorts()
{
    if (installedSource())
        return installedSource()();

    QList<Port> ports;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        Port port;
        port.name = info.portName();
        port.hasUsbIds = info.hasVendorIdentifier() && info.hasProductIdentifier();
        port.vendorId = info.vendorIdentifier();
        port.productId = info.productIdentifier();
        port.serialNumber = info.serialNumber();
        port.description = info.description();
        ports.append(port);
    }
    return ports;
}

void setPortSource(PortSource source)
{
    installedSource() = std::move(source);
}

bool isInstrument(const Port &port)
{
    return port.hasUsbIds && port.vendorId == InstrumentVendorId
        && port.productId == InstrumentProductId;
}

Port instrumentPort(const QString &name)
{
    Port port;
    port.name = name;
    port.hasUsbIds = true;
    port.vendorId = InstrumentVendorId;
    port.productId = InstrumentProductId;
    return port;
}

} // namespace portdiscovery
