#include "cli.h"

#include "calibrationfile.h"
#include "curveimport.h"
#include "device.h"
#include "portdiscovery.h"
#include "portname.h"
#include "protocol.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QDir>
#include <QFile>
#include <QIODevice>

#include <cstdio>

namespace cli {

int runPorts(const QStringList &arguments);
int runRead(const QStringList &arguments);
int runGet(const QStringList &arguments);
int runSet(const QStringList &arguments);
int runCommit(const QStringList &arguments);
int runDiff(const QStringList &arguments);
int runImport(const QStringList &arguments);
int runExport(const QStringList &arguments);
int runPlot(const QStringList &arguments);
int runSoftcal(const QStringList &arguments);

namespace {

const char ExitStatusText[] =
    "Exit status:\n"
    "  0  success (for diff: the sets are identical)\n"
    "  1  diff found differences\n"
    "  2  usage error\n"
    "  3  after set, the instrument holds other values; nothing was committed\n"
    "  4  the instrument did not answer, or the connection was lost\n"
    "  5  a file could not be read, is not valid for the command, or could not be written\n"
    "  6  no instrument, several instruments without --port, or the port could not be opened\n";

QString programHelp()
{
    QString text = QStringLiteral(
        "Usage: thermocal-cli COMMAND [OPTIONS] [ARGUMENTS]\n\n"
        "Reads, writes and checks the calibration set of a USB temperature instrument\n"
        "(USB 0483:5740), for scripts and for labs with several instruments.\n\n"
        "Commands:\n");
    for (const Command &command : commands()) {
        const QString usage = QStringLiteral("%1 %2").arg(QLatin1String(command.name),
                                                          QLatin1String(command.arguments));
        text += QStringLiteral("  %1%2\n").arg(usage.trimmed().leftJustified(22), QLatin1String(command.summary));
    }
    text += QStringLiteral(
        "\nOptions:\n"
        "  -h, --help     this help; COMMAND --help shows a command's options\n"
        "  -v, --version  the program's version\n\n"
        "Commands that talk to the instrument take --port NAME (ttyACM1, /dev/ttyACM1, a\n"
        "pseudo-terminal, or a port served on the network: rfc2217://HOST:PORT, socket://HOST:PORT).\n"
        "Without it, exactly one instrument must be connected.\n"
        "Data goes to standard output, messages to standard error.\n\n");
    return text + QLatin1String(ExitStatusText);
}

void writeTo(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QString describePort(const portdiscovery::Port &port)
{
    QStringList details;
    if (port.hasUsbIds) {
        details.append(QStringLiteral("%1:%2").arg(port.vendorId, 4, 16, QLatin1Char('0'))
                           .arg(port.productId, 4, 16, QLatin1Char('0')));
    } else {
        details.append(QStringLiteral("no USB ids"));
    }
    if (!port.serialNumber.isEmpty())
        details.append(QStringLiteral("serial %1").arg(port.serialNumber));
    return QStringLiteral("%1 (%2)").arg(port.name, details.join(QLatin1String(", ")));
}

QStringList describePorts(const QList<portdiscovery::Port> &ports)
{
    QStringList names;
    for (const portdiscovery::Port &port : ports)
        names.append(describePort(port));
    return names;
}

} // namespace

const QList<Command> &commands()
{
    static const QList<Command> list{
        {"ports", "", "list the serial ports, instruments marked", runPorts},
        {"read", "", "take live readings of the sensor voltage and temperature", runRead},
        {"get", "", "the instrument's calibration set as a calibration file", runGet},
        {"set", "FILE", "send a calibration file to the instrument: backup, write, verify", runSet},
        {"commit", "", "commit the instrument's constants to its EEPROM", runCommit},
        {"diff", "A B", "compare two calibration sets (files or 'instrument')", runDiff},
        {"import", "CURVE", "a calibration file whose table is a sensor curve, resampled", runImport},
        {"export", "SOURCE", "a calibration set's table as a standard curve file (340 or CSV)", runExport},
        {"plot", "SOURCE...", "draw curves, or their temperature differences, to PNG or SVG", runPlot},
        {"softcal", "STANDARD", "fit a standard curve to one to three measured points", runSoftcal},
    };
    return list;
}

const Command &commandNamed(const char *name)
{
    for (const Command &command : commands()) {
        if (qstrcmp(command.name, name) == 0)
            return command;
    }
    Q_UNREACHABLE();
    return commands().first();
}

QString programName()
{
    return QStringLiteral("thermocal-cli");
}

QString version()
{
    return QStringLiteral(THERMOCAL_VERSION);
}

void out(const QString &text)
{
    writeTo(stdout, text.toUtf8());
}

void outBytes(const QByteArray &bytes)
{
    writeTo(stdout, bytes);
}

void err(const QString &message)
{
    writeTo(stderr, QStringLiteral("%1: %2\n").arg(programName(), message).toUtf8());
}

int main(int argc, char *argv[])
{
    // Only drawing needs a QGuiApplication (QPainter's text needs the platform's fonts); it
    // runs on the offscreen platform, chosen here since QCoreApplication would misread a
    // -platform option.
    if (argc > 1 && qstrcmp(argv[1], "plot") == 0) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // The platform's own chatter (no runtime directory, font notes) is not ours to show;
        // the program's messages go through err().
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                writeTo(stderr, QStringLiteral("%1: %2\n").arg(programName(), message).toUtf8());
        });
        QGuiApplication application(argc, argv);
        return run(QCoreApplication::arguments());
    }
    QCoreApplication application(argc, argv);
    return run(QCoreApplication::arguments());
}

