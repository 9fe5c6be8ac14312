#include "commands.h"

#include "instrumentport.h"

#include "device.h"
#include "lineprotocol.h"
#include "numbers.h"
#include "portname.h"
#include "portdiscovery.h"
#include "protocol.h"
#include "reconnect.h"
#include "schedule.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QIODevice>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <ctime>

namespace cli {

namespace {

// How long to wait, after a reading without an answer, for a late reply to arrive and be
// dropped before the next request goes out.
constexpr int SettleLimitMs = 1000;

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

// Ctrl-C and SIGTERM end the logging after the reading in progress. No SA_RESTART, so the
// wait for the next reading ends at once.
void catchStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Sleeps until `dueNs` on the monotonic clock; false when a stop was requested meanwhile.
bool sleepUntil(qint64 dueNs)
{
    constexpr qint64 NsPerSecond = 1000000000;
    timespec due{};
    due.tv_sec = time_t(dueNs / NsPerSecond);
    due.tv_nsec = long(dueNs % NsPerSecond);
    // A signal interrupts the sleep; any other end of it is the due time.
    while (!stopRequested && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
    }
    return !stopRequested;
}

// What to look for when the port goes away: the name given with --port, or the instrument
// found by its USB identifiers, followed by its serial number.
reconnect::Target targetOf(const QString &requestedPort, const QString &openedName)
{
    if (!requestedPort.isEmpty())
        return reconnect::namedPort(requestedPort);
    const QList<portdiscovery::Port> present = portdiscovery::availablePorts();
    for (const portdiscovery::Port &one : present) {
        if (one.name == openedName)
            return reconnect::foundPort(one);
    }
    return reconnect::namedPort(openedName);
}

// Opens the lost port again as soon as it is back, trying once a second; false when a stop
// was requested first.
bool reopen(reconnect::Target &target, Port &port)
{
    port.reset();
    for (;;) {
        if (!sleepUntil(monotonicNs() + qint64(reconnect::RetryIntervalMs) * 1000000))
            return false;
        const QList<portdiscovery::Port> present
            = target.named ? QList<portdiscovery::Port>() : portdiscovery::availablePorts();
        for (const QString &name : reconnect::candidates(target, present)) {
            portname::Opened opened = portname::open(name);
            if (opened.port) {
                port = std::move(opened.port);
                target.name = name;
                return true;
            }
        }
    }
}

enum class Format { Text, Csv, Json, Influx };

QString valueText(const std::optional<float> &value)
{
    return value ? numbers::shortest(*value) : QString();
}

QJsonValue valueJson(const std::optional<float> &value)
{
    if (!value || !std::isfinite(*value))
        return QJsonValue();
    return numbers::shortestAsDouble(*value);
}

// What the line protocol's lines carry besides the values.
struct Series
{
    QString measurement = QStringLiteral("thermocal");
    lineprotocol::Pairs tags;  // the port first, then those given with --tag
};

// A point only for a reading with both values: the line protocol has no empty field, and
// InfluxDB would take the string "nan" for a string field.
QString influxLine(const Series &series, qint64 nanoseconds, const device::Reading &reading)
{
    if (!reading.voltage || !reading.temperature || !std::isfinite(*reading.voltage)
        || !std::isfinite(*reading.temperature))
        return QString();
    return lineprotocol::line(series.measurement, series.tags,
                              {{QStringLiteral("temperature_K"), valueText(reading.temperature)},
                               {QStringLiteral("voltage_V"), valueText(reading.voltage)}},
                              nanoseconds);
}

QString row(Format format, const QString &time, const device::Reading &reading)
{
    switch (format) {
    case Format::Csv:
        return QStringLiteral("%1,%2,%3\n").arg(time, valueText(reading.voltage), valueText(reading.temperature));
    case Format::Json:
        return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("time"), time},
                                                           {QStringLiteral("voltage_V"), valueJson(reading.voltage)},
                                                           {QStringLiteral("temperature_K"), valueJson(reading.temperature)}})
                                     .toJson(QJsonDocument::Compact))
            + QLatin1Char('\n');
    case Format::Text:
    case Format::Influx:
        break;
    }
    if (!reading.voltage || !reading.temperature)
        return time + QLatin1Char('\n');
    return QStringLiteral("%1  %2 V  %3 K\n").arg(time, valueText(reading.voltage), valueText(reading.temperature));
}

