#include "commandline.h"

#include "frontend.h"
#include "portname.h"
#include "streams.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace frontend {

int CommandLine::finish() const
{
    out(output);
    if (!error.isEmpty())
        message(error);
    return frontend::finish(status);
}

CommandLine usageError(const QString &program, const QString &message)
{
    CommandLine line;
    line.outcome = CommandLine::Outcome::Exit;
    line.status = UsageError;
    line.error = QStringLiteral("%1\nTry '%2 --help' for more information.").arg(message, program);
    return line;
}

QString helpText(const QCommandLineParser &parser, const QString &usage)
{
    QString text = parser.helpText();
    text.replace(0, text.indexOf(QLatin1Char('\n')), QStringLiteral("Usage: ") + usage);
    return text;
}

CommandLine parseCommandLine(QCommandLineParser &parser, const QStringList &arguments, const QString &program,
                             const QString &version, int mostArguments)
{
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Displays this help."));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Displays version information."));
    parser.addOption(help);
    parser.addOption(versionOption);
    if (!parser.parse(arguments))
        return usageError(program, parser.errorText());
    CommandLine line;
    if (parser.isSet(help)) {
        line.outcome = CommandLine::Outcome::Exit;
        line.output = helpText(parser, QStringLiteral("%1 [options]").arg(program));
    } else if (parser.isSet(versionOption)) {
        line.outcome = CommandLine::Outcome::Exit;
        line.output = QStringLiteral("%1 %2\n").arg(program, version);
    } else if (mostArguments == 0 && !parser.positionalArguments().isEmpty()) {
        return usageError(program, QStringLiteral("takes no arguments, not '%1'").arg(parser.positionalArguments().first()));
    } else if (parser.positionalArguments().size() > mostArguments) {
        return usageError(program, QStringLiteral("takes at most %1 argument(s), not '%2'")
                                       .arg(mostArguments).arg(parser.positionalArguments().join(QLatin1Char(' '))));
    }
    return line;
}

QString portProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("--port needs a port name");
    QString problem;
    if (!portname::parse(name, &problem))
        return QStringLiteral("--port: %1").arg(problem);
    return QString();
}

} // namespace frontend
