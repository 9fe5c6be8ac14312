#pragma once

#include "budget.h"
#include "device.h"
#include "fit.h"
#include "procedurefile.h"
#include "stability.h"

#include <QString>
#include <QVector>

#include <optional>

// Everything a calibration computes from its raw readings: each point's statistics, error,
// uncertainty budget and decision, the fit and the set it proposes. One function of the
// procedure, the set found and the readings, so a record can be checked by computing it
// again.
namespace analysis {

enum class Phase { AsFound, AsLeft };

// One reading of both channels: the reference as it answered (in its own unit), the
// instrument's voltage and temperature as it holds them (single precision).
struct Sample
{
    qint64 ms = 0; // since the epoch, as the computer's clock read it
    double reference = 0.0;
    double volts = 0.0;
    double kelvin = 0.0;
    qint64 elapsedMs = 0; // on a monotonic clock from any start, which the judge goes by
};

struct RawPoint
{
    double nominal = 0.0;
    Phase phase = Phase::AsFound;
    QVector<Sample> samples;
    int capturedFrom = -1; // the first captured sample; -1 while the point never became stable
    QString captureReason; // why the operator captured the point before it was judged stable
    QString skipReason;    // why the operator skipped this as-left point
    bool interrupted = false; // the attempt ended before its capture did (a stop, a lost device)
    QString interruption;     // and why
    bool captured() const { return capturedFrom >= 0; }
};

enum class Decision { Pass, Fail, ConditionalPass, ConditionalFail };
QString decisionText(Decision decision);

struct PointResult
{
    double nominal = 0.0;
    Phase phase = Phase::AsFound;
    int n = 0;
    double reference = 0.0;   // mean, in the point's unit (K or V)
    double instrument = 0.0;  // mean of the instrument's temperature (sensor) or voltage (adc)
    double volts = 0.0;       // mean of the instrument's voltage
    double error = 0.0;       // instrument minus reference
    double differenceSd = 0.0;
    stability::Judgement stability; // as judged when the capture began
    budget::Budget budget;
    Decision decision = Decision::Fail;
};

struct Analysis
{
    QVector<PointResult> points; // one per captured point, in the record's order
    bool fitted = false;         // every as-found point captured, and the fit made
    fit::SensorFit sensor;
    fit::AdcFit adc;
    device::DeviceSet proposed;
    QString error;               // why there is no fit although every point was captured
    // The uncertainty of a reading anywhere in the calibrated range, between the points as at
    // them: the largest point's, the fit's standard error and the table's interpolation.
    // Not established when the fit has no degree of freedom left to show how well it follows
    // the sensor between the points.
    bool rangeEstablished = false;
    budget::Budget range;
};

// The reading in the point's unit: a reference in C becomes K.
double referenceValue(const procedure::Procedure &procedure, double reading);
// What the judge sees of a sample.
stability::Reading judged(const procedure::Procedure &procedure, const Sample &sample);

Analysis analyse(const procedure::Procedure &procedure, const device::DeviceSet &asFound,
                 const QVector<RawPoint> &points);

// The error the proposed set would give at an as-found point: its reading of the voltage
// measured there, minus the reference.
double predictedError(const procedure::Procedure &procedure, const Analysis &analysis, const PointResult &point);
// Why the rules do not allow how `raw` was captured: before it was judged stable, or with
// fewer readings than the procedure takes, without the operator's reason; or with a frozen
// reference among its captured readings, which no reason covers. Empty when they do.
QString captureProblem(const procedure::Procedure &procedure, const RawPoint &raw, const PointResult &result);

// What the proposed set does at one as-found point: the reading and error found, the reading and
// error it would give, and the change between them, which is stated to the point's U.
struct Change
{
    double nominal = 0.0;
    double reference = 0.0;
    double found = 0.0;          // the instrument's reading as found
    double predicted = 0.0;      // its reading with the proposed set
    double errorFound = 0.0;
    double errorPredicted = 0.0;
    double change = 0.0;         // predicted minus found
    double expanded = 0.0;       // the point's U
};

// The changes at the as-found points, in the record's order; empty without a fit. Every front end
// and the certificate print these rows, so they are computed here once.
struct Changes
{
    QVector<Change> rows;
    int largest = -1; // the row whose change is largest in size; -1 when there are none

    // The rows' expanded uncertainties, which choose the unit they are stated in.
    QVector<double> uncertainties() const;
    // The largest change in size (K or V); NaN when there are no rows.
    double largestChange() const;
};
Changes changesAtPoints(const procedure::Procedure &procedure, const Analysis &analysis);

// The decision rule applied to one error and its expanded uncertainty.
Decision decide(procedure::DecisionRule rule, double error, double expanded, double tolerance);

} // namespace analysis
