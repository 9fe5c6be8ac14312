#include "frontend.h"
#include "monitoroptions.h"
#include "monitorsession.h"
#include "monitorwindow.h"
#include "stopsignals.h"
#include "streams.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The options are read under a plain application object, which needs no display; the
    // window's own comes only when there is something to show.
    frontend::setProgramName(QStringLiteral("thermocal-monitor"));
    ParsedOptions parsed;
    {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("thermocal-monitor"));
        parsed = parseMonitorOptions(QCoreApplication::arguments(), QStringLiteral(THERMOCAL_VERSION));
    }
    if (parsed.outcome == ParsedOptions::Outcome::Exit)
        return parsed.finish();

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("thermocal-monitor"));
    QApplication::setApplicationVersion(QStringLiteral(THERMOCAL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("thermocal-monitor"));
    // The program leaves as after a closed window: loops stopped, recording closed.
    frontend::catchStopSignals(qApp, &QCoreApplication::quit);

    MonitorSession session(parsed.options);
    MonitorWindow window(session);
    session.start();
    window.show();
    const int status = application.exec();
    session.stop();
    return frontend::finish(status);
}
