#include "cli.h"

#include "commands.h"

#include "portdiscovery.h"

#include <QCoreApplication>
#include <QGuiApplication>

namespace cli {

namespace {

// Every command, in the order the help lists them.
const QVector<Command> &commands()
{
    static const QVector<Command> list{portsCommand(), readCommand(),   getCommand(),    setCommand(),
                                       commitCommand(), diffCommand(),  importCommand(), exportCommand(),
                                       plotCommand(),   softcalCommand(), calibrateCommand(),
                                       verifyRecordCommand(), dccCommand(), signCommand(), verifyDccCommand()};
    return list;
}

const Command *find(const QString &name)
{
    for (const Command &command : commands()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

QString programHelp()
{
    QString text = QStringLiteral(
        "Usage: thermocal-cli COMMAND [OPTIONS] [ARGUMENTS]\n\n"
        "Reads, writes and checks the calibration set of a USB temperature instrument\n"
        "(USB %1), for scripts and for labs with several instruments.\n\n"
        "Commands:\n").arg(frontend::usbIds(portdiscovery::InstrumentVendorId, portdiscovery::InstrumentProductId));
    for (const Command &command : commands()) {
        const QString usage = QStringLiteral("%1 %2").arg(command.name, command.argumentsUsage());
        text += QStringLiteral("  %1%2\n").arg(usage.trimmed().leftJustified(22), command.summary);
    }
    text += QStringLiteral(
        "\nOptions:\n"
        "  -h, --help     this help; COMMAND --help shows a command's options\n"
        "  -v, --version  the program's version\n\n"
        "Commands that talk to the instrument take --port NAME:\n");
    text += frontend::wrapped(frontend::portHelp(frontend::PortUse::One), 0);
    text += QStringLiteral("\nData goes to standard output, messages to standard error.\n\n");
    return text + exitStatusText();
}

int dispatch(const QStringList &arguments)
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
    if (const Command *command = find(first))
        return execute(*command, arguments);
    err(QStringLiteral("'%1' is not a command; try '%2 --help'.").arg(first, programName()));
    return UsageError;
}

} // namespace

int main(int argc, char *argv[])
{
    const Command *command = argc > 1 ? find(QString::fromLocal8Bit(argv[1])) : nullptr;
    if (command && command->application == Application::Gui) {
        // QPainter's text needs the platform's fonts. The offscreen platform is chosen here,
        // since QCoreApplication's parsing would misread a -platform option.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // The platform's own chatter (no runtime directory, font notes) is not ours to show;
        // the program's messages go through err().
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                err(message);
        });
        QGuiApplication application(argc, argv);
        return run(QCoreApplication::arguments());
    }
    QCoreApplication application(argc, argv);
    return run(QCoreApplication::arguments());
}

int run(const QStringList &arguments)
{
    frontend::setProgramName(programName());
    return frontend::finish(dispatch(arguments));
}

} // namespace cli
