#include "command.h"

#include "commandline.h"

#include <algorithm>

namespace cli {

namespace {

const QString PortName = QStringLiteral("port");
const QString OutputName = QStringLiteral("output");
const QString OutputShortName = QStringLiteral("o");
const QString Ellipsis = QStringLiteral("...");

bool offersOutput(const Command &command)
{
    return std::any_of(command.options.cbegin(), command.options.cend(), [](const QCommandLineOption &option) {
        return option.names().contains(OutputShortName);
    });
}

// The usage error for a wrong number of positional arguments; empty when `given` fits.
QString countError(const Command &command, int given)
{
    const int named = command.arguments.size();
    const bool open = named > 0 && command.arguments.last().name.endsWith(Ellipsis);
    if (given == named || (open && given > named))
        return QString();
    QString text;
    if (named == 0)
        text = QStringLiteral("takes no arguments");
    else if (open)
        text = QStringLiteral("takes at least %1: %2").arg(named == 1 ? QStringLiteral("one argument")
                                                                      : QStringLiteral("%1 arguments").arg(named),
                                                           command.argumentsUsage());
    else
        text = QStringLiteral("takes %1: %2").arg(named == 1 ? QStringLiteral("exactly one argument")
                                                             : QStringLiteral("exactly %1 arguments").arg(named),
                                                  command.argumentsUsage());
    if (given > named && offersOutput(command))
        text += QStringLiteral("; an output file goes after -o");
    return text;
}

} // namespace

QString Command::argumentsUsage() const
{
    QStringList names;
    for (const Argument &argument : arguments)
        names.append(argument.name);
    return names.join(QLatin1Char(' '));
}

Invocation::Invocation(const Command &command, const QCommandLineParser &parser)
    : m_command(command)
    , m_parser(parser)
{
}

bool Invocation::isSet(const QString &option) const
{
    return m_parser.isSet(option);
}

QString Invocation::value(const QString &option) const
{
    return m_parser.value(option);
}

QStringList Invocation::values(const QString &option) const
{
    return m_parser.values(option);
}

QStringList Invocation::arguments() const
{
    return m_parser.positionalArguments();
}

QString Invocation::port() const
{
    return m_command.port == PortOption::Offered ? m_parser.value(PortName) : QString();
}

QString Invocation::output() const
{
    return offersOutput(m_command) ? m_parser.value(OutputName) : QString();
}

int Invocation::usageError(const QString &message) const
{
    err(QStringLiteral("%1: %2 (see '%3 %1 --help').").arg(m_command.name, message, programName()));
    return UsageError;
}

int execute(const Command &command, const QStringList &arguments)
{
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Shows the program's version."));
    QCommandLineParser parser;
    parser.setApplicationDescription(command.summary);
    parser.addOption(help);
    parser.addOption(versionOption);
    if (command.port == PortOption::Offered) {
        parser.addOption(QCommandLineOption(PortName, frontend::portHelp(frontend::PortUse::One), QStringLiteral("NAME")));
    }
    parser.addOptions(command.options);
    for (const Argument &argument : command.arguments)
        parser.addPositionalArgument(argument.name, argument.description);

    const Invocation invocation(command, parser);
    // The command's own name is not one of its positional arguments.
    QStringList own = arguments;
    if (own.size() > 1)
        own.removeAt(1);
    if (!parser.parse(own))
        return invocation.usageError(parser.errorText());
    if (parser.isSet(help)) {
        QString usage = QStringLiteral("%1 %2 [options]").arg(programName(), command.name);
        if (!command.arguments.isEmpty())
            usage += QLatin1Char(' ') + command.argumentsUsage();
        out(frontend::helpText(parser, usage) + QLatin1Char('\n') + exitStatusText());
        return Success;
    }
    if (parser.isSet(versionOption)) {
        out(QStringLiteral("%1 %2\n").arg(programName(), version()));
        return Success;
    }
    const QString wrongCount = countError(command, parser.positionalArguments().size());
    if (!wrongCount.isEmpty())
        return invocation.usageError(wrongCount);
    if (offersOutput(command) && parser.isSet(OutputName) && parser.value(OutputName).isEmpty())
        return invocation.usageError(QStringLiteral("-o needs a file name"));
    return command.run(invocation);
}

QCommandLineOption outputOption(const QString &description)
{
    return QCommandLineOption({OutputShortName, OutputName}, description, QStringLiteral("FILE"));
}

QCommandLineOption constantsFromOption()
{
    return QCommandLineOption(QStringLiteral("constants-from"),
                              QStringLiteral("Where the four constants come from: a calibration file, or "
                                             "'instrument'. Required."),
                              QStringLiteral("SOURCE"));
}

int missingConstantsSource(const Invocation &invocation)
{
    return invocation.usageError(QStringLiteral("--constants-from FILE|instrument is required"));
}

QString programName()
{
    return QStringLiteral("thermocal-cli");
}

QString version()
{
    return QStringLiteral(THERMOCAL_VERSION);
}

QString exitStatusText()
{
    return QStringLiteral(
        "Exit status:\n"
        "  0  success (for diff: the sets are identical)\n"
        "  1  diff found differences\n"
        "  2  usage error\n"
        "  3  after set, the instrument holds other values; nothing was committed; verify-record, dcc:\n"
        "     the record (or the DCC) does not verify; verify-dcc: the signature does not hold\n"
        "  4  the instrument did not answer, or the connection was lost\n"
        "  5  a file could not be read, is not valid for the command, or could not be written\n"
        "  6  no instrument, several instruments without --port, or the port could not be opened\n"
        "  7  calibrate: a point did not become stable in time\n"
        "  8  calibrate: stopped (SIGTERM, Ctrl-C, or the end of its input) before the end\n"
        "  9  calibrate: a reference reading or the adjustment beyond the procedure's bounds\n");
}

} // namespace cli
