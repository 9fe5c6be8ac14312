#include "stopsignals.h"

#include <QPointer>
#include <QSocketNotifier>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace frontend {

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

} // namespace frontend
