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
        Port port = portFromSystem(info.portName(), info.hasVendorIdentifier(), info.vendorIdentifier(),
                                   info.hasProductIdentifier(), info.productIdentifier());
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

Port portFromSystem(const QString &name, bool hasVendorId, quint16 vendorId, bool hasProductId,
                    quint16 productId)
{
    Port port;
    port.name = name;
    port.hasUsbIds = hasVendorId && hasProductId;
    port.vendorId = hasVendorId ? vendorId : 0;
    port.productId = hasProductId ? productId : 0;
    return port;
}

QString serialNumberOf(const QString &name)
{
    for (const Port &port : availablePorts()) {
        if (port.name == name || QStringLiteral("/dev/") + port.name == name)
            return port.serialNumber;
    }
    return QString();
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
