#include "calibrationrun.h"

#include "curvemath.h"
#include "device.h"
#include "numbers.h"
#include "portdiscovery.h"
#include "ports.h"
#include "protocol.h"
#include "scpiclient.h"
#include "sendset.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <cmath>

namespace procedure {

namespace {

constexpr int SleepSliceMs = 100; // a stop is noticed within this, beyond a reading in progress
using numbers::MsPerSecond;
constexpr int InstrumentAttempts = 3;
constexpr int ReferenceAttempts = 2;
constexpr int SettleLimitMs = 1000;

QString message(const char *text)
{
    return QCoreApplication::translate("procedure", text);
}

class SystemClock : public Clock
{
public:
    SystemClock() { m_started.start(); }
    qint64 wallMs() const override { return QDateTime::currentMSecsSinceEpoch(); }
    qint64 monotonicMs() const override { return m_started.elapsed(); }
    void sleep(qint64 ms) override { QThread::msleep(ulong(std::max<qint64>(0, ms))); }

private:
    QElapsedTimer m_started;
};

// Who runs the calibration, as the computer knows them.
QString loginName()
{
    const QByteArray user = qgetenv("USER");
    return QString::fromLocal8Bit(user.isEmpty() ? qgetenv("USERNAME") : user);
}

} // namespace

Clock &systemClock()
{
    static SystemClock clock;
    return clock;
}

Run::Run(const Procedure &procedure, std::unique_ptr<ports::Port> instrument, const RunOptions &options)
    : m_procedure(procedure)
    , m_instrument(std::move(instrument))
    , m_options(options)
{
}

Run::~Run() = default;

void Run::setReference(std::unique_ptr<scpiclient::Client> client)
{
    m_reference = std::move(client);
}

void Run::setSource(std::unique_ptr<scpiclient::Client> client)
{
    m_source = std::move(client);
}

void Run::captureNow(const QString &reason)
{
    const std::lock_guard<std::mutex> lock(m_requestMutex);
    m_captureRequest = reason;
}

void Run::skipPoint(const QString &reason)
{
    const std::lock_guard<std::mutex> lock(m_requestMutex);
    m_skipRequest = reason;
}

bool Run::hasCaptured(double nominal, analysis::Phase phase) const
{
    for (const analysis::RawPoint &point : m_record.points) {
        if (point.nominal == nominal && point.phase == phase && (point.captured() || !point.skipReason.isEmpty()))
            return true;
    }
    return false;
}

Outcome Run::save()
{
    const QString error = record::save(m_options.recordPath, m_record);
    if (!error.isEmpty())
        return {Ending::FileProblem, message(QT_TRANSLATE_NOOP("procedure", "cannot write the record %1: %2"))
                                         .arg(QDir::toNativeSeparators(m_options.recordPath), error)};
    return {Ending::Complete, QString()};
}

Outcome Run::finish(Ending ending, const QString &text, record::State state)
{
    if (!m_started)
        return {ending, text};
    m_record.state = state;
    m_record.finished = record::isoTime(m_clock->wallMs());
    m_record.note = text;
    m_record.sessions.last().ended = m_record.finished;
    m_record.sessions.last().note = text;
    const Outcome saved = save();
    QString said = text;
    if (ending != Ending::Complete) {
        said += m_written ? message(QT_TRANSLATE_NOOP("procedure", " The instrument holds the new set, committed to EEPROM."))
                          : message(QT_TRANSLATE_NOOP("procedure", " The instrument's EEPROM holds the set as found."));
        said += message(QT_TRANSLATE_NOOP("procedure", " The record is kept: %1")).arg(QDir::toNativeSeparators(m_options.recordPath));
    }
    if (saved.ending != Ending::Complete)
        return {ending == Ending::Complete ? Ending::FileProblem : ending, said + QLatin1Char(' ') + saved.message};
    return {ending, said};
}

bool Run::sleepUntil(qint64 monotonicMs)
{
    while (true) {
        if (stopped())
            return false;
        const qint64 left = monotonicMs - now();
        if (left <= 0)
            return true;
        m_clock->sleep(std::min<qint64>(left, SleepSliceMs));
    }
}

Outcome Run::checkDue()
{
    const ReferenceCertificate &certificate = m_procedure.reference.certificate;
    const QDate today = std::max(m_options.today, QDateTime::fromMSecsSinceEpoch(m_clock->wallMs()).date());
    if (!(certificate.due < today) || m_record.allowExpiredReference)
        return {Ending::Complete, QString()};
    if (m_options.expiredReferenceReason.isEmpty())
        return {Ending::Refused, message(QT_TRANSLATE_NOOP("procedure", "the reference's certificate %1 was due on %2; "
                                                                        "recalibrate the reference, or run with --allow-expired-reference REASON, "
                                                                        "which the certificate will state"))
                                     .arg(certificate.number, certificate.due.toString(Qt::ISODate))};
    m_record.allowExpiredReference = true;
    m_record.expiredReferenceReason = m_options.expiredReferenceReason;
    m_record.expiredReferenceAllowedBy = m_session.user;
    RunDeviation allowed;
    allowed.kind = RunDeviation::Kind::ExpiredReference;
    allowed.reason = m_options.expiredReferenceReason;
    allowed.user = m_session.user;
    allowed.certificate = certificate.number;
    allowed.due = certificate.due;
    m_observer->deviation(allowed);
    return {Ending::Complete, QString()};
}

Outcome Run::prepare()
{
    m_session.software = m_options.software;
    m_session.port = m_options.portName;
    m_session.serialNumber = portdiscovery::serialNumberOf(m_options.portName);
    m_session.user = m_options.user.isEmpty() ? loginName() : m_options.user;
    m_session.started = record::isoTime(m_clock->wallMs());

    if (m_options.resume) {
        Error error;
        std::optional<record::Record> resumed = record::fromJson(*m_options.resume, &error);
        if (!resumed)
            return {Ending::Refused, message(QT_TRANSLATE_NOOP("procedure", "cannot resume: %1")).arg(error.message)};
        if (resumed->procedure != m_procedure.json)
            return {Ending::Refused, message(QT_TRANSLATE_NOOP("procedure", "cannot resume: the record was made with another procedure"))};
        // The record is the evidence of one instrument calibrated against one reference.
        if (!resumed->serialNumber.isEmpty() && !m_session.serialNumber.isEmpty() && resumed->serialNumber != m_session.serialNumber)
            return {Ending::NotVerified, message(QT_TRANSLATE_NOOP("procedure", "cannot resume: the record is of the instrument %1, "
                                                                                "but %2 is the instrument %3; the record is untouched"))
                                             .arg(resumed->serialNumber, m_options.portName, m_session.serialNumber)};
        m_record = *resumed;
        m_written = m_record.asLeft.has_value();
        // The previous session ended where the record says.
        if (!m_record.sessions.isEmpty() && m_record.sessions.last().ended.isEmpty()) {
            m_record.sessions.last().ended = m_record.finished;
            m_record.sessions.last().note = m_record.note;
        }
        // The new table starts from the curve the run started from.
        if (m_record.curve && m_procedure.curve && m_record.curve->sha256 != m_procedure.curve->sha256)
            return {Ending::Refused, message(QT_TRANSLATE_NOOP("procedure", "cannot resume: the curve %1 has changed since the run started "
                                                                            "(SHA-256 %2, now %3)"))
                                         .arg(m_procedure.curveFile, m_record.curve->sha256, m_procedure.curve->sha256)};
        m_procedure.curve = m_record.curve;
    } else {
        m_record.procedure = m_procedure.json;
        m_record.started = m_session.started;
        m_record.curve = m_procedure.curve;
    }
    if (!m_procedure.curveFile.isEmpty() && !m_procedure.curve)
        return {Ending::Refused, message(QT_TRANSLATE_NOOP("procedure", "the procedure's curve %1 was not read")).arg(m_procedure.curveFile)};
    m_record.software = m_session.software;
    m_record.port = m_session.port;
    m_record.write = m_options.write || m_written;
    m_record.state = record::State::Running;
    m_record.finished.clear();
    m_record.serialNumber = m_session.serialNumber;
    const Outcome due = checkDue();
    if (due.ending != Ending::Complete)
        return due;

    Error error;
    // Devices the procedure does not name are not used, whatever was given.
    if (m_procedure.reference.port == ManualPort)
        m_reference.reset();
    if (!m_procedure.source)
        m_source.reset();
    if (m_procedure.reference.port != ManualPort) {
        if (!m_reference)
            m_reference = scpiclient::Client::open(m_procedure.reference.port, &error);
        if (!m_reference)
            return {Ending::NoDevice, message(QT_TRANSLATE_NOOP("procedure", "cannot open the reference %1: %2"))
                                          .arg(m_procedure.reference.port, error.message)};
        if (m_procedure.reference.identify) {
            const std::optional<QByteArray> idn = m_reference->ask("*IDN?", m_stop, &error);
            if (!idn)
                return {stopped() ? Ending::Stopped : Ending::NoAnswer,
                        message(QT_TRANSLATE_NOOP("procedure", "the reference: %1")).arg(error.message)};
            const QString identity = ports::printableLine(*idn, scpiclient::LongestReply);
            if (m_options.resume && !m_record.referenceIdn.isEmpty() && identity != m_record.referenceIdn)
                return {Ending::NotVerified, message(QT_TRANSLATE_NOOP("procedure", "cannot resume: the record's reference is \"%1\", "
                                                                                    "but %2 answers \"%3\"; the record is untouched"))
                                                 .arg(m_record.referenceIdn, m_procedure.reference.port, identity)};
            m_record.referenceIdn = identity;
        }
    }
    if (m_procedure.source) {
        if (!m_source)
            m_source = scpiclient::Client::open(m_procedure.source->port, &error);
        if (!m_source)
            return {Ending::NoDevice, message(QT_TRANSLATE_NOOP("procedure", "cannot open the source %1: %2"))
                                          .arg(m_procedure.source->port, error.message)};
    }

    protocol::Link link(m_instrument.get());
    const std::optional<device::DeviceSet> held = device::readSet(link);
    if (!held)
        return {Ending::NoAnswer, protocol::message(link.failure())};
    if (m_options.resume) {
        const device::DeviceSet expected = m_written ? *m_record.asLeft : m_record.asFound;
        if (!device::compare(*held, expected).isEmpty())
            return {Ending::NotVerified, message(QT_TRANSLATE_NOOP("procedure", "cannot resume: the instrument holds another set than the record says it %1"))
                                             .arg(m_written ? message(QT_TRANSLATE_NOOP("procedure", "was left with"))
                                                            : message(QT_TRANSLATE_NOOP("procedure", "was found with")))};
        m_observer->resumed(m_record.points.size());
    } else {
        m_record.asFound = *held;
    }
    m_session.referenceIdn = m_record.referenceIdn;
    m_record.sessions.append(m_session);
    m_started = true;

    if (m_procedure.kind == Kind::Sensor) {
        // The new table is made from the sensor's curve, or from the instrument's rows.
        const QVector<curveimport::Point> sorted = curveimport::sortedAndMerged(
            m_procedure.curve ? m_procedure.curve->points : device::toCalibrationSet(m_record.asFound).table);
        for (double point : qAsConst(m_procedure.points)) {
            if (sorted.size() < 2 || point < sorted.first().second || point > sorted.last().second)
                return {Ending::Refused, message(QT_TRANSLATE_NOOP("procedure", "the point %1 K lies outside %4 (%2 K to %3 K)"))
                                             .arg(point).arg(sorted.value(0).second).arg(sorted.value(sorted.size() - 1).second)
                                             .arg(m_procedure.curve ? message(QT_TRANSLATE_NOOP("procedure", "the curve %1")).arg(m_procedure.curveFile)
                                                                    : message(QT_TRANSLATE_NOOP("procedure", "the instrument's table")))};
        }
    }
    return save();
}

Outcome Run::setPoint(const PointRef &point)
{
    if (m_source) {
        Error error;
        const QByteArray command = scpiclient::setCommand(m_procedure.source->set, point.nominal);
        if (!m_source->send(command, &error))
            return {Ending::NoAnswer, message(QT_TRANSLATE_NOOP("procedure", "the source: %1")).arg(error.message)};
        m_observer->pointStarted({point, command, m_procedure.source->settle});
        if (!sleepUntil(now() + qint64(m_procedure.source->settle * MsPerSecond)))
            return {Ending::Stopped, message(QT_TRANSLATE_NOOP("procedure", "stopped."))};
        return {Ending::Complete, QString()};
    }
    m_observer->pointStarted({point, QByteArray(), 0.0});
    Question question;
    question.kind = Question::Kind::SetPoint;
    question.point = point;
    question.unit = pointUnit(m_procedure.kind);
    if (!m_observer->ask(question))
        return {Ending::Stopped, message(QT_TRANSLATE_NOOP("procedure", "no answer from the operator (the input ended)."))};
    return {Ending::Complete, QString()};
}

Outcome Run::takeReading(analysis::Sample *sample)
{
    sample->ms = m_clock->wallMs();
    sample->elapsedMs = now();
    Error error;
    if (m_reference) {
        std::optional<QByteArray> reply;
        for (int attempt = 0; attempt < ReferenceAttempts && !reply && !stopped(); ++attempt)
            reply = m_reference->ask(m_procedure.reference.query.toLatin1(), m_stop, &error);
        if (!reply)
            return {stopped() ? Ending::Stopped : Ending::NoAnswer, message(QT_TRANSLATE_NOOP("procedure", "the reference: %1")).arg(error.message)};
        const std::optional<double> reading = scpiclient::reading(*reply, m_procedure.reference.unit, &error, m_procedure.reference.pattern);
        if (!reading)
            return {Ending::NoAnswer, error.message};
        sample->reference = *reading;
    } else {
        Question question;
        question.kind = Question::Kind::ReferenceReading;
        question.unit = unitSymbol(m_procedure.reference.unit);
        while (true) {
            const std::optional<QString> answer = m_observer->ask(question);
            if (!answer)
                return {Ending::Stopped, message(QT_TRANSLATE_NOOP("procedure", "no answer from the operator (the input ended)."))};
            const std::optional<double> reading = scpiclient::firstNumber(answer->toLatin1());
            if (reading) {
                sample->reference = *reading;
                break;
            }
            question.notANumber = *answer;
        }
        sample->ms = m_clock->wallMs();
        sample->elapsedMs = now();
    }
    // One reply lost on a busy machine must not end a run of hours: a reading is tried again
    // after the late bytes are drained, a lost connection is not.
    device::Reading reading;
    protocol::LinkFailure failure = protocol::LinkFailure::None;
    for (int attempt = 0; attempt < InstrumentAttempts; ++attempt) {
        protocol::Link link(m_instrument.get());
        reading = device::readLive(link);
        failure = link.failure();
        if ((reading.voltage && reading.temperature) || failure != protocol::LinkFailure::NoAnswer || stopped())
            break;
        device::settle(*m_instrument, SettleLimitMs, m_stop);
    }
    if (!reading.voltage || !reading.temperature)
        return {stopped() ? Ending::Stopped : Ending::NoAnswer, protocol::message(failure)};
    if (!std::isfinite(*reading.voltage) || !std::isfinite(*reading.temperature))
        return {Ending::NoAnswer, message(QT_TRANSLATE_NOOP("procedure", "the instrument reads %1 V, %2 K: not a number (a sensor beyond its table?)"))
                                      .arg(double(*reading.voltage)).arg(double(*reading.temperature))};
    sample->volts = double(*reading.voltage);
    sample->kelvin = double(*reading.temperature);
    return {Ending::Complete, QString()};
}

Outcome Run::measure(double nominal, analysis::Phase phase, int index, int count)
{
    const Outcome due = checkDue();
    if (due.ending != Ending::Complete)
        return due;
    const PointRef ref{index, count, nominal, phase};
    Outcome set = setPoint(ref);
    if (set.ending != Ending::Complete)
        return set;
    const Stability &limits = m_procedure.stability;
    const QString unit = pointUnit(m_procedure.kind);
    const qint64 intervalMs = qint64(limits.interval * MsPerSecond);
    const qint64 deadline = now() + qint64(limits.timeout * MsPerSecond);
    analysis::RawPoint point;
    point.nominal = nominal;
    point.phase = phase;
    QVector<stability::Reading> readings;
    bool stale = false;
    {
        // A request made for an earlier point is not this one's.
        const std::lock_guard<std::mutex> lock(m_requestMutex);
        m_captureRequest.reset();
        m_skipRequest.reset();
    }
    // An attempt that ends early stays in the record, uncaptured, for whoever reads it later.
    const auto interrupted = [this, &point](const Outcome &outcome) {
        if (!point.samples.isEmpty()) {
            point.capturedFrom = -1;
            point.captureReason.clear();
            point.interrupted = true;
            point.interruption = outcome.message;
            m_record.points.append(point);
        }
        return outcome;
    };
    qint64 next = now();
    while (true) {
        if (!sleepUntil(next))
            return interrupted({Ending::Stopped, message(QT_TRANSLATE_NOOP("procedure", "stopped during point %1 of %2."))
                                                     .arg(index).arg(count)});
        analysis::Sample sample;
        const Outcome read = takeReading(&sample);
        if (read.ending != Ending::Complete)
            return interrupted(read);
        point.samples.append(sample);
        Progress shown{index, count, nominal, phase, sample, {}, -1};
        std::optional<QString> captureRequest;
        std::optional<QString> skipRequest;
        {
            const std::lock_guard<std::mutex> lock(m_requestMutex);
            std::swap(captureRequest, m_captureRequest);
            std::swap(skipRequest, m_skipRequest);
        }
        if (skipRequest && phase == analysis::Phase::AsLeft) {
            point.capturedFrom = -1;
            point.captureReason.clear();
            point.skipReason = *skipRequest;
            m_record.points.append(point);
            m_observer->deviation({RunDeviation::Kind::Skipped, ref, *skipRequest, QString(), QString(), QDate()});
            return save();
        }
        readings.append(analysis::judged(m_procedure, sample));
        if (point.captured()) {
            // A readout that freezes during the capture spoils it: the frozen stretch is never
            // taken as readings, and the point is judged again.
            if (stability::judge(readings, limits, sample.elapsedMs).stale) {
                m_observer->stale({ref, sample.reference, stability::staleSeconds(limits), true});
                point.capturedFrom = -1;
                point.captureReason.clear();
                stale = true;
            }
        }
        if (point.captured()) {
            // A settled reference far from the nominal is a readout in another unit or a bath
            // elsewhere: nothing measured so is worth a point, let alone a new table. (While the
            // bath approaches its set point it may be anywhere.)
            const double referenceReading = analysis::referenceValue(m_procedure, sample.reference);
            if (!(std::fabs(referenceReading - nominal) <= m_procedure.bounds.reading))
                return interrupted({Ending::OutOfBounds,
                                    message(QT_TRANSLATE_NOOP("procedure", "point %1 of %2: the reference reads %3 %4 where %5 %4 is set, %6 %4 "
                                                                           "away; the procedure allows %7 %4 (\"bounds.reading\"). Is the "
                                                                           "reference's unit the procedure's, and the bath at the point?"))
                                        .arg(index).arg(count).arg(referenceReading, 0, 'g', 9).arg(unit).arg(nominal)
                                        .arg(std::fabs(referenceReading - nominal), 0, 'g', 6).arg(m_procedure.bounds.reading)});
            const int captured = point.samples.size() - point.capturedFrom;
            shown.captured = captured;
            m_observer->judged(shown);
            if (captured >= limits.samples)
                break;
        } else {
            const stability::Judgement judged = stability::judge(readings, limits, sample.elapsedMs);
            shown.judgement = judged;
            m_observer->judged(shown);
            if (judged.stale && !stale)
                m_observer->stale({ref, sample.reference, stability::staleSeconds(limits), false});
            stale = judged.stale;
            if (judged.stable) {
                point.capturedFrom = point.samples.size();
            } else if (captureRequest) {
                point.capturedFrom = point.samples.size();
                point.captureReason = *captureRequest;
                m_observer->deviation({RunDeviation::Kind::CapturedEarly, ref, *captureRequest, QString(), QString(), QDate()});
            } else if (sample.elapsedMs >= deadline) {
                m_record.points.append(point);
                return {Ending::NotStable, message(QT_TRANSLATE_NOOP("procedure", "point %1 of %2 (%3 %4) did not become stable within %5 s%6."))
                                               .arg(index).arg(count).arg(nominal).arg(unit).arg(limits.timeout)
                                               .arg(stale ? message(QT_TRANSLATE_NOOP("procedure", " (the reference is stale)")) : QString())};
            }
        }
        next += intervalMs;
        // Readings that fell due during a slow one are skipped, never made up in a burst.
        while (next < now())
            next += intervalMs;
    }
    m_record.points.append(point);
    m_observer->captured(ref);
    return save();
}

Outcome Run::writeProposed(const analysis::Analysis &analysed)
{
    protocol::Link link(m_instrument.get());
    const std::optional<device::DeviceSet> held = device::readSet(link);
    if (!held)
        return {Ending::NoAnswer, protocol::message(link.failure())};
    if (!device::compare(*held, m_record.asFound).isEmpty())
        return {Ending::NotVerified, message(QT_TRANSLATE_NOOP("procedure", "the instrument's set changed during the run; nothing was sent."))};
    const QString nonFinite = sendset::firstNonFinite(*held);
    if (!nonFinite.isEmpty())
        return {Ending::FileProblem, message(QT_TRANSLATE_NOOP("procedure", "the instrument holds a value that a backup file cannot hold (%1); nothing was sent."))
                                         .arg(nonFinite)};
    const QString backupPath = m_options.backupPath.isEmpty() ? sendset::defaultBackupName() : m_options.backupPath;
    const QString backupError = sendset::writeBackup(*held, backupPath);
    if (!backupError.isEmpty())
        return {Ending::FileProblem, message(QT_TRANSLATE_NOOP("procedure", "%1; nothing was sent.")).arg(backupError)};
    m_observer->backedUp(backupPath);
    m_record.backup = backupPath;

    const sendset::Result sent = sendset::send(*m_instrument, analysed.proposed, true);
    switch (sent.outcome) {
    case sendset::Outcome::Verified:
        m_written = true;
        m_record.asLeft = analysed.proposed;
        m_record.writeOutcome = message(QT_TRANSLATE_NOOP("procedure", "sent, verified and committed to EEPROM"));
        m_observer->written(m_record.writeOutcome);
        return save();
    case sendset::Outcome::LinkFailed:
        m_record.writeOutcome = message(QT_TRANSLATE_NOOP("procedure", "%1 The set may be partly written in the instrument's memory; nothing was committed."))
                                    .arg(protocol::message(sent.failure));
        return {Ending::NoAnswer, m_record.writeOutcome};
    case sendset::Outcome::Different:
        m_record.writeOutcome = message(QT_TRANSLATE_NOOP("procedure", "the instrument holds other values than were sent (%1 differences); nothing was committed."))
                                    .arg(sent.differences.size());
        return {Ending::NotVerified, m_record.writeOutcome};
    case sendset::Outcome::CommitFailed:
        m_record.writeOutcome = message(QT_TRANSLATE_NOOP("procedure", "%1 The set was verified, but the commit may not have reached the EEPROM."))
                                    .arg(protocol::message(sent.failure));
        return {Ending::NoAnswer, m_record.writeOutcome};
    }
    return {Ending::NoAnswer, QString()};
}

Outcome Run::exec()
{
    const Outcome outcome = execute();
    m_observer->finished(outcome);
    return outcome;
}

Outcome Run::execute()
{
    Outcome outcome = prepare();
    if (outcome.ending != Ending::Complete)
        return finish(outcome.ending, outcome.message, outcome.ending == Ending::Stopped ? record::State::Stopped : record::State::Failed);

    const auto ended = [this](const Outcome &o) {
        const record::State state = o.ending == Ending::NotStable ? record::State::NotStable
                                  : o.ending == Ending::Stopped   ? record::State::Stopped
                                                                 : record::State::Failed;
        return finish(o.ending, o.message, state);
    };
    const int count = m_procedure.points.size();
    for (int i = 0; i < count; ++i) {
        if (hasCaptured(m_procedure.points.at(i), analysis::Phase::AsFound))
            continue;
        outcome = measure(m_procedure.points.at(i), analysis::Phase::AsFound, i + 1, count);
        if (outcome.ending != Ending::Complete)
            return ended(outcome);
    }

    const analysis::Analysis analysed = analysis::analyse(m_procedure, m_record.asFound, m_record.points);
    if (!analysed.fitted)
        return finish(Ending::Refused, analysed.error, record::State::Failed);
    const analysis::Changes changes = analysis::changesAtPoints(m_procedure, analysed);
    const double adjustment = changes.rows.isEmpty() ? 0.0 : changes.largestChange();
    if (!(adjustment <= m_procedure.bounds.adjustment))
        return finish(Ending::OutOfBounds,
                      message(QT_TRANSLATE_NOOP("procedure", "the new set would change the reading at a point by %1 %2; the procedure "
                                                             "allows %3 %2 (\"bounds.adjustment\"); nothing was sent."))
                          .arg(adjustment, 0, 'g', 6).arg(pointUnit(m_procedure.kind)).arg(m_procedure.bounds.adjustment),
                      record::State::Failed);
    m_observer->fitReady({&analysed, changes});

    // A resumed run that wrote already goes on to its as-left points.
    if (!m_options.write && !m_written)
        return finish(Ending::Complete, message(QT_TRANSLATE_NOOP("procedure", "the proposed set is in the record; nothing was sent (use --write).")),
                      record::State::Complete);
    if (!m_written) {
        if (stopped())
            return ended({Ending::Stopped, message(QT_TRANSLATE_NOOP("procedure", "stopped before writing."))});
        outcome = writeProposed(analysed);
        if (outcome.ending != Ending::Complete)
            return ended(outcome);
    }
    const QVector<double> asLeft = asLeftInRunOrder(m_procedure);
    for (int i = 0; i < asLeft.size(); ++i) {
        if (hasCaptured(asLeft.at(i), analysis::Phase::AsLeft))
            continue;
        outcome = measure(asLeft.at(i), analysis::Phase::AsLeft, i + 1, asLeft.size());
        if (outcome.ending != Ending::Complete)
            return ended(outcome);
    }
    return finish(Ending::Complete, message(QT_TRANSLATE_NOOP("procedure", "calibration complete; the new set is committed to EEPROM.")),
                  record::State::Complete);
}

} // namespace procedure
