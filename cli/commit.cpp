#include "cli.h"

#include "device.h"
#include "protocol.h"

#include <QSerialPort>

namespace cli {

// The EEPROM commit alone, for a set sent earlier.
int runCommit(const QStringList &arguments)
{
    Parser parser(commandNamed("commit"), true);
    int status = Success;
    if (!parser.parse(arguments, &status))
        return status;
    if (!parser.parser.positionalArguments().isEmpty())
        return parser.usageError(QStringLiteral("takes no arguments"));

    QSerialPort port;
    status = openInstrument(parser.port(), port);
    if (status != Success)
        return status;
    protocol::Link link(&port);
    device::commit(link);
    // The commit is one byte sent without waiting; let it leave before the port closes.
    while (link.failure() == protocol::LinkFailure::None && port.bytesToWrite() > 0
           && port.waitForBytesWritten(protocol::ReplyTimeoutMs)) {
    }
    if (link.failure() != protocol::LinkFailure::None)
        return reportLinkFailure(int(link.failure()));
    err(QStringLiteral("committed to EEPROM."));
    return Success;
}

} // namespace cli
