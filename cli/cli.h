#pragma once

#include <QStringList>

// thermocal-cli: the instrument's device actions for scripts. A command is a function from
// its arguments to an exit status; data goes to stdout, messages to stderr.
namespace cli {

// Runs the command line `arguments` (the program's name first) and returns the exit status,
// FileProblem when data could not be written. Writes through frontend's streams, so a test
// can run a command in its own process with them captured.
int run(const QStringList &arguments);
// The program: creates the application object the command needs (only drawing needs a
// QGuiApplication, on Qt's offscreen platform, so no display is ever needed) and runs it.
int main(int argc, char *argv[]);

} // namespace cli
