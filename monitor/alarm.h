#pragma once

#include <QString>
#include <QVector>

#include <optional>

// Alarms that do not cry wolf: a condition raises an alarm only once it has held for every
// reading during a whole hold time, and the alarm clears only once the readings have been
// back inside the limits for as long. One start and one clear per episode; an episode whose
// condition changes (above the limit, then no reading) starts again under the new condition
// without clearing, since nothing cleared. Hold times run
// on the monotonic clock, so a step of the wall clock (a board without a clock chip setting
// its time at boot) neither raises nor delays an alarm; the times shown are wall-clock.
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

// When something happened: on the monotonic clock for the hold times, on the wall clock for
// the times shown.
struct Stamp
{
    qint64 monotonicMs = 0;
    qint64 utcMs = 0;
};

struct Event
{
    bool started = true;  // false: cleared
    Condition condition = Condition::Above;
    qint64 timeMs = 0;                 // wall clock, milliseconds since 1970
    std::optional<float> temperature;  // the reading that started it, none for no-reading
    std::optional<Condition> was;      // a start that changed the condition of an active alarm: the one before
};

// The alarm state of one instrument.
class Rule
{
public:
    // `start`: when watching began, so an instrument that never answers raises the
    // no-reading alarm one hold time after it.
    Rule(const Settings &settings, const Stamp &start);

    // A reading that fell due; no temperature when it got no answer, or when the answer was
    // not a finite number (a sensor out of its table reads nan): such a reading neither
    // raises nor clears a limit's alarm.
    QVector<Event> reading(const Stamp &at, std::optional<float> temperature);
    // Time passing: at least once a second.
    QVector<Event> tick(const Stamp &now);

    std::optional<Condition> active() const { return m_active; }
    void setSettings(const Settings &settings);

private:
    QVector<Event> evaluate(const Stamp &now);

    Settings m_settings;
    qint64 m_lastValueMs;                 // the last reading with a value, or the start
    // A due reading went unanswered since then: "no reading" means readings fell due and got
    // no answer, never the quiet between two due readings.
    bool m_missed = false;
    std::optional<Condition> m_run;       // Above or Below while every reading is beyond a limit
    qint64 m_runStartMs = 0;
    std::optional<qint64> m_insideSinceMs;
    std::optional<float> m_lastTemperature;
    std::optional<Condition> m_active;
};

// Runs `settings.command` once through /bin/sh -c, without waiting for it, with
// THERMOCAL_PORT, THERMOCAL_ALARM, THERMOCAL_ALARM_WAS (the condition it changed from, or
// empty) and THERMOCAL_TEMPERATURE_K in its environment. False
// when it could not be started.
bool runCommand(const QString &command, const QString &port, const Event &event);

// "ttyACM0: temperature above 90 K since 12:03:04", "ttyACM0: no reading since 12:03:14
// (temperature was above 90 K)" and so on, for the banner and stderr.
QString describe(const QString &port, const Event &event, const Settings &settings);

} // namespace alarms
