#include "commands.h"

#include "instrumentport.h"

#include <QSerialPort>

namespace cli {

namespace {

// The EEPROM commit alone, for a set sent earlier.
int run(const Invocation &invocation)
{
    QSerialPort port;
    int status = openInstrument(invocation.port(), port);
    if (status != Success)
        return status;
    status = commitToEeprom(port);
    if (status != Success)
        return status;
    err(QStringLiteral("committed to EEPROM."));
    return Success;
}

} // namespace

Command commitCommand()
{
    return {QStringLiteral("commit"), QStringLiteral("commit the instrument's constants to its EEPROM"), {}, {}, run};
}

} // namespace cli
