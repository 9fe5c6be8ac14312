#pragma once

#include <QString>
#include <QStringList>

class QCommandLineParser;

// What the programs that take options of their own (the monitor, the server) share of their
// command line: --help and --version, the refusal of unknown options and of arguments, and
// how a usage error is put.
namespace frontend {

// What a command line came to before the program runs: go on, or end at once with output
// for standard output (help, version) or an error for standard error.
struct CommandLine
{
    enum class Outcome { Run, Exit };
    Outcome outcome = Outcome::Run;
    int status = 0;      // the exit status when not running
    QString output;      // for stdout (help, version)
    QString error;       // for stderr, after the program's name

    // Writes what the command line said and returns the exit status to end with.
    int finish() const;
};

// Adds --help and --version to `parser`, which holds the program's own options, and parses
// `arguments`: answers those two, refuses unknown options and more than `mostArguments`
// positional arguments. Outcome::Run when the program goes on with the parser's values.
CommandLine parseCommandLine(QCommandLineParser &parser, const QStringList &arguments, const QString &program,
                             const QString &version, int mostArguments = 0);
// The parser's help with its usage line saying "Usage: " and `usage`: Qt's names the path the
// program was started from.
QString helpText(const QCommandLineParser &parser, const QString &usage);
// A usage error: the message and where to find help.
CommandLine usageError(const QString &program, const QString &message);
// Why `name`, given with --port, names no port; empty when it names one.
QString portProblem(const QString &name);

} // namespace frontend
