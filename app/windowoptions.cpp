#include "windowoptions.h"

#include "portdiscovery.h"

#include <QCommandLineParser>
#include <QStringList>

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

// The options QGuiApplication and QApplication take for themselves, with and without a value.
const char *const QtValueOptions[] = {"platform", "platformpluginpath", "platformtheme", "plugin",
                                      "qmljsdebugger", "style", "stylesheet", "session", "display",
                                      "geometry", "title", "qwindowgeometry", "qwindowicon", "qwindowtitle"};
const char *const QtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};

bool isOption(const char *argument, const char *shortName, const char *longName)
{
    return std::strcmp(argument, shortName) == 0 || std::strcmp(argument, longName) == 0;
}

} // namespace

Options parse(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (isOption(argv[i], "-h", "--help")) {
            std::fputs(Usage, stdout);
            return {0, {}};
        }
        if (isOption(argv[i], "-v", "--version")) {
            std::printf("thermocal %s\n", THERMOCAL_VERSION);
            return {0, {}};
        }
    }

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    // Qt's options are single-dash words: "-platform" is not "-p -l -a ...".
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("NAME"));
    parser.addOption(port);
    for (const char *name : QtValueOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("VALUE")));
    for (const char *name : QtFlagOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        const QString problem = parser.errorText().isEmpty()
            ? QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().join(QLatin1Char(' ')))
            : parser.errorText();
        std::fprintf(stderr, "thermocal: %s\n%s", problem.toLocal8Bit().constData(), Usage);
        return {UsageErrorStatus, {}};
    }
    return {std::nullopt, parser.value(port)};
}

void usePort(const QString &port)
{
    if (port.isEmpty())
        return;
    const portdiscovery::Port chosen = portdiscovery::instrumentPort(port);
    portdiscovery::setPortSource([chosen] { return QList<portdiscovery::Port>{chosen}; });
}

} // namespace windowoptions