const QString Interval = QStringLiteral("interval");
const QString Count = QStringLiteral("count");
const QString Csv = QStringLiteral("csv");
const QString Json = QStringLiteral("json");
const QString Reconnect = QStringLiteral("reconnect");
const QString FormatName = QStringLiteral("format");
const QString Tag = QStringLiteral("tag");
const QString Measurement = QStringLiteral("measurement");

// The line protocol's measurement and tags from --measurement and --tag (KEY=VALUE, split
// at the first '='), after the port's tag, whose value is known once the port is open.
int readSeries(const Invocation &invocation, Series *series)
{
    if (invocation.isSet(Measurement)) {
        series->measurement = invocation.value(Measurement);
        const QString problem = lineprotocol::measurementProblem(series->measurement);
        if (!problem.isEmpty())
            return invocation.usageError(QStringLiteral("--measurement: the name %1").arg(problem));
    }
    series->tags.append({QStringLiteral("port"), QString()});
    const QStringList tags = invocation.values(Tag);
    for (const QString &given : tags) {
        const int equals = given.indexOf(QLatin1Char('='));
        const QString key = given.left(equals);
        const QString value = equals < 0 ? QString() : given.mid(equals + 1);
        QString problem = equals < 0 ? QStringLiteral("has no '='") : QString();
        if (problem.isEmpty() && !lineprotocol::problemWith(key).isEmpty())
            problem = QStringLiteral("its key %1").arg(lineprotocol::problemWith(key));
        if (problem.isEmpty() && !lineprotocol::problemWith(value).isEmpty())
            problem = QStringLiteral("its value %1").arg(lineprotocol::problemWith(value));
        for (const auto &earlier : qAsConst(series->tags)) {
            if (problem.isEmpty() && earlier.first == key)
                problem = QStringLiteral("the tag '%1' is given twice").arg(key);
        }
        if (!problem.isEmpty())
            return invocation.usageError(QStringLiteral("--tag %1: %2").arg(given, problem));
        series->tags.append({key, value});
    }
    return Success;
}

