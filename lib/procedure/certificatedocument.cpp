#include "certificatedocument.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <limits>

namespace certificate {

namespace {

QString message(const char *text)
{
    return QCoreApplication::translate("certificate", text);
}

QString fixed(double value, int decimals)
{
    return std::isfinite(value) ? QString::number(value, 'f', decimals) : QStringLiteral("-");
}

// The reference as the procedure names it (make, model, serial number) and as it answered *IDN?.
QString referenceIdentity(const procedure::Procedure &p, const record::Record &record)
{
    const procedure::Reference &reference = p.reference;
    QStringList named;
    for (const QString &part : {reference.make, reference.model})
        if (!part.isEmpty())
            named << part;
    QString identity = named.isEmpty() ? message(QT_TRANSLATE_NOOP("certificate", "a readout whose make and model the procedure does not give"))
                                       : named.join(QLatin1Char(' '));
    identity += reference.serialNumber.isEmpty() ? message(QT_TRANSLATE_NOOP("certificate", ", serial number not given"))
                                                 : message(QT_TRANSLATE_NOOP("certificate", ", serial number %1")).arg(reference.serialNumber);
    if (!record.referenceIdn.isEmpty())
        identity += message(QT_TRANSLATE_NOOP("certificate", ", identifying itself as \"%1\"")).arg(record.referenceIdn);
    return identity + message(QT_TRANSLATE_NOOP("certificate", ", read on %1")).arg(reference.port);
}

// What the correction does beyond the calibrated range, as the fit made the table.
QString beyondRange(const fit::SensorFit &sensor)
{
    if (sensor.holdLow == sensor.low && sensor.holdHigh == sensor.high)
        return message(QT_TRANSLATE_NOOP("certificate", "Beyond it the voltage correction is held at its value at the outer points."));
    return message(QT_TRANSLATE_NOOP("certificate", "Beyond it the voltage correction follows the fitted polynomial out to the next "
                                                    "table row (%1 K below, %2 K above) and is held at its value there, departing from "
                                                    "its value at the outer points by up to %3 mK."))
        .arg(sensor.holdLow).arg(sensor.holdHigh).arg(fixed(sensor.departureMk, 1));
}

QString ruleInWords(const procedure::Procedure &p)
{
    const QString unit = procedure::pointUnit(p.kind);
    if (p.rule == procedure::DecisionRule::Guarded)
        return message(QT_TRANSLATE_NOOP("certificate", "Guarded acceptance (ILAC-G8): a point passes when |error| + U <= %1 %2, "
                                                        "fails when |error| - U > %1 %2; otherwise it is a conditional pass "
                                                        "(|error| <= %1 %2) or a conditional fail. U is the expanded uncertainty "
                                                        "at a coverage probability of about 95 %."))
            .arg(p.tolerance).arg(unit);
    return message(QT_TRANSLATE_NOOP("certificate", "Simple acceptance (ILAC-G8, no guard band): a point passes when |error| <= %1 %2. "
                                                    "The uncertainty is stated but not taken into the decision; the risk of a "
                                                    "false accept can reach 50 % for a result at the tolerance."))
        .arg(p.tolerance).arg(unit);
}

QString methodInWords(const procedure::Procedure &p, bool deviated)
{
    const bool adc = p.kind == procedure::Kind::Adc;
    const QString unit = procedure::pointUnit(p.kind);
    return message(QT_TRANSLATE_NOOP("certificate", "Calibration by comparison with a reference %1 in the same %2. "
                                                    "At each point both were read every %3 s; a point counted as stable when "
                                                    "the readings spanned the last %4 s without a gap of more than three "
                                                    "intervals, and over them the least-squares slope of both stayed within %5 "
                                                    "%6/min, over the last third of them too, and their standard deviation "
                                                    "within %7 %6, with no reference value repeated for %8 s; then %9 paired "
                                                    "readings were taken. The error is the instrument's mean reading minus the "
                                                    "reference's."))
               .arg(adc ? message(QT_TRANSLATE_NOOP("certificate", "voltmeter")) : message(QT_TRANSLATE_NOOP("certificate", "thermometer")),
                    adc ? message(QT_TRANSLATE_NOOP("certificate", "voltage source")) : message(QT_TRANSLATE_NOOP("certificate", "bath")))
               .arg(p.stability.interval).arg(p.stability.window).arg(p.stability.slope).arg(unit).arg(p.stability.sd)
               .arg(stability::staleSeconds(p.stability)).arg(p.stability.samples)
           + (deviated ? QLatin1Char(' ') + message(QT_TRANSLATE_NOOP("certificate", "Where the method was departed from, "
                                                                                     "the deviations below say so."))
                       : QString());
}

QString traceabilityInWords(const procedure::Procedure &p, const QString &identity)
{
    return message(QT_TRANSLATE_NOOP("certificate", "Traceability: the reference, %1, is calibrated by %2 under certificate "
                                                    "%3, expanded uncertainty %4 %5 (k = %6), due for recalibration on %7."))
        .arg(identity,
             p.reference.certificate.issuer.isEmpty() ? message(QT_TRANSLATE_NOOP("certificate", "a laboratory the procedure does not name"))
                                                      : p.reference.certificate.issuer,
             p.reference.certificate.number, QString::number(p.reference.certificate.expandedUncertainty), procedure::pointUnit(p.kind),
             QString::number(p.reference.certificate.k), p.reference.certificate.due.toString(Qt::ISODate));
}

QString adjustmentInWords(const procedure::Procedure &p, const analysis::Analysis &analysed, const device::DeviceSet &asFound)
{
    if (!analysed.fitted)
        return QString();
    if (p.kind == procedure::Kind::Adc)
        return message(QT_TRANSLATE_NOOP("certificate", "ADC slope %1 V per count (was %2), intercept %3 V (was %4); "
                                                        "least-squares line through %5 points."))
            .arg(double(analysed.proposed.adcSlope), 0, 'g', 9).arg(double(asFound.adcSlope), 0, 'g', 9)
            .arg(double(analysed.proposed.adcIntercept), 0, 'g', 9).arg(double(asFound.adcIntercept), 0, 'g', 9)
            .arg(p.points.size());
    const fit::SensorFit &sensor = analysed.sensor;
    const QString base = p.curve ? message(QT_TRANSLATE_NOOP("certificate", "the sensor's curve %1 (%2 points, SHA-256 %3)"))
                                       .arg(p.curve->file, QString::number(p.curve->points.size()), p.curve->sha256)
                                 : message(QT_TRANSLATE_NOOP("certificate", "the instrument's present table"));
    const QString spacing = procedure::tableSpacing(p) == tablespacing::Spacing::Curvature
                                ? message(QT_TRANSLATE_NOOP("certificate", "placed by the curve's curvature, so that the error of reading "
                                                                           "between rows is spread evenly"))
                                : message(QT_TRANSLATE_NOOP("certificate", "at geometrically spaced temperatures"));
    return message(QT_TRANSLATE_NOOP("certificate", "New calibration table: %1 rows from %2 K to %3 K, %4, from %5 "
                                                    "corrected by the sensor's measured voltage offset (%6). Calibrated range: "
                                                    "%7 K to %8 K. %9"))
        .arg(QString::number(sensor.table.size()), QString::number(sensor.table.first().second),
             QString::number(sensor.table.last().second), spacing, base,
             sensor.degree > 0 ? message(QT_TRANSLATE_NOOP("certificate", "least-squares polynomial of degree %1")).arg(sensor.degree)
                               : message(QT_TRANSLATE_NOOP("certificate", "interpolated between the points")),
             QString::number(sensor.low), QString::number(sensor.high),
             beyondRange(sensor)
                 + message(QT_TRANSLATE_NOOP("certificate", " Readings below the range change by up to %1 mK, above it by up "
                                                            "to %2 mK. The table's linear interpolation stays within %3 mK of "
                                                            "the fitted curve."))
                       .arg(fixed(sensor.changeBelowMk, 1), fixed(sensor.changeAboveMk, 1), fixed(sensor.interpolationMk, 3)));
}

QString betweenPointsInWords(const procedure::Procedure &p, const analysis::Analysis &analysed)
{
    if (!analysed.fitted)
        return QString();
    const bool adc = p.kind == procedure::Kind::Adc;
    const QString range = adc ? QStringLiteral("%1 V to %2 V").arg(*std::min_element(p.points.cbegin(), p.points.cend()))
                                    .arg(*std::max_element(p.points.cbegin(), p.points.cend()))
                              : QStringLiteral("%1 K to %2 K").arg(analysed.sensor.low).arg(analysed.sensor.high);
    const int dof = adc ? analysed.adc.dof : analysed.sensor.dof;
    if (!analysed.rangeEstablished)
        return message(QT_TRANSLATE_NOOP("certificate", "Between the points the uncertainty is not established: the fit has as "
                                                        "many coefficients as there are points, so no degree of freedom is left to "
                                                        "show how well it follows the %1 between them. The uncertainties above hold "
                                                        "at the points only (%2)."))
            .arg(adc ? message(QT_TRANSLATE_NOOP("certificate", "converter")) : message(QT_TRANSLATE_NOOP("certificate", "sensor")), range);
    const stating::Unit stated = stating::unitFor(p.kind, {analysed.range.expanded});
    const double standardError = adc ? analysed.adc.standardError : analysed.sensor.standardError;
    const stating::Unit volts = stating::unitFor(procedure::Kind::Adc, {standardError});
    return message(QT_TRANSLATE_NOOP("certificate", "Between the points: over the calibrated range (%1) a reading with the "
                                                    "new %2 has an expanded uncertainty U = %3 %4 (k = %5), from the largest "
                                                    "point uncertainty, the fit's standard error of %6 %7 (%8 degrees of "
                                                    "freedom)%9."))
        .arg(range, adc ? message(QT_TRANSLATE_NOOP("certificate", "constants")) : message(QT_TRANSLATE_NOOP("certificate", "table")),
             stating::uncertainty(analysed.range.expanded, stated), stated.symbol, fixed(analysed.range.k, 2),
             stating::uncertainty(standardError, volts), volts.symbol)
        .arg(dof)
        .arg(adc ? QString() : message(QT_TRANSLATE_NOOP("certificate", " and the table's interpolation")));
}

// The measured results of one phase, each decided by the procedure's rule.
ResultTable measured(const procedure::Procedure &p, const analysis::Analysis &analysed, analysis::Phase phase)
{
    ResultTable table;
    table.phase = phase;
    QVector<double> expanded;
    for (const analysis::PointResult &point : analysed.points) {
        if (point.phase != phase)
            continue;
        table.rows.append({point.nominal, point.reference, point.instrument, point.error, point.budget.expanded, point.budget.k,
                           analysis::decide(p.rule, point.error, point.budget.expanded, p.tolerance)});
        expanded.append(point.budget.expanded);
    }
    table.stated = stating::unitFor(p.kind, expanded);
    table.finest = expanded.isEmpty() ? 0.0 : *std::min_element(expanded.cbegin(), expanded.cend());
    return table;
}

// The errors the proposed set would give at the as-found points; without a fit, none.
ResultTable predictedBy(const procedure::Procedure &p, const analysis::Analysis &analysed, const analysis::Changes &changes)
{
    ResultTable table = measured(p, analysed, analysis::Phase::AsFound);
    table.predicted = true;
    constexpr double None = std::numeric_limits<double>::quiet_NaN();
    for (int i = 0; i < table.rows.size(); ++i) {
        StatedRow &row = table.rows[i];
        const bool known = i < changes.rows.size();
        row.instrument = known ? changes.rows.at(i).predicted : None;
        row.error = known ? changes.rows.at(i).errorPredicted : None;
        row.decision = analysis::decide(p.rule, row.error, row.expanded, p.tolerance);
    }
    return table;
}

} // namespace

Built build(const record::Record &record, const QDate &issued)
{
    Built built;
    const procedure::Parsed parsed = record::procedureOf(record);
    if (!parsed.procedure) {
        built.error = procedure::Error::notVerified(QStringLiteral("procedure.") + parsed.error.member,
                                                    message(QT_TRANSLATE_NOOP("certificate", "the record's procedure: %1")).arg(parsed.error.message));
        return built;
    }
    Document d;
    d.procedure = *parsed.procedure;
    const procedure::Procedure &p = d.procedure;
    d.analysis = analysis::analyse(p, record.asFound, record.points);
    d.changes = analysis::changesAtPoints(p, d.analysis);
    d.deviations = record::deviations(record, d.analysis);
    d.record = record::toJson(record, d.analysis);
    d.hash = d.record.value(QStringLiteral("sha256")).toString();

    d.software = record.software;
    d.port = record.port;
    d.serialNumber = record.serialNumber;
    d.started = record.started;
    d.finished = record.finished;
    d.asFound = record.asFound;
    d.asLeft = record.asLeft;
    d.asFoundHash = record::setHash(record.asFound);
    if (record.asLeft)
        d.asLeftHash = record::setHash(*record.asLeft);
    d.issued = issued;
    d.written = record.asLeft.has_value();
    for (const analysis::PointResult &point : d.analysis.points)
        d.asLeftMeasured = d.asLeftMeasured || point.phase == analysis::Phase::AsLeft;

    d.found = measured(p, d.analysis, analysis::Phase::AsFound);
    if (d.written)
        d.left = measured(p, d.analysis, analysis::Phase::AsLeft);
    else
        d.predicted = predictedBy(p, d.analysis, d.changes);

    Sentences &s = d.sentences;
    s.referenceIdentity = referenceIdentity(p, record);
    s.method = methodInWords(p, !d.deviations.isEmpty());
    s.traceability = traceabilityInWords(p, s.referenceIdentity);
    s.rule = ruleInWords(p);
    s.uncertainty = message(QT_TRANSLATE_NOOP("certificate", "The expanded uncertainty U is the combined standard uncertainty "
                                                             "multiplied by the coverage factor k from Student's t for a coverage "
                                                             "probability of 95.45 % at the effective degrees of freedom "
                                                             "(Welch-Satterthwaite), as the GUM sets out; U is rounded up to two "
                                                             "significant digits."));
    s.adjustment = adjustmentInWords(p, d.analysis, record.asFound);
    s.betweenPoints = betweenPointsInWords(p, d.analysis);
    if (d.written)
        s.written = message(QT_TRANSLATE_NOOP("certificate", "Written to the instrument: %1. SHA-256 of the set as found %2, as left %3."))
                        .arg(record.writeOutcome, d.asFoundHash, d.asLeftHash);
    s.calibrated = p.kind == procedure::Kind::Adc ? message(QT_TRANSLATE_NOOP("certificate", "the ADC constants (slope and intercept)"))
                                                  : message(QT_TRANSLATE_NOOP("certificate", "the sensor's calibration table"));
    built.document = std::move(d);
    return built;
}

} // namespace certificate
