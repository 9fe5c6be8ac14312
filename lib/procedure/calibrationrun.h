#pragma once

#include "analysis.h"
#include "procedurefile.h"
#include "record.h"
#include "runevents.h"

#include <QDate>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace ports {
class Port;
}

namespace scpiclient {
class Client;
}

namespace procedure {

// How a run ended; the front end turns it into its exit status.
enum class Ending {
    Complete,
    Refused,      // the procedure cannot be run as given (expired reference, points off the table)
    NotVerified,  // the instrument holds another set than was sent, or than the record says
    NoAnswer,     // the instrument or a bench device did not answer, or its connection was lost
    FileProblem,  // the record could not be written
    NoDevice,     // a bench device's port could not be opened
    NotStable,    // a point did not become stable in time
    Stopped,      // stopped from outside, or the operator's input ended
    OutOfBounds,  // a reference reading too far from its nominal, or an adjustment too large
};

// The run's sense of time: wall time for the record, a monotonic clock for the judge and for
// every wait, so a clock step or a suspended computer cannot make a window look covered.
// Tests give the run a virtual clock that sleeps by moving on.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual qint64 wallMs() const = 0;      // since the epoch
    virtual qint64 monotonicMs() const = 0; // from any fixed start
    virtual void sleep(qint64 ms) = 0;
};

// The computer's clocks.
Clock &systemClock();

struct Outcome
{
    Ending ending = Ending::Complete;
    QString message;
};

struct RunOptions
{
    QString portName;          // the instrument's, as the record names it
    QString recordPath;
    bool write = false;        // send the proposed set and measure the as-left points
    QString backupPath;        // of the instrument's set before writing; empty for the default
    // Why a reference past its due date may be used; empty: it may not.
    QString expiredReferenceReason;
    std::optional<QJsonObject> resume; // a record to go on from
    QString software;          // "thermocal-cli 1.2.3"
    QString user;              // who runs it; the login name when empty
    QDate today;               // for the reference's due date at the start; the clock's date later
};

// One calibration by comparison, from the set found to the as-left points: blocking, for a
// thread of its own (the command line's main thread, a window's worker). Every wait has a
// deadline, and the stop flag ends it within a second, with the record kept.
class Run
{
public:
    Run(const Procedure &procedure, std::unique_ptr<ports::Port> instrument, const RunOptions &options);
    ~Run();
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    // Who hears of the run's events and answers its questions (it must outlive the run). Without
    // one, a run that needs the operator ends, stopped.
    void setObserver(RunObserver *observer) { m_observer = observer ? observer : &m_silent; }

    void setStopFlag(const std::atomic<bool> *stop) { m_stop = stop; }
    // The clock the run waits and judges by; the computer's unless given (it must outlive the run).
    void setClock(Clock *clock) { m_clock = clock; }
    // The bench's reference readout and source, opened by the caller; without them the run
    // opens the ports the procedure names.
    void setReference(std::unique_ptr<scpiclient::Client> client);
    void setSource(std::unique_ptr<scpiclient::Client> client);

    // From any thread, for an operator at the bench: the point in progress is captured from
    // its next reading although it is not judged stable, the reason kept in the record.
    void captureNow(const QString &reason);
    // From any thread: the as-left point in progress is not measured again, the reason kept in
    // the record. As-found points cannot be skipped: the fit needs every one of them.
    void skipPoint(const QString &reason);

    Outcome exec();

    const record::Record &record() const { return m_record; }

private:
    Outcome prepare();
    Outcome measure(double nominal, analysis::Phase phase, int index, int count);
    Outcome takeReading(analysis::Sample *sample);
    Outcome execute();
    Outcome setPoint(const PointRef &point);
    // Refused when the reference's certificate has fallen due since the start, unless allowed.
    Outcome checkDue();
    Outcome writeProposed(const analysis::Analysis &analysed);
    Outcome save();
    Outcome finish(Ending ending, const QString &message, record::State state);
    // Waits until the monotonic clock reads `monotonicMs`; false when stopped first.
    bool sleepUntil(qint64 monotonicMs);
    qint64 now() const { return m_clock->monotonicMs(); }
    bool stopped() const { return m_stop && m_stop->load(); }
    // Captured, or skipped on the operator's word.
    bool hasCaptured(double nominal, analysis::Phase phase) const;

    Procedure m_procedure;
    std::unique_ptr<ports::Port> m_instrument;
    RunOptions m_options;
    std::unique_ptr<scpiclient::Client> m_reference;
    std::unique_ptr<scpiclient::Client> m_source;
    RunObserver m_silent;
    RunObserver *m_observer = &m_silent;
    const std::atomic<bool> *m_stop = nullptr;
    Clock *m_clock = &systemClock();
    record::Record m_record;
    record::Session m_session; // this one's
    bool m_written = false;
    bool m_started = false; // the set was read (or the record resumed): there is a record to keep
    std::mutex m_requestMutex;
    std::optional<QString> m_captureRequest;
    std::optional<QString> m_skipRequest;
};

} // namespace procedure
