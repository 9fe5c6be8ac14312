#include "stopsignals.h"

#include <QPointer>

#ifdef Q_OS_WIN
#include <mutex>

#include <windows.h>
#else
#include <QSocketNotifier>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>
#endif

namespace frontend {

#ifdef Q_OS_WIN
namespace {

// Windows runs the console's handler on a thread of its own: it sets the flag and posts the
// handler to the context's thread, under a lock that releaseStopSignals takes too, so the
// catch never outlives its release.
std::mutex catchMutex;
QPointer<QObject> catchContext;
std::function<void()> catchHandler;
std::atomic<bool> *catchFlag = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    // Ctrl+C and Ctrl+Break; closing the console or logging off ends the program as before.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    const std::lock_guard<std::mutex> lock(catchMutex);
    if (!catchContext)
        return FALSE;
    if (catchFlag)
        catchFlag->store(true);
    QMetaObject::invokeMethod(catchContext.data(), catchHandler, Qt::QueuedConnection);
    return TRUE;
}

} // namespace

void catchStopSignals(QObject *context, std::function<void()> handler, std::atomic<bool> *flag)
{
    {
        const std::lock_guard<std::mutex> lock(catchMutex);
        catchContext = context;
        catchHandler = std::move(handler);
        catchFlag = flag;
    }
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void releaseStopSignals()
{
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    const std::lock_guard<std::mutex> lock(catchMutex);
    catchContext = nullptr;
    catchHandler = nullptr;
    catchFlag = nullptr;
}

#else

namespace {

// The handler may only touch what is safe in a signal: a lock-free flag and a pipe's write
// end; the pipe wakes the event loop, which does the rest.
int stopPipe[2] = {-1, -1};
std::atomic<std::atomic<bool> *> stopFlag{nullptr};
QPointer<QSocketNotifier> notifier;

void onStopSignal(int)
{
    if (std::atomic<bool> *flag = stopFlag.load())
        flag->store(true);
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(stopPipe[1], &byte, 1);
}

} // namespace

void catchStopSignals(QObject *context, std::function<void()> handler, std::atomic<bool> *flag)
{
    if (stopPipe[0] < 0 && ::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    delete notifier;
    stopFlag = flag;
    notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [handler = std::move(handler)] {
        char bytes[16];
        while (::read(stopPipe[0], bytes, sizeof bytes) > 0) {
        }
        handler();
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void releaseStopSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    stopFlag = nullptr;
    delete notifier;
}

#endif

} // namespace frontend
