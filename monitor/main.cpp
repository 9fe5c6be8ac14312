#include "frontend.h"
#include "monitoroptions.h"
#include "monitorsession.h"
#include "monitorwindow.h"
#include "streams.h"

#include <QApplication>
#include <QSocketNotifier>

#ifndef Q_OS_WIN
#include <csignal>

#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
// A windowed program on Windows has no console, so no Ctrl+C; it is asked to end by closing
// its window (taskkill without /f, logging off), which leaves as the window's close does.
void catchStopSignals()
{
}
#else

int signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop through a pipe, so the program leaves as after a
// closed window: workers stopped, recording closed.
void catchStopSignals()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, &QCoreApplication::quit);
}
#endif

} // namespace

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
    if (parsed.outcome == ParsedOptions::Outcome::Exit) {
        frontend::out(parsed.output);
        if (!parsed.error.isEmpty())
            frontend::message(parsed.error);
        return frontend::finish(parsed.status);
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("thermocal-monitor"));
    QApplication::setApplicationVersion(QStringLiteral(THERMOCAL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("thermocal-monitor"));
    catchStopSignals();

    MonitorSession session(parsed.options);
    MonitorWindow window(session);
    session.start();
    window.show();
    const int status = application.exec();
    session.stop();
    return frontend::finish(status);
}
