#include "calibratewindow.h"
#include "commandline.h"
#include "frontend.h"
#include "stopsignals.h"
#include "streams.h"

#include <QApplication>
#include <QCommandLineParser>

namespace {

const QString Program = QStringLiteral("thermocal-calibrate");

struct Options : frontend::CommandLine
{
    QString file;
    QString port;
};

Options parseOptions(const QStringList &arguments)
{
    Options parsed;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Calibrates a thermocal instrument against a reference in a window: the procedure, the checks,\n"
        "the run with a live chart of both thermometers, the fit, the write, and the certificate."));
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("A procedure file to open, or a record whose run to resume."),
                                 QStringLiteral("[PROCEDURE.json | RECORD.json]"));
    const QCommandLineOption port(QStringLiteral("port"), frontend::portHelp(frontend::PortUse::One), QStringLiteral("NAME"));
    parser.addOption(port);
    static_cast<frontend::CommandLine &>(parsed) = frontend::parseCommandLine(parser, arguments, Program,
                                                                              QStringLiteral(THERMOCAL_VERSION), 1);
    if (parsed.outcome == frontend::CommandLine::Outcome::Exit)
        return parsed;
    if (parser.isSet(port)) {
        const QString problem = frontend::portProblem(parser.value(port));
        if (!problem.isEmpty()) {
            static_cast<frontend::CommandLine &>(parsed) = frontend::usageError(Program, problem);
            return parsed;
        }
        parsed.port = parser.value(port);
    }
    parsed.file = parser.positionalArguments().value(0);
    return parsed;
}

} // namespace

int main(int argc, char *argv[])
{
    // The options are read under a plain application object, which needs no display.
    frontend::setProgramName(Program);
    Options options;
    {
        QCoreApplication core(argc, argv);
        options = parseOptions(QCoreApplication::arguments());
    }
    if (options.outcome == frontend::CommandLine::Outcome::Exit)
        return options.finish();

    QApplication application(argc, argv);
    QApplication::setApplicationName(Program);
    QApplication::setApplicationVersion(QStringLiteral(THERMOCAL_VERSION));
    QApplication::setDesktopFileName(Program);
    CalibrateWindow window(options.port);
    // SIGTERM closes the window as its close button does, a run stopped with its record kept;
    // the question is not asked of a signal.
    frontend::catchStopSignals(qApp, [&window] {
        window.worker().stop();
        QCoreApplication::quit();
    });
    window.show();
    if (!options.file.isEmpty())
        window.openFile(options.file);
    const int status = application.exec();
    return frontend::finish(status);
}
