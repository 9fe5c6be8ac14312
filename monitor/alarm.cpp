#include "alarm.h"

#include "numbers.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QProcess>
#include <QProcessEnvironment>

#include <cmath>

namespace alarms {

QString key(Condition condition)
{
    switch (condition) {
    case Condition::Above:
        return QStringLiteral("above");
    case Condition::Below:
        return QStringLiteral("below");
    case Condition::NoReading:
        break;
    }
    return QStringLiteral("no-reading");
}

Rule::Rule(const Settings &settings, const Stamp &start)
    : m_settings(settings)
    , m_lastValueMs(start.monotonicMs)
{
}

void Rule::setSettings(const Settings &settings)
{
    m_settings = settings;
}

QVector<Event> Rule::reading(const Stamp &at, std::optional<float> temperature)
{
    if (temperature && !std::isfinite(*temperature))
        temperature.reset();
    const qint64 timeMs = at.monotonicMs;
    if (!temperature)
        m_missed = true;
    if (temperature) {
        m_lastValueMs = timeMs;
        m_missed = false;
        m_lastTemperature = temperature;
        std::optional<Condition> condition;
        if (m_settings.above && double(*temperature) > *m_settings.above)
            condition = Condition::Above;
        else if (m_settings.below && double(*temperature) < *m_settings.below)
            condition = Condition::Below;
        if (condition != m_run || !condition)
            m_runStartMs = timeMs;
        m_run = condition;
        if (condition)
            m_insideSinceMs.reset();
        else if (!m_insideSinceMs)
            m_insideSinceMs = timeMs;
    }
    // A reading without an answer is no evidence for or against a limit; only the time since
    // the last value counts it.
    return evaluate(at);
}

QVector<Event> Rule::tick(const Stamp &now)
{
    return evaluate(now);
}

QVector<Event> Rule::evaluate(const Stamp &now)
{
    const qint64 timeMs = now.monotonicMs;
    const qint64 shownMs = now.utcMs;
    QVector<Event> events;
    if (!m_settings.armed()) {
        if (m_active)
            events.append({false, *m_active, shownMs, {}, {}});
        m_active.reset();
        return events;
    }
    std::optional<Condition> held;
    if (m_missed && timeMs - m_lastValueMs >= m_settings.holdMs)
        held = Condition::NoReading;
    else if (m_run && timeMs - m_runStartMs >= m_settings.holdMs)
        held = m_run;

    if (held && held != m_active) {
        Event started{true, *held, shownMs, {}, m_active};
        m_active = held;
        // Clearing needs a whole hold time of readings inside the limits from now on.
        m_insideSinceMs.reset();
        if (*held != Condition::NoReading)
            started.temperature = m_lastTemperature;
        events.append(started);
    } else if (!held && m_active && m_insideSinceMs && timeMs - *m_insideSinceMs >= m_settings.holdMs) {
        events.append({false, *m_active, shownMs, {}, {}});
        m_active.reset();
    }
    return events;
}

bool runCommand(const QString &command, const QString &port, const Event &event)
{
    if (command.isEmpty())
        return true;
    QProcess process;
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments({QStringLiteral("-c"), command});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("THERMOCAL_PORT"), port);
    environment.insert(QStringLiteral("THERMOCAL_ALARM"), key(event.condition));
    environment.insert(QStringLiteral("THERMOCAL_ALARM_WAS"), event.was ? key(*event.was) : QString());
    environment.insert(QStringLiteral("THERMOCAL_TEMPERATURE_K"),
                       event.temperature ? numbers::shortest(*event.temperature) : QString());
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    return process.startDetached();
}

namespace {

// "temperature above 90 K", or with `was`, "temperature was above 90 K".
QString conditionText(Condition condition, const Settings &settings, bool was = false)
{
    switch (condition) {
    case Condition::Above:
        return (was ? QCoreApplication::translate("Monitor", "temperature was above %1 K")
                    : QCoreApplication::translate("Monitor", "temperature above %1 K"))
            .arg(settings.above.value_or(0.0));
    case Condition::Below:
        return (was ? QCoreApplication::translate("Monitor", "temperature was below %1 K")
                    : QCoreApplication::translate("Monitor", "temperature below %1 K"))
            .arg(settings.below.value_or(0.0));
    case Condition::NoReading:
        break;
    }
    return was ? QCoreApplication::translate("Monitor", "there was no reading")
               : QCoreApplication::translate("Monitor", "no reading");
}

} // namespace

QString describe(const QString &port, const Event &event, const Settings &settings)
{
    const QString time = QDateTime::fromMSecsSinceEpoch(event.timeMs).toString(QStringLiteral("HH:mm:ss"));
    const QString condition = conditionText(event.condition, settings);
    if (event.started && event.was)
        return QCoreApplication::translate("Monitor", "alarm: %1: %2 since %3 (%4)")
            .arg(port, condition, time, conditionText(*event.was, settings, true));
    if (event.started)
        return QCoreApplication::translate("Monitor", "alarm: %1: %2 since %3").arg(port, condition, time);
    return QCoreApplication::translate("Monitor", "alarm cleared: %1: %2, at %3").arg(port, condition, time);
}

} // namespace alarms
