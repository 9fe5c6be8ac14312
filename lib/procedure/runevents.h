#pragma once

#include "analysis.h"

#include <QByteArray>
#include <QDate>
#include <QString>

#include <optional>

// What a calibration run tells its front end, as data: each front end (the console, the
// window) says it in its own words, and none of them parses the other's text.
namespace procedure {

struct Outcome;

// Which point of the run: the n-th of the phase's points.
struct PointRef
{
    int index = 0; // from 1
    int count = 0;
    double nominal = 0.0;
    analysis::Phase phase = analysis::Phase::AsFound;
};

// A point is about to be measured: the source was told its set point with `command` and is
// given `settleSeconds`; without a source `command` is empty and the operator is asked.
struct PointStarted
{
    PointRef point;
    QByteArray command;
    double settleSeconds = 0.0;
};

// Where a point stands after one of its readings.
struct Progress
{
    int index = 0; // the point, from 1
    int count = 0;
    double nominal = 0.0;
    analysis::Phase phase = analysis::Phase::AsFound;
    analysis::Sample sample;
    stability::Judgement judgement; // of the readings so far, while the point is judged
    int captured = -1;              // samples captured so far; -1 while the point is judged
};

// A step away from the method, as the record keeps it and the certificate states it.
struct RunDeviation
{
    enum class Kind {
        ExpiredReference, // the reference was used past its due date: `reason`, allowed by `user`
        CapturedEarly,    // captured on the operator's word before it was judged stable
        Skipped,          // an as-left point not measured, on the operator's word
    };
    Kind kind = Kind::CapturedEarly;
    PointRef point;          // for the point's deviations
    QString reason;
    QString user;            // who allowed an expired reference
    QString certificate;     // the reference's certificate number, when it expired
    QDate due;
};

// The reference answered one value for the whole judging window (`captureDropped` false), or
// for the stale time during a capture, which is then dropped and the point judged again.
struct StaleReference
{
    PointRef point;
    double reading = 0.0; // as the reference answered it
    double seconds = 0.0; // the stale time
    bool captureDropped = false;
};

// The fit and the set it proposes, with the changes at the points that every front end shows.
struct FitReady
{
    const analysis::Analysis *analysis = nullptr; // valid during the call
    analysis::Changes changes;
};

// What the run asks the operator, who answers with a line; nothing ends the run.
struct Question
{
    enum class Kind {
        SetPoint,         // set the bath or apply the voltage of `point`, then confirm
        ReferenceReading, // type the reference's reading
    };
    Kind kind = Kind::SetPoint;
    PointRef point;
    QString unit;        // of the reading asked for
    QString notANumber;  // the previous answer, which held no number
};

// Receives a run's events, on the run's thread. Every event has a default that ignores it.
class RunObserver
{
public:
    virtual ~RunObserver() = default;

    virtual void resumed(int keptPoints) { Q_UNUSED(keptPoints) }
    virtual void pointStarted(const PointStarted &started) { Q_UNUSED(started) }
    // Each reading of a point as it is taken.
    virtual void judged(const Progress &progress) { Q_UNUSED(progress) }
    virtual void stale(const StaleReference &stale) { Q_UNUSED(stale) }
    virtual void deviation(const RunDeviation &deviation) { Q_UNUSED(deviation) }
    virtual void captured(const PointRef &point) { Q_UNUSED(point) }
    virtual void fitReady(const FitReady &fit) { Q_UNUSED(fit) }
    // The instrument's set was backed up to `path`, before anything is sent.
    virtual void backedUp(const QString &path) { Q_UNUSED(path) }
    // The proposed set was sent, verified and committed: `outcome` as the record keeps it.
    virtual void written(const QString &outcome) { Q_UNUSED(outcome) }
    virtual void finished(const Outcome &outcome) { Q_UNUSED(outcome) }
    // The operator's answer; nothing when the input ended, which stops the run.
    virtual std::optional<QString> ask(const Question &question)
    {
        Q_UNUSED(question)
        return std::nullopt;
    }
};

} // namespace procedure
