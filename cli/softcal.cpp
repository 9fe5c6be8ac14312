#include "commands.h"

#include "instrumentport.h"
#include "ports.h"
#include "output.h"
#include "sources.h"

#include "curveimport.h"
#include "curvemath.h"
#include "device.h"
#include "numbers.h"
#include "protocol.h"

#include <QDir>
#include <QIODevice>

#include <algorithm>
#include <cmath>

namespace cli {

namespace {

// A measured voltage is the mean of this many readings, which must agree within the limit:
// a sensor still settling in its bath would fit the curve to a passing value.
constexpr int MeasuredReadings = 10;
constexpr double SettledSpreadVolts = 0.001;

std::optional<curvemath::ReferencePoint> parsePoint(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 2)
        return std::nullopt;
    bool kelvinOk = false;
    bool voltsOk = false;
    const double kelvin = parts.at(0).trimmed().toDouble(&kelvinOk);
    const double volts = parts.at(1).trimmed().toDouble(&voltsOk);
    if (!kelvinOk || !voltsOk || !std::isfinite(kelvin) || !std::isfinite(volts) || !(kelvin > 0.0))
        return std::nullopt;
    return curvemath::ReferencePoint{kelvin, volts};
}

// The sensor's voltage now, as the mean of several readings that agree.
int measure(ports::Port &port, double kelvin, double *volts)
{
    double sum = 0.0;
    double lowest = 0.0;
    double highest = 0.0;
    for (int i = 0; i < MeasuredReadings; ++i) {
        protocol::Link link(&port);
        const device::Reading reading = device::readLive(link);
        if (!reading.voltage)
            return reportLinkFailure(link.failure(), &port);
        const double value = *reading.voltage;
        lowest = i == 0 ? value : std::min(lowest, value);
        highest = i == 0 ? value : std::max(highest, value);
        sum += value;
    }
    if (highest - lowest > SettledSpreadVolts) {
        err(QStringLiteral("the sensor is not settled at %1 K: %2 readings spread over %3 mV (more than %4 mV).")
                .arg(kelvin)
                .arg(MeasuredReadings)
                .arg(QString::number((highest - lowest) * numbers::MillivoltsPerVolt, 'f', 3))
                .arg(SettledSpreadVolts * numbers::MillivoltsPerVolt));
        return NoAnswer;
    }
    *volts = sum / MeasuredReadings;
    return Success;
}

const QString Point = QStringLiteral("point");
const QString Measure = QStringLiteral("measure");
const QString ConstantsFrom = QStringLiteral("constants-from");

// Fits a standard curve to the sensor at one to three temperatures and writes the corrected
// curve as a calibration file, resampled as the import does.
int run(const Invocation &invocation)
{
    if (!invocation.isSet(ConstantsFrom))
        return missingConstantsSource(invocation);

    QVector<curvemath::ReferencePoint> references;
    const QStringList given = invocation.values(Point);
    for (const QString &text : given) {
        const auto reference = parsePoint(text);
        if (!reference)
            return invocation.usageError(QStringLiteral("--point takes KELVIN:VOLTS, such as 77.35:1.0123, not '%1'").arg(text));
        references.append(*reference);
    }
    QVector<double> measured;
    const QStringList toMeasure = invocation.values(Measure);
    for (const QString &text : toMeasure) {
        bool ok = false;
        const double kelvin = text.toDouble(&ok);
        if (!ok || !(kelvin > 0.0) || !std::isfinite(kelvin))
            return invocation.usageError(QStringLiteral("--measure takes a temperature in K, not '%1'").arg(text));
        measured.append(kelvin);
    }
    const int count = references.size() + measured.size();
    if (count < 1 || count > curvemath::MostReferencePoints)
        return invocation.usageError(QStringLiteral("takes one to three reference points (--point or --measure), not %1").arg(count));

    const QString standardName = invocation.arguments().first();
    curveimport::Curve standard;
    int status = readCurve(standardName, &standard);
    if (status != Success)
        return status;
    const QVector<curveimport::Point> sorted = curveimport::sortedAndMerged(standard.points);
    if (sorted.size() < 2) {
        err(QStringLiteral("%1: a standard curve needs points at two temperatures at least.").arg(QDir::toNativeSeparators(standardName)));
        return FileProblem;
    }
    // Checked before anything is measured: a point off the curve cannot be fitted.
    for (double kelvin : qAsConst(measured)) {
        if (kelvin < sorted.first().second || kelvin > sorted.last().second)
            return invocation.usageError(QStringLiteral("%1 K lies outside the standard curve's %2 K to %3 K")
                                         .arg(kelvin)
                                         .arg(sorted.first().second)
                                         .arg(sorted.last().second));
    }

    Port port;
    if (!measured.isEmpty()) {
        status = openInstrument(invocation.port(), port);
        if (status != Success)
            return status;
        for (double kelvin : qAsConst(measured)) {
            double volts = 0.0;
            status = measure(*port, kelvin, &volts);
            if (status != Success)
                return status;
            references.append({kelvin, volts});
        }
    }
    const curvemath::Softcal fitted = curvemath::softcal(standard.points, references);
    if (!fitted.ok())
        return invocation.usageError(fitted.error);
    for (const curvemath::Correction &correction : fitted.corrections) {
        err(QStringLiteral("at %1 K: correction %2 mV, %3 mK")
                .arg(correction.kelvin)
                .arg(QString::number(correction.volts * numbers::MillivoltsPerVolt, 'f', 4))
                .arg(QString::number(correction.millikelvin, 'f', 1)));
    }

    const curveimport::Result table = curveimport::resample(fitted.points);
    if (!table.ok()) {
        err(QStringLiteral("the corrected curve: %1").arg(table.error));
        return FileProblem;
    }
    device::DeviceSet constants;
    status = readSource(invocation.value(ConstantsFrom), invocation.port(), port, Slopes::NonZero, &constants);
    if (status != Success)
        return status;
    return writeCalibrationFile(device::withTable(constants, table.rows), invocation.output());
}

} // namespace

Command softcalCommand()
{
    return {QStringLiteral("softcal"),
            QStringLiteral("fit a standard curve to one to three measured points"),
            {{QStringLiteral("STANDARD"), QStringLiteral("The standard curve file.")}},
            {QCommandLineOption(Point,
                                QStringLiteral("A reference point: the temperature in K and the sensor's voltage there "
                                               "in V (from 'thermocal-cli read'). Up to three in all."),
                                QStringLiteral("T:V")),
             QCommandLineOption(Measure,
                                QStringLiteral("A reference point at T kelvin whose voltage is measured now: the mean "
                                               "of %1 readings, which must agree within %2 mV.")
                                    .arg(MeasuredReadings)
                                    .arg(SettledSpreadVolts * numbers::MillivoltsPerVolt),
                                QStringLiteral("T")),
             constantsFromOption(),
             outputOption(QStringLiteral("Writes FILE instead of standard output."))},
            run};
}

} // namespace cli
