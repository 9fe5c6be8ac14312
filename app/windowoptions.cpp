#include "windowoptions.h"

#include "frontend.h"
#include "portdiscovery.h"
#include "portname.h"
#include "streams.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstring>

namespace windowoptions {

namespace {

// Where the help's option descriptions start.
constexpr int DescriptionColumn = 17;

QString usage()
{
    return QStringLiteral("Usage: thermocal [--port NAME]\n"
                          "\n"
                          "Calibration tool for a USB temperature instrument (USB %1).\n"
                          "\n"
                          "Options:\n"
                          "  --port NAME    %2\n"
                          "  -h, --help     show this help\n"
                          "  -v, --version  show the version\n"
                          "\n"
                          "thermocal-cli reads, writes and compares calibration sets from scripts.\n")
        .arg(frontend::usbIds(portdiscovery::InstrumentVendorId, portdiscovery::InstrumentProductId),
             frontend::wrapped(frontend::portHelp(frontend::PortUse::One), DescriptionColumn));
}

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
    frontend::setProgramName(QStringLiteral("thermocal"));
    for (int i = 1; i < argc; ++i) {
        if (isOption(argv[i], "-h", "--help")) {
            frontend::out(usage());
            return {frontend::finish(frontend::Success), {}};
        }
        if (isOption(argv[i], "-v", "--version")) {
            frontend::out(QStringLiteral("thermocal %1\n").arg(QStringLiteral(THERMOCAL_VERSION)));
            return {frontend::finish(frontend::Success), {}};
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
        frontend::message(problem + QLatin1Char('\n') + usage().trimmed());
        return {frontend::UsageError, {}};
    }
    // A network port is checked here as the other programs check it: a URL that is not well
    // formed, or of a kind no opener serves, is a usage error rather than a port that fails.
    QString problem;
    if (parser.isSet(port) && !portname::parse(parser.value(port), &problem)) {
        frontend::message(QStringLiteral("--port: %1.").arg(problem));
        return {frontend::UsageError, {}};
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
