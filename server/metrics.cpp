#include "metrics.h"

#include "numbers.h"

namespace metrics {

namespace {

constexpr double MsPerSecond = 1000.0;

struct Family
{
    const char *name;
    const char *type;
    const char *help;
};

} // namespace

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
    family({"thermocal_up", "gauge", "1 while the latest scheduled reading was answered, 0 otherwise."});
    sample("thermocal_up", QString(), snapshot.up ? QStringLiteral("1") : QStringLiteral("0"));
    family({"thermocal_readings_total", "counter", "Scheduled readings, by whether the instrument answered."});
    sample("thermocal_readings_total", QStringLiteral(",result=\"answered\""), QString::number(snapshot.answered));
    sample("thermocal_readings_total", QStringLiteral(",result=\"unanswered\""), QString::number(snapshot.unanswered));
    if (snapshot.lastReadingUtcMs) {
        family({"thermocal_last_reading_timestamp_seconds", "gauge", "When the latest answered reading was taken, in seconds since 1970."});
        sample("thermocal_last_reading_timestamp_seconds", QString(),
               QString::number(double(*snapshot.lastReadingUtcMs) / MsPerSecond, 'f', 3));
    }
    return text.toUtf8();
}

} // namespace metrics
