#pragma once

#include "protocol.h"
#include "reconnect.h"
#include "requestqueue.h"
#include "schedule.h"

#include <QMetaType>
#include <QMutex>
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
// the port. Programs that share the instrument with clients (the server) hand the loop
// their clients' requests too, so that one part drives the port: every exchange, a reading
// or a client's, goes whole and alone, with the same drain after it fails and the same
// pause after a write. It runs on the thread it lives on, driven by that thread's event
// loop, and needs nothing else of it; a silent or flooding instrument holds up only that
// thread.
namespace readingloop {

// How long, after an exchange without an answer, late bytes may take to arrive and be
// dropped before the next request.
constexpr int SettleLimitMs = 1000;
// How long a client's request may wait for the instrument: a client that asked that long
// ago has given up on its reply, and a later request must not wait behind it.
constexpr int RequestDeadlineMs = 2000;
// How long a pause for a write or a drain sleeps before it looks at the stop flag again.
constexpr int StopCheckMs = 10;

class Loop;

// A client's turn at the instrument, handed to its job: its exchanges go one at a time, a
// scheduled reading that fell due meanwhile going first.
class Turn
{
public:
    quint64 client() const { return m_client; }
    // The request waited past its deadline: every exchange fails without being sent.
    bool expired() const { return m_expired; }
    // One whole exchange: a request of the instrument's protocol, and for a query its reply.
    // Fails without touching the instrument once the request expired, the loop is stopping
    // or the port is gone.
    ExchangeResult exchange(const QByteArray &request);

private:
    friend class Loop;
    Turn(Loop &loop, quint64 client, bool expired)
        : m_loop(loop)
        , m_client(client)
        , m_expired(expired)
    {
    }

    Loop &m_loop;
    quint64 m_client;
    bool m_expired;
};

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
    // The port as it is named now (a found instrument may come back under another name).
    QString portName() const { return m_target.name; }

    // Asks the loop to end as soon as it can, from any thread: a drain in progress ends at
    // once, and the loop finishes at its next event (the caller's finish() or a due time).
    void requestStop() { m_stopRequested.store(true); }
    // The flag requestStop() sets, for a signal handler, which may do no more than set it.
    std::atomic<bool> *stopFlag() { return &m_stopRequested; }

    // The one way a client's requests reach the instrument, from any thread: `job` runs on
    // the loop's thread in the client's turn, between scheduled readings. False, and the job
    // never runs, when the queue has no room for it or the loop has ended.
    bool submit(quint64 client, Job job, int deadlineMs = RequestDeadlineMs);
    // The client has gone: its waiting requests are dropped. From any thread.
    void cancel(quint64 client);

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
    friend class Turn;

    bool openPort(const QString &name);
    void takeReading();
    void runNextRequest();
    ExchangeResult clientExchange(const QByteArray &request);
    // Takes the scheduled reading first when it fell due while clients kept the port busy.
    void takeDueReading();
    // Lets the pause after a write run out before the next request.
    void waitForPacing();
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
    qint64 m_dueNs = 0;         // when the scheduled reading falls due
    qint64 m_quietUntilNs = 0;  // no request reaches the instrument before this

    QMutex m_queueMutex;  // guards what follows: clients submit from their own threads
    RequestQueue m_queue;
    bool m_runPosted = false;
    bool m_accepting = true;
};

} // namespace readingloop

Q_DECLARE_METATYPE(readingloop::Reading)
Q_DECLARE_METATYPE(readingloop::State)
Q_DECLARE_METATYPE(readingloop::End)
