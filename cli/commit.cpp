#include "cli.h"

#include <QIODevice>

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

    Port port;
    status = openInstrument(parser.port(), port);
    if (status != Success)
        return status;
    status = commitToEeprom(*port);
    if (status != Success)
        return status;
    err(QStringLiteral("committed to EEPROM."));
    return Success;
}

} // namespace cli