int run(const QStringList &arguments)
{
    const QString first = arguments.value(1);
    if (first == QLatin1String("-h") || first == QLatin1String("--help")) {
        out(programHelp());
        return Success;
    }
    if (first == QLatin1String("-v") || first == QLatin1String("--version")) {
        out(QStringLiteral("%1 %2\n").arg(programName(), version()));
        return Success;
    }
    if (first.isEmpty()) {
        err(QStringLiteral("no command given; try '%1 --help'.").arg(programName()));
        return UsageError;
    }
    for (const Command &command : commands()) {
        if (first == QLatin1String(command.name))
            return command.run(arguments);
    }
    err(QStringLiteral("'%1' is not a command; try '%2 --help'.").arg(first, programName()));
    return UsageError;
}

Parser::Parser(const Command &command, bool talksToInstrument)
    : m_command(command)
    , m_help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."))
    , m_version({QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Shows the program's version."))
    , m_port(QStringLiteral("port"),
             QStringLiteral("The instrument's port (ttyACM1, /dev/ttyACM1, a pseudo-terminal), opened "
                            "whatever its USB identifiers, or a port served on the network "
                            "(rfc2217://HOST:PORT, socket://HOST:PORT). Without it, exactly one "
                            "instrument must be connected."),
             QStringLiteral("NAME"))
{
    parser.setApplicationDescription(QString::fromLatin1(command.summary));
    parser.addOption(m_help);
    parser.addOption(m_version);
    if (talksToInstrument)
        parser.addOption(m_port);
}

bool Parser::parse(const QStringList &arguments, int *status)
{
    // The command's own name is not one of its positional arguments.
    QStringList own = arguments;
    if (own.size() > 1)
        own.removeAt(1);
    if (!parser.parse(own)) {
        *status = usageError(parser.errorText());
        return false;
    }
    if (parser.isSet(m_help)) {
        QString help = parser.helpText();
        // Qt's usage line names the executable's path; ours names the command.
        const int endOfUsage = help.indexOf(QLatin1Char('\n'));
        QString usage = QStringLiteral("Usage: %1 %2 [options]").arg(programName(), QLatin1String(m_command.name));
        if (*m_command.arguments)
            usage += QLatin1Char(' ') + QLatin1String(m_command.arguments);
        help.replace(0, endOfUsage, usage);
        out(help + QLatin1Char('\n') + QLatin1String(ExitStatusText));
        *status = Success;
        return false;
    }
    if (parser.isSet(m_version)) {
        out(QStringLiteral("%1 %2\n").arg(programName(), version()));
        *status = Success;
        return false;
    }
    return true;
}

int Parser::usageError(const QString &message) const
{
    err(QStringLiteral("%1: %2 (see '%3 %1 --help').")
            .arg(QLatin1String(m_command.name), message, programName()));
    return UsageError;
}

QString Parser::port() const
{
    return parser.value(m_port);
}

QCommandLineOption outputOption(const QString &description)
{
    return QCommandLineOption({QStringLiteral("o"), QStringLiteral("output")}, description, QStringLiteral("FILE"));
}

QCommandLineOption constantsFromOption()
{
    return QCommandLineOption(QStringLiteral("constants-from"),
                              QStringLiteral("Where the four constants come from: a calibration file, or "
                                             "'instrument'. Required."),
                              QStringLiteral("SOURCE"));
}

int missingConstantsSource(const Parser &parser)
{
    return parser.usageError(QStringLiteral("--constants-from FILE|instrument is required"));
}

int openInstrument(const QString &requestedPort, Port &port, QString *portName)
{
    QString name = requestedPort;
    if (name.isEmpty()) {
        const device::FindResult found = device::findInstrument();
        switch (found.status) {
        case device::FindStatus::Found:
            name = found.portName;
            break;
        case device::FindStatus::NoInstrument: {
            const QStringList present = describePorts(found.ports);
            err(QStringLiteral("no instrument found (USB %1:%2). Serial ports present: %3. Connect "
                               "the instrument, or name its port with --port NAME.")
                    .arg(portdiscovery::InstrumentVendorId, 4, 16, QLatin1Char('0'))
                    .arg(portdiscovery::InstrumentProductId, 4, 16, QLatin1Char('0'))
                    .arg(present.isEmpty() ? QStringLiteral("none") : present.join(QLatin1String(", "))));
            return NoInstrument;
        }
        case device::FindStatus::SeveralInstruments:
            err(QStringLiteral("%1 instruments found: %2. Choose one with --port NAME.")
                    .arg(found.instruments.size())
                    .arg(describePorts(found.instruments).join(QLatin1String(", "))));
            return NoInstrument;
        }
    }
    portname::Opened opened = portname::open(name);
    if (!opened.port) {
        QString hint;
        switch (opened.error) {
        case portname::OpenError::BadName:
            err(QStringLiteral("--port: %1.").arg(opened.reason));
            return UsageError;
        case portname::OpenError::NotFound:
            hint = QStringLiteral(" No such port; '%1 ports' lists the ports present.").arg(programName());
            break;
        case portname::OpenError::PermissionDenied:
            hint = QStringLiteral(" Is another program (the thermocal window?) holding it, or is your "
                                  "user not in the dialout group?");
            break;
        case portname::OpenError::None:
        case portname::OpenError::Other:
            break;
        }
        err(QStringLiteral("cannot open %1: %2.%3").arg(name, opened.reason, hint));
        return NoInstrument;
    }
    port = std::move(opened.port);
    if (portName)
        *portName = name;
    return Success;
}

int reportLinkFailure(int failure)
{
    err(protocol::message(protocol::LinkFailure(failure)));
    return NoAnswer;
}

int readSource(const QString &sourceName, const QString &requestedPort, Port &port,
               bool nonZeroSlopes, device::DeviceSet *set)
{
    if (!isInstrument(sourceName))
        return loadStrict(sourceName, nonZeroSlopes, set);
    const int status = readInstrument(requestedPort, port, set);
    if (status != Success || !nonZeroSlopes)
        return status;
    // Zero slopes would collapse every reading of the instrument that gets this file.
    if (const auto slope = device::zeroSlope(*set)) {
        err(QStringLiteral("the instrument's %1 slope is 0; take the constants from a calibration file instead.")
                .arg(*slope == device::Field::AdcSlope ? QStringLiteral("ADC") : QStringLiteral("DAC")));
        return FileProblem;
    }
    return Success;
}

int readCurve(const QString &path, curveimport::Curve *curve)
{
    *curve = curveimport::readFile(path);
    if (!curve->ok()) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), curve->error));
        return FileProblem;
    }
    return Success;
}

