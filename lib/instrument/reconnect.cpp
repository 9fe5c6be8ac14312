#include "reconnect.h"

namespace reconnect {

Target namedPort(const QString &name)
{
    Target target;
    target.name = name;
    target.named = true;
    return target;
}

Target foundPort(const portdiscovery::Port &port)
{
    Target target;
    target.name = port.name;
    target.serialNumber = port.serialNumber;
    return target;
}

QStringList candidates(const Target &target, const QList<portdiscovery::Port> &present)
{
    if (target.named)
        return {target.name};
    QStringList names;
    for (const portdiscovery::Port &port : present) {
        if (!portdiscovery::isInstrument(port))
            continue;
        const bool sameInstrument = target.serialNumber.isEmpty() ? port.name == target.name
                                                                  : port.serialNumber == target.serialNumber;
        if (!sameInstrument)
            continue;
        if (port.name == target.name)
            names.prepend(port.name);
        else
            names.append(port.name);
    }
    return names;
}

} // namespace reconnect
