#include "analysis.h"

#include "curvemath.h"
#include "numbers.h"

#include <QCoreApplication>

#include <cmath>
#include <limits>

namespace analysis {

namespace {

constexpr double MillikelvinPerKelvin = 1000.0;
using numbers::MsPerSecond;
// The calibrated range's sensitivity is looked at in this many steps.
constexpr int RangeChecks = 50;

QString message(const char *text)
{
    return QCoreApplication::translate("analysis", text);
}

QVector<fit::Point> tableRows(const device::DeviceSet &set)
{
    return device::toCalibrationSet(set).table;
}

// K per V of the curve at a temperature: what a voltage term is multiplied by.
double kelvinPerVolt(const QVector<fit::Point> &table, double kelvin)
{
    const double slope = curvemath::slopeAt(curveimport::sortedAndMerged(table), kelvin);
    return std::isfinite(slope) && slope != 0.0 ? 1.0 / slope : 0.0;
}

int indexOfNominal(const QVector<double> &values, double nominal)
{
    for (int i = 0; i < values.size(); ++i) {
        if (values.at(i) == nominal)
            return i;
    }
    return -1;
}

// The fit's standard error in the point's unit: a voltage carried into kelvin at the steepest
// place of the calibrated range, since a diode's sensitivity changes tenfold across it.
double kelvinPerVoltOverRange(const QVector<fit::Point> &table, double low, double high)
{
    double steepest = 0.0;
    for (int i = 0; i <= RangeChecks; ++i)
        steepest = std::max(steepest, std::fabs(kelvinPerVolt(table, low + (high - low) * i / RangeChecks)));
    return steepest;
}

void rangeUncertainty(const procedure::Procedure &procedure, Analysis *result)
{
    const bool adc = procedure.kind == procedure::Kind::Adc;
    const int dof = adc ? result->adc.dof : result->sensor.dof;
    const double standardError = adc ? result->adc.standardError : result->sensor.standardError;
    if (dof < 1 || !std::isfinite(standardError))
        return;
    const QString unit = procedure::pointUnit(procedure.kind);
    // The largest uncertainty of a measured point, without the fit's own terms.
    const PointResult *worst = nullptr;
    for (const PointResult &point : qAsConst(result->points)) {
        if (point.phase == Phase::AsFound && (!worst || point.budget.combined > worst->budget.combined))
            worst = &point;
    }
    if (!worst)
        return;
    QVector<budget::Term> terms;
    budget::Term measured = budget::typeB(QStringLiteral("largest point uncertainty"), procedure::Distribution::Normal,
                                          worst->budget.combined, 1.0, unit);
    measured.dof = worst->budget.effectiveDof;
    terms.append(measured);
    budget::Term fitted;
    fitted.name = QStringLiteral("fit standard error");
    fitted.typeA = true;
    fitted.value = standardError;
    fitted.valueUnit = QStringLiteral("V");
    fitted.dof = dof;
    fitted.sensitivity = adc ? 1.0 : kelvinPerVoltOverRange(result->sensor.table, result->sensor.low, result->sensor.high);
    terms.append(fitted);
    if (!adc)
        terms.append(budget::typeB(QStringLiteral("table interpolation"), procedure::Distribution::Rectangular,
                                   result->sensor.interpolationMk / MillikelvinPerKelvin, 0, unit));
    result->range = budget::combine(terms);
    result->rangeEstablished = true;
}

} // namespace

QString decisionText(Decision decision)
{
    switch (decision) {
    case Decision::Pass:
        return QStringLiteral("pass");
    case Decision::Fail:
        return QStringLiteral("fail");
    case Decision::ConditionalPass:
        return QStringLiteral("conditional pass");
    case Decision::ConditionalFail:
        return QStringLiteral("conditional fail");
    }
    return QString();
}

double referenceValue(const procedure::Procedure &procedure, double reading)
{
    // inUnit() goes from K to the unit; a reading comes the other way.
    return procedure.reference.unit == procedure::Unit::Celsius ? reading - procedure::inUnit(0.0, procedure::Unit::Celsius)
                                                                : reading;
}

stability::Reading judged(const procedure::Procedure &procedure, const Sample &sample)
{
    return {sample.elapsedMs, referenceValue(procedure, sample.reference),
            procedure.kind == procedure::Kind::Adc ? sample.volts : sample.kelvin};
}

Decision decide(procedure::DecisionRule rule, double error, double expanded, double tolerance)
{
    const double size = std::fabs(error);
    if (rule == procedure::DecisionRule::Simple)
        return size <= tolerance ? Decision::Pass : Decision::Fail;
    if (size + expanded <= tolerance)
        return Decision::Pass;
    if (size - expanded > tolerance)
        return Decision::Fail;
    return size <= tolerance ? Decision::ConditionalPass : Decision::ConditionalFail;
}

Analysis analyse(const procedure::Procedure &procedure, const device::DeviceSet &asFound, const QVector<RawPoint> &points)
{
    Analysis result;
    const bool adc = procedure.kind == procedure::Kind::Adc;
    const QString unit = procedure::pointUnit(procedure.kind);

    // The statistics of each captured point first: the fit needs the as-found ones.
    for (const RawPoint &raw : points) {
        if (!raw.captured())
            continue;
        PointResult point;
        point.nominal = raw.nominal;
        point.phase = raw.phase;
        QVector<stability::Reading> before;
        for (int i = 0; i < raw.capturedFrom && i < raw.samples.size(); ++i)
            before.append(judged(procedure, raw.samples.at(i)));
        if (!before.isEmpty())
            point.stability = stability::judge(before, procedure.stability, before.last().ms);
        QVector<double> seconds;
        QVector<double> references;
        QVector<double> instruments;
        QVector<double> volts;
        QVector<double> differences;
        for (int i = raw.capturedFrom; i < raw.samples.size(); ++i) {
            const stability::Reading reading = judged(procedure, raw.samples.at(i));
            seconds.append(double(reading.ms - raw.samples.at(raw.capturedFrom).elapsedMs) / MsPerSecond);
            references.append(reading.reference);
            instruments.append(reading.instrument);
            volts.append(raw.samples.at(i).volts);
            differences.append(reading.instrument - reading.reference);
        }
        point.n = references.size();
        point.reference = stability::statistics(seconds, references).mean;
        point.instrument = stability::statistics(seconds, instruments).mean;
        point.volts = stability::statistics(seconds, volts).mean;
        point.error = point.instrument - point.reference;
        point.differenceSd = stability::statistics(seconds, differences).sd;
        if (!std::isfinite(point.differenceSd))
            point.differenceSd = 0.0;
        result.points.append(point);
    }

    // The fit, once every as-found point is in.
    QVector<const PointResult *> asFoundPoints;
    for (const PointResult &point : qAsConst(result.points)) {
        if (point.phase == Phase::AsFound)
            asFoundPoints.append(&point);
    }
    if (asFoundPoints.size() == procedure.points.size()) {
        if (adc) {
            QVector<double> instrumentVolts;
            QVector<double> referenceVolts;
            for (const PointResult *point : qAsConst(asFoundPoints)) {
                instrumentVolts.append(point->volts);
                referenceVolts.append(point->reference);
            }
            result.adc = fit::fitAdc(asFound.adcSlope, asFound.adcIntercept, instrumentVolts, referenceVolts);
            if (result.adc.ok()) {
                result.proposed = asFound;
                result.proposed.adcSlope = float(result.adc.slope);
                result.proposed.adcIntercept = float(result.adc.intercept);
                result.fitted = true;
            } else {
                result.error = result.adc.error;
            }
        } else {
            QVector<fit::SensorPoint> measured;
            for (const PointResult *point : qAsConst(asFoundPoints))
                measured.append({point->reference, point->volts});
            // The sensor's own curve where the procedure gives one; else the instrument's rows.
            const bool fromCurve = procedure.curve.has_value();
            result.sensor = fit::fitSensor(fromCurve ? procedure.curve->points : tableRows(asFound), measured,
                                           procedure::fitDegree(procedure), procedure::tableSpacing(procedure), fromCurve);
            if (result.sensor.ok()) {
                result.proposed = device::withTable(asFound, result.sensor.table);
                result.fitted = true;
            } else {
                result.error = result.sensor.error;
            }
        }
    }

    // The budgets and decisions.
    const auto &reference = procedure.reference;
    for (PointResult &point : result.points) {
        QVector<budget::Term> terms;
        terms.append(budget::typeB(QStringLiteral("reference certificate"), procedure::Distribution::Normal,
                                   reference.certificate.expandedUncertainty, reference.certificate.k, unit));
        terms.append(budget::typeB(QStringLiteral("reference drift"), procedure::Distribution::Rectangular, reference.drift, 0, unit));
        terms.append(budget::typeB(QStringLiteral("reference resolution"), procedure::Distribution::Rectangular,
                                   reference.resolution / 2, 0, unit));
        terms.append(budget::repeatability(QStringLiteral("repeatability"), point.differenceSd, point.n, unit));
        for (const procedure::Component &component : procedure.uncertainty)
            terms.append(budget::typeB(component.name, component.distribution, component.value, component.k, unit));
        if (point.phase == Phase::AsLeft && result.fitted) {
            const int index = indexOfNominal(procedure.points, point.nominal);
            const double residual = adc ? result.adc.residuals.value(index) : result.sensor.residuals.value(index);
            budget::Term term = budget::typeB(QStringLiteral("fit residual"), procedure::Distribution::Rectangular,
                                              std::fabs(residual), 0, QStringLiteral("V"));
            if (!adc) {
                term.sensitivity = kelvinPerVolt(result.sensor.table, point.reference);
                terms.append(term);
                terms.append(budget::typeB(QStringLiteral("table interpolation"), procedure::Distribution::Rectangular,
                                           result.sensor.interpolationMk / MillikelvinPerKelvin, 0, unit));
            } else {
                terms.append(term);
            }
        }
        point.budget = budget::combine(terms);
        point.decision = decide(procedure.rule, point.error, point.budget.expanded, procedure.tolerance);
    }
    if (result.error.isEmpty() && !result.fitted && asFoundPoints.size() == procedure.points.size())
        result.error = message(QT_TRANSLATE_NOOP("analysis", "The fit could not be made."));
    if (result.fitted)
        rangeUncertainty(procedure, &result);
    return result;
}

double predictedError(const procedure::Procedure &procedure, const Analysis &analysis, const PointResult &point)
{
    if (!analysis.fitted)
        return std::numeric_limits<double>::quiet_NaN();
    if (procedure.kind == procedure::Kind::Adc) {
        const int index = indexOfNominal(procedure.points, point.nominal);
        return -analysis.adc.residuals.value(index);
    }
    return curvemath::tableTemperature(tableRows(analysis.proposed), point.volts) - point.reference;
}

} // namespace analysis

