#pragma once

#include <QString>

#include <optional>

// The window's command line: --port NAME, --help and --version. Shared by the program and
// the test host that runs its start-up.
namespace windowoptions {

struct Options
{
    std::optional<int> exitStatus; // set when the program ends here: help, version, usage error
    QString port;                  // the port named with --port; empty when none was named
};

// Reads the command line before any application object (and so any display) exists: answers
// --help and --version, and reports a usage error on stderr with the usage text. Qt's own
// options (-platform NAME, -style NAME, ...) are let through for the application object.
Options parse(int argc, char *argv[]);

// Presents `port` as the one instrument, whatever it reports of itself; nothing when empty.
void usePort(const QString &port);

} // namespace windowoptions
