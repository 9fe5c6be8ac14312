#pragma once

#include <QString>
#include <QVector>

#include <optional>

// Alarms that do not cry wolf: a condition raises an alarm only once it has held for every
// reading during a whole hold time, and the alarm clears only once the readings have been
// back inside the limits for as long. One start and one clear per episode.
namespace alarms {

constexpr double DefaultHoldSeconds = 10.0;

struct Settings
{
    std::optional<double> above;  // kelvin
    std::optional<double> below;  // kelvin
    qint64 holdMs = qint64(DefaultHoldSeconds * 1000);
    QString command;              // run through /bin/sh -c when an alarm starts

    // Alarms, the one for no reading included, watch only when a limit is set.
    bool armed() const { return above.has_value() || below.has_value(); }
};

enum class Condition { Above, Below, NoReading };
// above, below, no-reading: as the alarm command's environment names it.
QString key(Condition condition);

struct Event
{
    bool started = true;  // false: cleared
    Condition condition = Condition::Above;
    qint64 timeMs = 0;
    std::optional<float> temperature;  // the reading that started it, none for no-reading
};

// The alarm state of one instrument.
class Rule
{
public:
    // `startMs`: when watching began, so an instrument that never answers raises the
    // no-reading alarm after one hold time.
    Rule(const Settings &settings, qint64 startMs);

    // A reading at `timeMs`; no temperature when it got no answer.
    QVector<Event> reading(qint64 timeMs, std::optional<float> temperature);
    // Time passing without readings (a lost connection): at least once a second.
    QVector<Event> tick(qint64 timeMs);

    std::optional<Condition> active() const { return m_active; }
    void setSettings(const Settings &settings);

private:
    QVector<Event> evaluate(qint64 timeMs);

    Settings m_settings;
    qint64 m_lastValueMs;                 // the last reading with a value, or the start
    std::optional<Condition> m_run;       // Above or Below while every reading is beyond a limit
    qint64 m_runStartMs = 0;
    std::optional<qint64> m_insideSinceMs;
    std::optional<float> m_lastTemperature;
    std::optional<Condition> m_active;
};

// Runs `settings.command` once through /bin/sh -c, without waiting for it, with
// THERMOCAL_PORT, THERMOCAL_ALARM and THERMOCAL_TEMPERATURE_K in its environment. False
// when it could not be started.
bool runCommand(const QString &command, const QString &port, const Event &event);

// "ttyACM0: temperature above 90 K since 12:03:04" and so on, for the banner and stderr.
QString describe(const QString &port, const Event &event, const Settings &settings);

} // namespace alarms