namespace analysis {

QString captureProblem(const procedure::Procedure &procedure, const RawPoint &raw, const PointResult &result)
{
    if (!raw.captured())
        return QString();
    QVector<stability::Reading> captured;
    for (int i = raw.capturedFrom; i < raw.samples.size(); ++i)
        captured.append(judged(procedure, raw.samples.at(i)));
    if (stability::holdsFrozenStretch(captured, procedure.stability))
        return message(QT_TRANSLATE_NOOP("analysis", "its captured readings hold a reference that repeats one value for %1 s (a frozen "
                                                      "readout)"))
            .arg(stability::staleSeconds(procedure.stability));
    if (!raw.captureReason.isEmpty())
        return QString();
    if (!result.stability.stable)
        return message(QT_TRANSLATE_NOOP("analysis", "it was captured before it was judged stable, and no reason is given"));
    if (result.n < procedure.stability.samples)
        return message(QT_TRANSLATE_NOOP("analysis", "it holds %1 captured readings where the procedure takes %2, and no reason is given"))
            .arg(result.n).arg(procedure.stability.samples);
    return QString();
}

QVector<double> Changes::uncertainties() const
{
    QVector<double> expanded;
    expanded.reserve(rows.size());
    for (const Change &row : rows)
        expanded.append(row.expanded);
    return expanded;
}

double Changes::largestChange() const
{
    return largest < 0 ? std::numeric_limits<double>::quiet_NaN() : std::fabs(rows.at(largest).change);
}

Changes changesAtPoints(const procedure::Procedure &procedure, const Analysis &analysis)
{
    Changes changes;
    if (!analysis.fitted)
        return changes;
    for (const PointResult &point : analysis.points) {
        if (point.phase != Phase::AsFound)
            continue;
        Change row;
        row.nominal = point.nominal;
        row.reference = point.reference;
        row.found = point.instrument;
        row.errorFound = point.error;
        row.errorPredicted = predictedError(procedure, analysis, point);
        row.predicted = point.reference + row.errorPredicted;
        row.change = row.errorPredicted - row.errorFound;
        row.expanded = point.budget.expanded;
        // The last of equal changes is the one named, as the console and the window have shown it.
        if (changes.largest < 0 || std::fabs(row.change) >= std::fabs(changes.rows.at(changes.largest).change))
            changes.largest = changes.rows.size();
        changes.rows.append(row);
    }
    return changes;
}

} // namespace analysis
