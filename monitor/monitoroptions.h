#pragma once

#include "alarm.h"

#include <QString>
#include <QStringList>

// thermocal-monitor's command line, read before any window exists, so that --help, --version
// and mistakes are answered without a display.
struct MonitorOptions
{
    static constexpr double DefaultIntervalSeconds = 1.0;

    QStringList ports;  // empty: every instrument found by its USB identifiers
    double intervalSeconds = DefaultIntervalSeconds;
    QString recordPath;
    alarms::Settings alarms;
};

struct ParsedOptions
{
    enum class Outcome { Run, Exit };
    Outcome outcome = Outcome::Run;
    int status = 0;      // the exit status when not running
    QString output;      // for stdout (help, version)
    QString error;       // for stderr, after the program's name
    MonitorOptions options;
};

ParsedOptions parseMonitorOptions(const QStringList &arguments, const QString &version);
