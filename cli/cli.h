#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <memory>

class QIODevice;

namespace device {
struct DeviceSet;
}
namespace curveimport {
struct Curve;
}

// thermocal-cli: the instrument's device actions for scripts. A command is a function from
// its arguments to an exit status; data goes to stdout, messages to stderr.
namespace cli {

// The exit statuses scripts branch on.
enum Status {
    Success = 0,          // for diff: the two sets are identical
    Different = 1,        // diff found differences
    UsageError = 2,       // unknown command or option, missing or malformed argument
    NotVerified = 3,      // after set, the instrument holds other values; nothing committed
    NoAnswer = 4,         // the instrument did not answer, or the connection was lost
    FileProblem = 5,      // a file could not be read, is not valid here, or could not be written
    NoInstrument = 6,     // none, several without --port, or the port would not open
};

// Runs the command line `arguments` (the program's name first) and returns the exit status.
int run(const QStringList &arguments);
// The program: creates the application object the command needs (only drawing needs a
// QGuiApplication, on Qt's offscreen platform, so no display is ever needed) and runs it.
int main(int argc, char *argv[]);

// What every command shares.
struct Command
{
    const char *name;
    const char *arguments;   // the positional part of its usage line
    const char *summary;
    int (*run)(const QStringList &arguments);
};

const QList<Command> &commands();
const Command &commandNamed(const char *name);

// Writes data to stdout, as is.
void out(const QString &text);
void outBytes(const QByteArray &bytes);
// Writes one message line to stderr, prefixed with the program's name.
void err(const QString &message);

// A command's parser with --help and --version; parse() handles both, and usage errors,
// and returns false with the status to exit with when the command should not go on.
class Parser
{
public:
    explicit Parser(const Command &command, bool talksToInstrument);

    QCommandLineParser parser;

    // Parses `arguments` (the program's name, the command's name, then its own).
    bool parse(const QStringList &arguments, int *status);
    // Reports a usage error about this command's arguments.
    int usageError(const QString &message) const;
    QString port() const;

private:
    const Command &m_command;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    QCommandLineOption m_port;
};

// -o/--output FILE, where a command writes its data instead of standard output.
QCommandLineOption outputOption(const QString &description);
// --constants-from SOURCE (a calibration file or 'instrument'), which the commands that make
// a calibration file from a curve require: constants of 0 must never reach a file by
// accident, so there is no default.
QCommandLineOption constantsFromOption();
int missingConstantsSource(const Parser &parser);

// The instrument's port during one command: a serial port or a network connection, empty
// until opened.
using Port = std::unique_ptr<QIODevice>;

// Opens the instrument's port: the one named with --port (a local name whatever its USB
// identifiers, or a socket:// or rfc2217:// URL), or else the only instrument present. On
// failure says why and returns NoInstrument (UsageError for a malformed URL). `name`, when
// given, receives the port's name: as named with --port, or the system's name of the
// instrument found.
int openInstrument(const QString &requestedPort, Port &port, QString *name = nullptr);

// Sends the EEPROM commit and lets it leave before the port closes; the exit status.
int commitToEeprom(QIODevice &port);

// Reports a failed device action and returns NoAnswer.
int reportLinkFailure(int failure);

// True for the word that names the instrument as the source of a calibration set; any other
// source is a file.
bool isInstrument(const QString &source);
// A calibration file checked strictly; on failure says why and returns the status.
int loadStrict(const QString &path, bool nonZeroSlopes, device::DeviceSet *set);
// The instrument's set, opening its port first unless it is open.
int readInstrument(const QString &requestedPort, Port &port, device::DeviceSet *set);

// Names the first value of `set` that a calibration file cannot hold (NaN, infinity); empty
// when there is none.
QString firstNonFinite(const device::DeviceSet &set);
// Writes `set` as a calibration file to `path`, or to stdout when `path` is empty.
int writeCalibrationFile(const device::DeviceSet &set, const QString &path);
// Writes `bytes` to `path`, replacing a file there only once complete, or to stdout when
// `path` is empty.
int writeOutput(const QString &path, const QByteArray &bytes);

// The calibration set of `source`: a calibration file, checked strictly, or the instrument
// on `port` (opened here unless already open). With `nonZeroSlopes`, as the source of the
// constants for a new file, a slope of 0 is refused too.
int readSource(const QString &source, const QString &requestedPort, Port &port,
               bool nonZeroSlopes, device::DeviceSet *set);
// A sensor curve file read with the import's rules; prints nothing on success.
int readCurve(const QString &path, curveimport::Curve *curve);
// The constants of `constants` with the table `rows` (resampled, 100 rows), narrowed to single
// precision as the window's grid holds it.
device::DeviceSet withTable(const device::DeviceSet &constants, const QVector<QPair<double, double>> &rows);
// The table of `set` as (voltage, temperature) rows, each value the double that the
// shortest decimal of its single-precision value spells.
QVector<QPair<double, double>> tableOf(const device::DeviceSet &set);

QString programName();
QString version();

} // namespace cli