QVector<QPair<double, double>> tableOf(const device::DeviceSet &set)
{
    return device::toCalibrationSet(set).table;
}

int commitToEeprom(QIODevice &port)
{
    protocol::Link link(&port);
    device::commit(link);
    // The commit is one byte sent without waiting for an answer.
    while (link.failure() == protocol::LinkFailure::None && port.bytesToWrite() > 0
           && port.waitForBytesWritten(protocol::ReplyTimeoutMs)) {
    }
    if (link.failure() != protocol::LinkFailure::None)
        return reportLinkFailure(int(link.failure()));
    return Success;
}

bool isInstrument(const QString &source)
{
    return source == QLatin1String("instrument");
}

int loadStrict(const QString &path, bool nonZeroSlopes, device::DeviceSet *set)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err(QStringLiteral("cannot read %1: %2.").arg(QDir::toNativeSeparators(path), file.errorString()));
        return FileProblem;
    }
    const QByteArray bytes = file.read(calibrationfile::MaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        err(QStringLiteral("cannot read %1: %2.").arg(QDir::toNativeSeparators(path), file.errorString()));
        return FileProblem;
    }
    if (bytes.size() > calibrationfile::MaxFileBytes) {
        err(QStringLiteral("%1 is far too large for a calibration file.").arg(QDir::toNativeSeparators(path)));
        return FileProblem;
    }
    const calibrationfile::StrictResult result = calibrationfile::parseStrict(bytes);
    if (!result.set) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), result.error));
        return FileProblem;
    }
    *set = device::toDevice(*result.set);
    if (nonZeroSlopes) {
        if (const auto slope = device::zeroSlope(*set)) {
            err(*slope == device::Field::AdcSlope
                    ? QStringLiteral("%1: ADCCoeffs: the ADC slope is 0.").arg(QDir::toNativeSeparators(path))
                    : QStringLiteral("%1: DACCoeffs: the DAC slope is 0.").arg(QDir::toNativeSeparators(path)));
            return FileProblem;
        }
    }
    return Success;
}

int readInstrument(const QString &requestedPort, Port &port, device::DeviceSet *set)
{
    if (!port) {
        const int status = openInstrument(requestedPort, port);
        if (status != Success)
            return status;
    }
    protocol::Link link(port.get());
    const std::optional<device::DeviceSet> held = device::readSet(link);
    if (!held)
        return reportLinkFailure(int(link.failure()));
    *set = *held;
    return Success;
}

} // namespace cli
