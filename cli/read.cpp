#include "commands.h"

#include "instrumentport.h"

#include "device.h"
#include "lineprotocol.h"
#include "numbers.h"
#include "portname.h"
#include "portdiscovery.h"
#include "protocol.h"
#include "readingloop.h"
#include "reconnect.h"
#include "stopsignals.h"

#include <QDateTime>
#include <QEventLoop>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>


namespace cli {

namespace {

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

enum class Format { Text, Csv, Json, Influx };

QString valueText(const std::optional<float> &value)
{
    return value ? numbers::shortest(*value) : QString();
}

QJsonValue valueJson(const std::optional<float> &value)
{
    return value ? QJsonValue(numbers::shortestAsDouble(*value)) : QJsonValue();
}

// What the line protocol's lines carry besides the values.
struct Series
{
    QString measurement = QStringLiteral("thermocal");
    lineprotocol::Pairs tags;  // the port first, then those given with --tag
};

// A point only for a reading with both values: the line protocol has no empty field.
QString influxLine(const Series &series, qint64 nanoseconds, const readingloop::Reading &reading)
{
    if (!reading.voltage || !reading.temperature)
        return QString();
    return lineprotocol::line(series.measurement, series.tags,
                              {{QStringLiteral("temperature_K"), valueText(reading.temperature)},
                               {QStringLiteral("voltage_V"), valueText(reading.voltage)}},
                              nanoseconds);
}

QString row(Format format, const QString &time, const readingloop::Reading &reading)
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
    QString text = time;
    if (reading.voltage)
        text += QStringLiteral("  %1 V").arg(valueText(reading.voltage));
    if (reading.temperature)
        text += QStringLiteral("  %1 K").arg(valueText(reading.temperature));
    return text + QLatin1Char('\n');
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

    // A log whose lines cannot be written ends at the first such line: the readings would be
    // lost, and a full disk does not empty itself.
    if (format == Format::Csv && !out(QStringLiteral("time,voltage_V,temperature_K\n")))
        return FileProblem;

    readingloop::Options options;
    options.intervalNs = qint64(seconds * 1e9);
    options.count = readings;
    options.reconnect = invocation.isSet(Reconnect);
    readingloop::Loop log(targetOf(invocation.port(), series.tags.first().second), options);
    log.setPort(std::move(port));
    qint64 answered = 0;
    readingloop::End end = readingloop::End::Stopped;
    bool writeFailed = false;
    QObject::connect(&log, &readingloop::Loop::reading, [&](const readingloop::Reading &reading) {
        const QString time = QDateTime::fromMSecsSinceEpoch(reading.utcMs, Qt::UTC).toString(Qt::ISODateWithMs);
        if (!out(format == Format::Influx ? influxLine(series, lineprotocol::uniqueNow(), reading)
                                          : row(format, time, reading))) {
            writeFailed = true;
            log.finish();
            return;
        }
        if (reading.answered())
            ++answered;
        else
            err(QStringLiteral("%1 %2").arg(time, protocol::message(reading.failure)));
    });
    QObject::connect(&log, &readingloop::Loop::notice, [](const QString &line) { err(line); });
    QEventLoop events;
    QObject::connect(&log, &readingloop::Loop::finished, &events, [&](readingloop::End why) {
        end = why;
        events.quit();
    });
    // Ctrl-C and SIGTERM end the log: a drain in progress ends at once, and the reading in
    // progress is the last.
    frontend::catchStopSignals(&log, [&log] { log.finish(); }, log.stopFlag());
    QMetaObject::invokeMethod(&log, &readingloop::Loop::start, Qt::QueuedConnection);
    events.exec();
    frontend::releaseStopSignals();
    if (writeFailed)
        return FileProblem;
    if (end == readingloop::End::Lost)
        return NoAnswer;
    // Stopping on request is the normal end of a log.
    return answered > 0 || end == readingloop::End::Stopped ? Success : NoAnswer;
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
