#pragma once

#include "frontend.h"
#include "streams.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

// What every thermocal-cli command is made of: a declaration (name, summary, arguments,
// options, run function) that one parser wrapper turns into an invocation, so usage errors
// are caught the same way for every command.
namespace cli {

// The exit statuses scripts branch on, the same in the window and the monitor.
using frontend::Status;
using frontend::Success;
using frontend::Different;
using frontend::UsageError;
using frontend::NotVerified;
using frontend::NoAnswer;
using frontend::FileProblem;
using frontend::NoInstrument;
using frontend::NotStable;
using frontend::Stopped;
using frontend::OutOfBounds;

// Whether a command takes --port to reach the instrument.
enum class PortOption { None, Offered };
// The application object a command needs: drawing text needs a QGuiApplication.
enum class Application { Core, Gui };

// A positional argument; a name ending in "..." takes one or more values.
struct Argument
{
    QString name;
    QString description;
};

class Invocation;

struct Command
{
    QString name;
    QString summary;
    QVector<Argument> arguments;
    QList<QCommandLineOption> options;
    int (*run)(const Invocation &invocation);
    PortOption port = PortOption::Offered;
    Application application = Application::Core;

    // The positional part of the usage line: "FILE", "A B", "SOURCE...".
    QString argumentsUsage() const;
};

// A command's parsed command line, as its run function sees it.
class Invocation
{
public:
    Invocation(const Command &command, const QCommandLineParser &parser);

    bool isSet(const QString &option) const;
    QString value(const QString &option) const;
    QStringList values(const QString &option) const;
    QStringList arguments() const;
    // The port named with --port; empty when none was named.
    QString port() const;
    // The file named with -o; empty for standard output.
    QString output() const;
    // Reports a usage error about this command's arguments; returns UsageError.
    int usageError(const QString &message) const;

private:
    const Command &m_command;
    const QCommandLineParser &m_parser;
};

// Parses `arguments` (the program's name, the command's name, then its own) for `command`:
// answers --help and --version, refuses unknown options, a wrong number of arguments and an
// empty -o with UsageError, and otherwise runs the command.
int execute(const Command &command, const QStringList &arguments);

// -o/--output FILE, where a command writes its data instead of standard output.
QCommandLineOption outputOption(const QString &description);
// --constants-from SOURCE (a calibration file or 'instrument'), which the commands that make
// a calibration file from a curve require: constants of 0 must never reach a file by
// accident, so there is no default.
QCommandLineOption constantsFromOption();
// The usage error of a command run without --constants-from.
int missingConstantsSource(const Invocation &invocation);

// Writes data to stdout, as is; false when it could not be written (the command ends with
// FileProblem in any case).
using frontend::out;
// Writes one message line to stderr, prefixed with the program's name.
inline void err(const QString &message)
{
    frontend::message(message);
}

QString programName();
QString version();
// The exit statuses as the help lists them.
QString exitStatusText();

} // namespace cli
