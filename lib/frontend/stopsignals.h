#pragma once

#include <QObject>

#include <atomic>
#include <functional>

// How the programs end when asked from outside: SIGTERM, or SIGINT from Ctrl-C; on Windows,
// Ctrl+C and Ctrl+Break in the console.
namespace frontend {

// From now on a stop signal sets `flag` at once, from the signal handler itself (so a wait in
// progress can notice it), and runs `handler` in the event loop of `context`'s thread. Only
// one such catch is in force at a time; a second call replaces the first.
void catchStopSignals(QObject *context, std::function<void()> handler, std::atomic<bool> *flag = nullptr);
// The signals end the program as they would have without a catch.
void releaseStopSignals();

} // namespace frontend
