#pragma once

#include "cli.h"
#include "streams.h"
#include "testsupport.h"

// For the suites that link the command's library (thermocal_cli): thermocal-cli run in the
// test's own process through the program's entry, its standard streams captured.
namespace testsupport {

inline ProcessRun runCli(const QStringList &arguments)
{
    ProcessRun run;
    const frontend::CapturedStreams streams;
    run.exitCode = cli::run(QStringList{QStringLiteral("thermocal-cli")} + arguments);
    run.exitStatus = QProcess::NormalExit;
    run.out = streams.out();
    run.err = QString::fromUtf8(streams.err());
    return run;
}

} // namespace testsupport
