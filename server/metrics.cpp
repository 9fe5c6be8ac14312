#include "metrics.h"

#include "numbers.h"

namespace metrics {

namespace {

using numbers::MsPerSecond;

struct Family
{
    const char *name;
    const char *type;
    const char *help;
};

constexpr InstrumentState States[] = {InstrumentState::Starting, InstrumentState::Reading, InstrumentState::NotANumber,
                                     InstrumentState::NoAnswer, InstrumentState::Disconnected};

} // namespace

QString stateName(InstrumentState state)
{
    switch (state) {
    case InstrumentState::Starting:
        return QStringLiteral("starting");
    case InstrumentState::Reading:
        return QStringLiteral("reading");
    case InstrumentState::NotANumber:
        return QStringLiteral("not_a_number");
    case InstrumentState::NoAnswer:
        return QStringLiteral("no_answer");
    case InstrumentState::Disconnected:
        return QStringLiteral("disconnected");
    }
    return QString();
}

void Snapshot::take(const readingloop::Reading &reading)
{
    if (reading.answered()) {
        ++answered;
        lastReadingUtcMs = reading.utcMs;
        state = reading.temperature ? InstrumentState::Reading : InstrumentState::NotANumber;
    } else {
        ++unanswered;
        const bool lost = reading.failure == protocol::LinkFailure::ConnectionLost
            || reading.failure == protocol::LinkFailure::NotConnected;
        state = lost ? InstrumentState::Disconnected : InstrumentState::NoAnswer;
    }
    temperature = reading.temperature;
    voltage = reading.voltage;
}

void Snapshot::lose()
{
    state = InstrumentState::Disconnected;
    temperature.reset();
    voltage.reset();
}

QString escapeLabel(const QString &value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            escaped += QLatin1String("\\\\");
        else if (c == QLatin1Char('"'))
            escaped += QLatin1String("\\\"");
        else if (c == QLatin1Char('\n'))
            escaped += QLatin1String("\\n");
        else
            escaped += c;
    }
    return escaped;
}

QByteArray page(const Snapshot &snapshot)
{
    const QString labels = QStringLiteral("port=\"%1\",serial=\"%2\"").arg(escapeLabel(snapshot.port), escapeLabel(snapshot.serial));
    QString text;
    const auto family = [&text](const Family &one) {
        text += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n").arg(QLatin1String(one.name), QLatin1String(one.help), QLatin1String(one.type));
    };
    const auto sample = [&text, &labels](const char *name, const QString &extra, const QString &value) {
        text += QStringLiteral("%1{%2%3} %4\n").arg(QLatin1String(name), labels, extra, value);
    };
    if (snapshot.temperature) {
        family({"thermocal_temperature_kelvin", "gauge", "The latest temperature the instrument read."});
        sample("thermocal_temperature_kelvin", QString(), numbers::shortest(*snapshot.temperature));
    }
    if (snapshot.voltage) {
        family({"thermocal_voltage_volts", "gauge", "The latest sensor voltage the instrument read."});
        sample("thermocal_voltage_volts", QString(), numbers::shortest(*snapshot.voltage));
    }
    family({"thermocal_up", "gauge", "1 while the latest scheduled reading was answered with a temperature, 0 otherwise; thermocal_state says why."});
    sample("thermocal_up", QString(), snapshot.up() ? QStringLiteral("1") : QStringLiteral("0"));
    family({"thermocal_state", "gauge", "What the instrument is doing: 1 for the state it is in, 0 for the others."});
    for (const InstrumentState state : States)
        sample("thermocal_state", QStringLiteral(",state=\"%1\"").arg(stateName(state)),
               state == snapshot.state ? QStringLiteral("1") : QStringLiteral("0"));
    family({"thermocal_readings_total", "counter", "Scheduled readings, by whether the instrument answered."});
    sample("thermocal_readings_total", QStringLiteral(",result=\"answered\""), QString::number(snapshot.answered));
    sample("thermocal_readings_total", QStringLiteral(",result=\"unanswered\""), QString::number(snapshot.unanswered));
    if (snapshot.lastReadingUtcMs) {
        family({"thermocal_last_reading_timestamp_seconds", "gauge", "When the latest answered reading was taken, in seconds since 1970."});
        sample("thermocal_last_reading_timestamp_seconds", QString(),
               QString::number(double(*snapshot.lastReadingUtcMs) / MsPerSecond, 'f', 3));
    }
    // The server's own health, labelled by endpoint rather than by instrument.
    const auto serverSample = [&text](const char *name, const QString &labels, const QString &value) {
        text += QStringLiteral("%1{%2} %3\n").arg(QLatin1String(name), labels, value);
    };
    if (!snapshot.endpoints.empty()) {
        family({"thermocal_server_clients", "gauge", "Clients connected now, by endpoint."});
        for (const EndpointCount &endpoint : snapshot.endpoints)
            serverSample("thermocal_server_clients", QStringLiteral("endpoint=\"%1\"").arg(escapeLabel(endpoint.endpoint)),
                         QString::number(endpoint.clients));
        family({"thermocal_server_requests_total", "counter", "Requests taken from clients, by endpoint: raw requests, SCPI lines, scrapes."});
        for (const EndpointCount &endpoint : snapshot.endpoints)
            serverSample("thermocal_server_requests_total", QStringLiteral("endpoint=\"%1\"").arg(escapeLabel(endpoint.endpoint)),
                         QString::number(endpoint.requests));
    }
    family({"thermocal_server_refused_writes_total", "counter", "Writes refused: without --allow-writes, or while another client held the right to write."});
    text += QStringLiteral("thermocal_server_refused_writes_total %1\n").arg(snapshot.refusedWrites);
    family({"thermocal_build_info", "gauge", "The server's version; always 1."});
    serverSample("thermocal_build_info", QStringLiteral("version=\"%1\"").arg(escapeLabel(snapshot.version)), QStringLiteral("1"));
    return text.toUtf8();
}

} // namespace metrics
