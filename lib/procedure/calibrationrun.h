#pragma once

#include "analysis.h"
#include "procedurefile.h"
#include "record.h"

#include <QDate>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
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
};

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
    bool allowExpiredReference = false;
    std::optional<QJsonObject> resume; // a record to go on from
    QString software;          // "thermocal-cli 1.2.3"
    QDate today;               // for the reference's due date
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

    // What the run says: a status line while waiting (to be rewritten in place), or a message.
    std::function<void(const QString &text, bool status)> report;
    // Asks the operator (a prompt without a line end) and returns the answer line; nothing when
    // the input ended. Needed without a source, and for a manual reference.
    std::function<std::optional<QString>(const QString &prompt)> ask;

    void setStopFlag(const std::atomic<bool> *stop) { m_stop = stop; }

    Outcome exec();

    const record::Record &record() const { return m_record; }

private:
    Outcome prepare();
    Outcome measure(double nominal, analysis::Phase phase, int index, int count);
    Outcome takeReading(analysis::Sample *sample);
    Outcome setPoint(double nominal, int index, int count);
    Outcome writeProposed(const analysis::Analysis &analysed);
    Outcome save();
    Outcome finish(Ending ending, const QString &message, record::State state);
    bool sleepUntil(qint64 msSinceEpoch);
    bool stopped() const { return m_stop && m_stop->load(); }
    bool hasCaptured(double nominal, analysis::Phase phase) const;
    void say(const QString &text) const;
    void status(const QString &text) const;

    Procedure m_procedure;
    std::unique_ptr<ports::Port> m_instrument;
    RunOptions m_options;
    std::unique_ptr<scpiclient::Client> m_reference;
    std::unique_ptr<scpiclient::Client> m_source;
    const std::atomic<bool> *m_stop = nullptr;
    record::Record m_record;
    bool m_written = false;
    bool m_started = false; // the set was read (or the record resumed): there is a record to keep
};

} // namespace procedure