// One live reading, or a log of them at fixed times from the start.
int run(const Invocation &invocation)
{
    if (int(invocation.isSet(Csv)) + int(invocation.isSet(Json)) + int(invocation.isSet(FormatName)) > 1)
        return invocation.usageError(QStringLiteral("--csv, --json and --format exclude each other"));
    Format format = invocation.isSet(Csv) ? Format::Csv : invocation.isSet(Json) ? Format::Json : Format::Text;
    if (invocation.isSet(FormatName)) {
        const QStringList names{QStringLiteral("text"), QStringLiteral("csv"), QStringLiteral("json"), QStringLiteral("influx")};
        const int index = names.indexOf(invocation.value(FormatName));
        if (index < 0)
            return invocation.usageError(QStringLiteral("--format takes text, csv, json or influx, not '%1'")
                                             .arg(invocation.value(FormatName)));
        format = Format(index);
    }
    if (format != Format::Influx && (invocation.isSet(Tag) || invocation.isSet(Measurement)))
        return invocation.usageError(QStringLiteral("--tag and --measurement go with --format influx"));
    Series series;
    const int seriesStatus = readSeries(invocation, &series);
    if (seriesStatus != Success)
        return seriesStatus;
    if (invocation.isSet(Reconnect) && !invocation.isSet(Interval))
        return invocation.usageError(QStringLiteral("--reconnect goes with --interval"));

    double seconds = 0.0;
    if (invocation.isSet(Interval)) {
        QString problem;
        const std::optional<double> interval = frontend::parseInterval(invocation.value(Interval), &problem);
        if (!interval)
            return invocation.usageError(problem);
        seconds = *interval;
    }
    qint64 readings = 1;
    if (invocation.isSet(Count)) {
        bool ok = false;
        readings = invocation.value(Count).toLongLong(&ok);
        if (!ok || readings < 0 || (readings == 0 && !invocation.isSet(Interval)))
            return invocation.usageError(QStringLiteral("--count takes a whole number of readings (0 only with --interval), not '%1'")
                                         .arg(invocation.value(Count)));
    }

    Port port;
    const int status = openInstrument(invocation.port(), port, &series.tags.first().second);
    if (status != Success)
        return status;

    catchStopSignals();
    // A log whose lines cannot be written ends at the first such line: the readings would be
    // lost, and a full disk does not empty itself.
    if (format == Format::Csv && !out(QStringLiteral("time,voltage_V,temperature_K\n")))
        return FileProblem;

    reconnect::Target target = targetOf(invocation.port(), series.tags.first().second);
    ReadingSchedule schedule(qint64(seconds * 1e9), monotonicNs());
    qint64 answered = 0;
    for (qint64 taken = 0; readings == 0 || taken < readings; ++taken) {
        // Each reading is due at a fixed time from the start, so a late one does not shift
        // the others; times that passed meanwhile are skipped, not made up for in a burst.
        const qint64 due = schedule.next(monotonicNs());
        if (taken > 0 && !sleepUntil(due))
            break;
        const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        const qint64 nanoseconds = format == Format::Influx ? lineprotocol::uniqueNow() : 0;
        protocol::Link link(port.get());
        const device::Reading reading = device::readLive(link);
        if (!out(format == Format::Influx ? influxLine(series, nanoseconds, reading) : row(format, time, reading)))
            return FileProblem;
        const auto failure = link.failure();
        if (failure == protocol::LinkFailure::None) {
            ++answered;
        } else {
            err(QStringLiteral("%1 %2").arg(time, protocol::message(failure)));
            if (failure == protocol::LinkFailure::ConnectionLost || failure == protocol::LinkFailure::NotConnected) {
                if (!invocation.isSet(Reconnect))
                    return NoAnswer;
                err(QStringLiteral("connection lost; looking for %1 once a second").arg(target.name));
                if (!reopen(target, port))
                    break;
                err(QStringLiteral("reconnected: %1").arg(target.name));
                continue;
            }
            device::settle(*port, SettleLimitMs);
        }
        if (stopRequested)
            break;
    }
    // Stopping on request is the normal end of a log.
    return answered > 0 || stopRequested ? Success : NoAnswer;
}

} // namespace

Command readCommand()
{
    return {QStringLiteral("read"),
            QStringLiteral("take live readings of the sensor voltage and temperature"),
            {},
            {QCommandLineOption(Interval,
                                QStringLiteral("Repeats the reading every SECONDS (%1), at fixed times from the start.")
                                    .arg(frontend::intervalRange()),
                                QStringLiteral("SECONDS")),
             QCommandLineOption(Count,
                                QStringLiteral("Stops after N readings (default 1; with --interval, 0 reads until "
                                               "interrupted)."),
                                QStringLiteral("N")),
             QCommandLineOption(Csv, QStringLiteral("CSV with the header time,voltage_V,temperature_K.")),
             QCommandLineOption(Json, QStringLiteral("One JSON object per line.")),
             QCommandLineOption(FormatName,
                                QStringLiteral("text, csv, json, or influx: InfluxDB's line protocol, one line per "
                                               "answered reading."),
                                QStringLiteral("FORMAT")),
             QCommandLineOption(Tag, QStringLiteral("With --format influx: adds the tag KEY=VALUE (repeatable)."),
                                QStringLiteral("KEY=VALUE")),
             QCommandLineOption(Measurement,
                                QStringLiteral("With --format influx: the measurement's name (default thermocal)."),
                                QStringLiteral("NAME")),
             QCommandLineOption(Reconnect,
                                QStringLiteral("With --interval, a lost connection does not end the log: the port is "
                                               "looked for once a second and the log goes on when it is back."))},
            run};
}

} // namespace cli
