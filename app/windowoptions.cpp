#include "windowoptions.h"

#include "portdiscovery.h"
#include "portname.h"

#include <QCommandLineParser>

#include <cstdio>
#include <cstring>

namespace windowoptions {

namespace {

constexpr int UsageErrorStatus = 2;

const char Usage[] =
    "Usage: thermocal [--port NAME]\n"
    "\n"
    "Calibration tool for a USB temperature instrument (USB 0483:5740).\n"
    "\n"
    "Options:\n"
    "  --port NAME    open this port (ttyACM1, /dev/ttyACM1, a pseudo-terminal) as the\n"
    "                 instrument, whatever its USB identifiers; without it, exactly one\n"
    "                 instrument must be connected\n"
    "  -h, --help     show this help\n"
    "  -v, --version  show the version\n"
    "\n"
    "thermocal-cli reads, writes and compares calibration sets from scripts.\n";

bool isOption(const char *argument, const char *shortName, const char *longName)
{
    return std::strcmp(argument, shortName) == 0 || std::strcmp(argument, longName) == 0;
}

} // namespace

std::optional<int> answerInformationOptions(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (isOption(argv[i], "-h", "--help")) {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (isOption(argv[i], "-v", "--version")) {
            std::printf("thermocal %s\n", THERMOCAL_VERSION);
            return 0;
        }
    }
    return std::nullopt;
}

std::optional<int> applyPortOption(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("NAME"));
    parser.addOption(port);
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        const QString problem = parser.errorText().isEmpty()
            ? QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().join(QLatin1Char(' ')))
            : parser.errorText();
        std::fprintf(stderr, "thermocal: %s\n%s", qPrintable(problem), Usage);
        return UsageErrorStatus;
    }
    if (parser.isSet(port) && portname::isUrl(parser.value(port))) {
        // The window's port is a serial port; a network port reaches it as a local terminal.
        std::fprintf(stderr,
                     "thermocal: %s: the window opens local ports only. Make a local terminal of a raw\n"
                     "network port with socat, then name that terminal:\n"
                     "  socat pty,link=$HOME/instrument,rawer tcp:HOST:PORT &\n"
                     "  thermocal --port $HOME/instrument\n"
                     "(thermocal-cli takes socket:// and rfc2217:// URLs itself.)\n",
                     qPrintable(parser.value(port)));
        return UsageErrorStatus;
    }
    if (parser.isSet(port)) {
        const portdiscovery::Port chosen = portdiscovery::instrumentPort(parser.value(port));
        portdiscovery::setPortSource([chosen] { return QList<portdiscovery::Port>{chosen}; });
    }
    return std::nullopt;
}

} // namespace windowoptions
