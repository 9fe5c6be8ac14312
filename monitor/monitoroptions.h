#pragma once

#include "alarm.h"
#include "commandline.h"

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

struct ParsedOptions : frontend::CommandLine
{
    MonitorOptions options;
};

ParsedOptions parseMonitorOptions(const QStringList &arguments, const QString &version);
