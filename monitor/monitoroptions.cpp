#include "monitoroptions.h"

#include "frontend.h"
#include "numbers.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cmath>

namespace {

using numbers::MsPerSecond;

const QString Program = QStringLiteral("thermocal-monitor");

} // namespace

ParsedOptions parseMonitorOptions(const QStringList &arguments, const QString &version)
{
    ParsedOptions parsed;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Watches thermocal instruments: a live readout and a strip chart of temperature against\n"
        "clock time for each, recording to CSV, and alarms that wait until a condition has lasted."));
    const QCommandLineOption port(QStringLiteral("port"), frontend::portHelp(frontend::PortUse::Each),
                                  QStringLiteral("NAME"));
    const QCommandLineOption interval(QStringLiteral("interval"),
                                      QStringLiteral("Seconds between readings, %1 (default %2).")
                                          .arg(frontend::intervalRange(), QString::number(MonitorOptions::DefaultIntervalSeconds)),
                                      QStringLiteral("SECONDS"));
    const QCommandLineOption record(QStringLiteral("record"),
                                    QStringLiteral("Appends every reading to FILE as CSV."), QStringLiteral("FILE"));
    const QCommandLineOption above(QStringLiteral("alarm-above"),
                                   QStringLiteral("Raises an alarm when the temperature stays above K."),
                                   QStringLiteral("K"));
    const QCommandLineOption below(QStringLiteral("alarm-below"),
                                   QStringLiteral("Raises an alarm when the temperature stays below K."),
                                   QStringLiteral("K"));
    const QCommandLineOption after(QStringLiteral("alarm-after"),
                                   QStringLiteral("How long a condition must last before its alarm (default 10)."),
                                   QStringLiteral("SECONDS"));
    const QCommandLineOption command(QStringLiteral("alarm-command"),
                                     QStringLiteral("Runs COMMAND through /bin/sh -c when an alarm starts."),
                                     QStringLiteral("COMMAND"));
    parser.addOptions({port, interval, record, above, below, after, command});

    const auto usageError = [&parsed](const QString &message) {
        static_cast<frontend::CommandLine &>(parsed) = frontend::usageError(Program, message);
        return parsed;
    };
    static_cast<frontend::CommandLine &>(parsed) = frontend::parseCommandLine(parser, arguments, Program, version);
    if (parsed.outcome == ParsedOptions::Outcome::Exit)
        return parsed;

    MonitorOptions &options = parsed.options;
    options.ports = parser.values(port);
    for (const QString &name : options.ports) {
        const QString problem = frontend::portProblem(name);
        if (!problem.isEmpty())
            return usageError(problem);
    }
    const auto number = [&parser](const QCommandLineOption &option, double *value) {
        bool ok = false;
        *value = parser.value(option).toDouble(&ok);
        return ok && std::isfinite(*value);
    };
    QString problem;
    if (parser.isSet(interval)) {
        const std::optional<double> seconds = frontend::parseInterval(parser.value(interval), &problem);
        if (!seconds)
            return usageError(problem);
        options.intervalSeconds = *seconds;
    }
    options.recordPath = parser.value(record);
    if (parser.isSet(record) && options.recordPath.isEmpty())
        return usageError(QStringLiteral("--record needs a file name"));
    for (const auto &limit : {std::make_pair(&above, &options.alarms.above), std::make_pair(&below, &options.alarms.below)}) {
        if (!parser.isSet(*limit.first))
            continue;
        double kelvin = 0.0;
        if (!number(*limit.first, &kelvin))
            return usageError(QStringLiteral("--%1 takes a temperature in K, not '%2'")
                                  .arg(limit.first->names().first(), parser.value(*limit.first)));
        *limit.second = kelvin;
    }
    if (parser.isSet(after)) {
        const std::optional<double> seconds = frontend::parseAlarmHold(parser.value(after), &problem);
        if (!seconds)
            return usageError(problem);
        options.alarms.holdMs = qint64(std::llround(*seconds * MsPerSecond));
    }
    options.alarms.command = parser.value(command);
    return parsed;
}
