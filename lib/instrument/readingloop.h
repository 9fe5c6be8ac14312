#pragma once

#include "protocol.h"
#include "reconnect.h"
#include "schedule.h"

#include <QMetaType>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

class QTimer;

namespace ports {
class Port;
}

// Live readings of one instrument at fixed times, for every program that logs or watches
// one: the schedule, the exchange, the drain after a failed one, and the loss and return of
// the port. It runs on the thread it lives on, driven by that thread's event loop, and needs
// nothing else of it; a silent or flooding instrument holds up only that thread.
namespace readingloop {

// How long, after a reading without an answer, late bytes may take to arrive and be dropped
// before the next request.
constexpr int SettleLimitMs = 1000;

// One reading that fell due. A reading counts only whole: when either exchange failed, both
// values are empty, so a half-answered reading looks the same in every output (a gap).
// A value that is not a finite number (a sensor beyond its table reads nan) is empty too:
// it is no reading.
struct Reading
{
    qint64 utcMs = 0;        // wall clock when it was taken, for the outputs
    qint64 monotonicMs = 0;  // monotonic clock, for hold times and lateness
    std::optional<float> voltage;
    std::optional<float> temperature;
    protocol::LinkFailure failure = protocol::LinkFailure::None;

    // Both exchanges answered (the values may still be empty when not finite).
    bool answered() const { return failure == protocol::LinkFailure::None; }
};

// What the port is doing.
enum class State { Reading, NoAnswer, Disconnected };

// Why the loop ended.
enum class End { Count, Lost, Stopped };

// The lines that say a port went (and why, when the port said) and came back.
QString lostMessage(const QString &port, const QString &reason, bool lookingAgain);
QString reconnectedMessage(const QString &port);

// The reading that `failure` and the two answers make, with the rule above applied.
Reading makeReading(qint64 utcMs, qint64 monotonicMs, std::optional<float> voltage,
                    std::optional<float> temperature, protocol::LinkFailure failure);

struct Options
{
    qint64 intervalNs = 1000000000;
    qint64 count = 0;        // readings to take; 0: until stopped
    bool reconnect = true;   // look for a lost port once a second; otherwise the loop ends
};

class Loop : public QObject
{
    Q_OBJECT

public:
    Loop(const reconnect::Target &target, const Options &options, QObject *parent = nullptr);
    ~Loop() override;

    // A port already opened under the target's name; without one, start() opens it.
    void setPort(std::unique_ptr<ports::Port> port);
    // The open port, for exchanges taken between the loop's readings on its thread; null or
    // closed while the port is gone.
    ports::Port *port() const { return m_port.get(); }
    // The port as it is named now (a found instrument may come back under another name).
    QString portName() const { return m_target.name; }

    // Asks the loop to end as soon as it can, from any thread: a drain in progress ends at
    // once, and the loop finishes at its next event (the caller's finish() or a due time).
    void requestStop() { m_stopRequested.store(true); }
    // The flag requestStop() sets, for a signal handler, which may do no more than set it.
    std::atomic<bool> *stopFlag() { return &m_stopRequested; }
    bool stopRequested() const { return m_stopRequested.load(); }

public slots:
    // Opens the port when none was given and takes the first reading at once.
    void start();
    // Ends the loop now and closes the port; finished() is emitted once.
    void finish();

signals:
    void reading(const readingloop::Reading &reading);
    // `port`: the name now used; `utcMs`: when the state began.
    void stateChanged(readingloop::State state, const QString &port, qint64 utcMs);
    // A line for the user: the port went, or came back.
    void notice(const QString &line);
    void finished(readingloop::End end);

private:
    bool openPort(const QString &name);
    void takeReading();
    void scheduleNext();
    void settle();
    void lose(qint64 utcMs, const QString &reason);
    void tryReconnect();
    void setState(State state, qint64 utcMs);
    void end(End why);
    // Ends the loop when a stop was asked for; true once it has ended, for whatever reason.
    bool endIfStopped();

    reconnect::Target m_target;
    Options m_options;
    ReadingSchedule m_schedule;
    std::unique_ptr<ports::Port> m_port;
    QTimer *m_due;
    QTimer *m_retry;
    qint64 m_taken = 0;
    std::optional<State> m_state;
    QString m_openFailure;  // why the last attempt to open the port failed
    bool m_ended = false;
    std::atomic<bool> m_stopRequested{false};
};

} // namespace readingloop

Q_DECLARE_METATYPE(readingloop::Reading)
Q_DECLARE_METATYPE(readingloop::State)
Q_DECLARE_METATYPE(readingloop::End)
