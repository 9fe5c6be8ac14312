#pragma once

#include <QStringList>

#include <optional>

// The window's command line: --port NAME, --help and --version. Shared by the program and
// the test host that runs its start-up.
namespace windowoptions {

// Answers --help and --version from the raw arguments, before any application object (and
// so any display) exists. The exit status when one of them was given.
std::optional<int> answerInformationOptions(int argc, char *argv[]);

// Applies --port from the arguments left after Qt took its own: the named port is then
// presented as the one instrument, whatever it reports of itself. The exit status for a
// usage error, after saying what is wrong on stderr.
std::optional<int> applyPortOption(const QStringList &arguments);

} // namespace windowoptions
