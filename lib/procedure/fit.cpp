#include "fit.h"

#include "curvemath.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>

namespace fit {

namespace {

QString message(const char *text)
{
    return QCoreApplication::translate("fit", text);
}

constexpr double MillikelvinPerKelvin = 1000.0;
// Each table segment is checked at this many places between its rows.
constexpr int ChecksPerSegment = 16;

// The fitted curve (the present one plus the fitted offset) densely: at every row, between
// rows, and at the points, where an interpolated offset bends.
QVector<Point> denseCurve(const QVector<Point> &sorted, const SensorFit &fit)
{
    QVector<double> kelvins = fit.kelvins;
    for (int i = 0; i < sorted.size(); ++i) {
        for (int step = 0; step < ChecksPerSegment && i + 1 < sorted.size(); ++step)
            kelvins.append(sorted.at(i).second + (sorted.at(i + 1).second - sorted.at(i).second) * step / ChecksPerSegment);
    }
    kelvins.append(sorted.last().second);
    QVector<Point> curve;
    for (double kelvin : qAsConst(kelvins))
        curve.append({*curvemath::voltageAt(sorted, kelvin) + offsetAt(fit, kelvin), kelvin});
    return curve;
}

} // namespace

QVector<double> polynomialFit(const QVector<double> &x, const QVector<double> &y, int degree)
{
    const int size = degree + 1;
    if (x.size() < size)
        return {};
    // The normal equations, solved by Gaussian elimination with partial pivoting; x is
    // scaled to [-1, 1] by the caller, which keeps them well conditioned for low degrees.
    QVector<QVector<double>> a(size, QVector<double>(size + 1, 0.0));
    for (int i = 0; i < x.size(); ++i) {
        QVector<double> powers(2 * size, 1.0);
        for (int p = 1; p < powers.size(); ++p)
            powers[p] = powers[p - 1] * x.at(i);
        for (int r = 0; r < size; ++r) {
            for (int c = 0; c < size; ++c)
                a[r][c] += powers[r + c];
            a[r][size] += powers[r] * y.at(i);
        }
    }
    for (int col = 0; col < size; ++col) {
        int pivot = col;
        for (int r = col + 1; r < size; ++r) {
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col]))
                pivot = r;
        }
        if (std::fabs(a[pivot][col]) < 1e-300)
            return {};
        std::swap(a[col], a[pivot]);
        for (int r = 0; r < size; ++r) {
            if (r == col)
                continue;
            const double factor = a[r][col] / a[col][col];
            for (int c = col; c <= size; ++c)
                a[r][c] -= factor * a[col][c];
        }
    }
    QVector<double> coefficients(size);
    for (int r = 0; r < size; ++r)
        coefficients[r] = a[r][size] / a[r][r];
    return coefficients;
}

double polynomial(const QVector<double> &coefficients, double x)
{
    double value = 0.0;
    for (int i = coefficients.size() - 1; i >= 0; --i)
        value = value * x + coefficients.at(i);
    return value;
}

double standardError(const QVector<double> &residuals, int dof)
{
    if (dof < 1)
        return std::numeric_limits<double>::quiet_NaN();
    double squares = 0.0;
    for (double residual : residuals)
        squares += residual * residual;
    return std::sqrt(squares / dof);
}

double offsetAt(const SensorFit &fit, double kelvin)
{
    if (fit.degree > 0) {
        const double held = std::min(fit.holdHigh, std::max(fit.holdLow, kelvin));
        return polynomial(fit.coefficients, (held - fit.centre) / fit.halfSpan);
    }
    const double held = std::min(fit.high, std::max(fit.low, kelvin));
    // Interpolated between the points, the nearest one's beyond them.
    QVector<QPair<double, double>> byTemperature;
    for (int i = 0; i < fit.offsets.size(); ++i)
        byTemperature.append({fit.kelvins.at(i), fit.offsets.at(i)});
    std::sort(byTemperature.begin(), byTemperature.end());
    if (byTemperature.isEmpty())
        return 0.0;
    for (int i = 1; i < byTemperature.size(); ++i) {
        const auto &a = byTemperature.at(i - 1);
        const auto &b = byTemperature.at(i);
        if (held <= b.first)
            return a.second + (held - a.first) * (b.second - a.second) / (b.first - a.first);
    }
    return byTemperature.last().second;
}

SensorFit fitSensor(const QVector<Point> &table, const QVector<SensorPoint> &points, int degree, tablespacing::Spacing spacing,
                    bool fromCurve)
{
    SensorFit result;
    result.degree = points.size() <= curvemath::MostReferencePoints ? 0 : degree;
    const QVector<Point> sorted = curveimport::sortedAndMerged(table);
    if (points.isEmpty() || sorted.size() < 2) {
        result.error = message(QT_TRANSLATE_NOOP("fit", "A fit needs a table and one point at least."));
        return result;
    }
    QVector<double> kelvins;
    for (const SensorPoint &point : points) {
        const std::optional<double> tableVolts = curvemath::voltageAt(sorted, point.kelvin);
        if (!tableVolts || !std::isfinite(point.volts)) {
            result.error = message(QT_TRANSLATE_NOOP("fit", "The point at %1 K lies outside the table's temperatures (%2 K to %3 K)."))
                               .arg(point.kelvin).arg(sorted.first().second).arg(sorted.last().second);
            return result;
        }
        result.offsets.append(point.volts - *tableVolts);
        kelvins.append(point.kelvin);
    }
    result.kelvins = kelvins;
    result.low = *std::min_element(kelvins.cbegin(), kelvins.cend());
    result.high = *std::max_element(kelvins.cbegin(), kelvins.cend());
    result.holdLow = result.low;
    result.holdHigh = result.high;
    bool highFound = fromCurve;
    for (const Point &row : sorted) {
        if (fromCurve)
            break;
        if (row.second <= result.low)
            result.holdLow = row.second;
        if (row.second >= result.high && !highFound) {
            result.holdHigh = row.second;
            highFound = true;
        }
    }

    if (result.degree == 0) {
        QVector<curvemath::ReferencePoint> references;
        for (const SensorPoint &point : points)
            references.append({point.kelvin, point.volts});
        const curvemath::Softcal fitted = curvemath::softcal(sorted, references);
        if (!fitted.ok()) {
            result.error = fitted.error;
            return result;
        }
        result.curve = fitted.points;
        result.residuals = QVector<double>(points.size(), 0.0);
    } else {
        result.centre = (result.high + result.low) / 2;
        result.halfSpan = std::max((result.high - result.low) / 2, 1e-9);
        QVector<double> x;
        for (double kelvin : qAsConst(kelvins))
            x.append((kelvin - result.centre) / result.halfSpan);
        result.coefficients = polynomialFit(x, result.offsets, result.degree);
        if (result.coefficients.isEmpty()) {
            result.error = message(QT_TRANSLATE_NOOP("fit", "The points cannot carry a polynomial of degree %1: too few distinct temperatures.")).arg(result.degree);
            return result;
        }
        for (int i = 0; i < points.size(); ++i)
            result.residuals.append(result.offsets.at(i) - polynomial(result.coefficients, x.at(i)));
        result.dof = int(points.size()) - (result.degree + 1);
        result.standardError = standardError(result.residuals, result.dof);
        QVector<Point> base = sorted;
        // A curve's points rarely fall on the outer points, where the held offset bends.
        if (fromCurve) {
            for (double kelvin : {result.low, result.high})
                base.append({*curvemath::voltageAt(sorted, kelvin), kelvin});
            base = curveimport::sortedAndMerged(base);
        }
        result.curve = base;
        for (Point &point : result.curve)
            point.first += offsetAt(result, point.second);
    }
    const curveimport::Result resampled = tablespacing::resample(result.curve, spacing);
    if (!resampled.ok()) {
        result.error = resampled.error;
        return result;
    }
    result.table = resampled.rows;
    result.interpolationMk = std::fabs(curvemath::largestError(result.table, denseCurve(sorted, result)).millikelvin);
    // What the new table does to a reading beyond the calibrated range (the sensor's voltage
    // there, as the curve has it, read through the new table), and how far the voltage
    // correction there departs from its value at the nearest outer point, in kelvin at the
    // curve's slope there.
    const double lowOffset = offsetAt(result, result.low);
    const double highOffset = offsetAt(result, result.high);
    for (const Point &point : denseCurve(sorted, SensorFit())) {
        if (point.second >= result.low && point.second <= result.high)
            continue;
        const double change = (curvemath::tableTemperature(result.table, point.first) - point.second) * MillikelvinPerKelvin;
        const bool below = point.second < result.low;
        if (std::isfinite(change)) {
            double &largest = below ? result.changeBelowMk : result.changeAboveMk;
            largest = std::max(largest, std::fabs(change));
        }
        const double voltsPerKelvin = curvemath::slopeAt(sorted, point.second);
        const double departure = std::fabs(offsetAt(result, point.second) - (below ? lowOffset : highOffset)) / std::fabs(voltsPerKelvin)
                               * MillikelvinPerKelvin;
        if (std::isfinite(departure))
            result.departureMk = std::max(result.departureMk, departure);
    }
    return result;
}

AdcFit fitAdc(double slope, double intercept, const QVector<double> &instrumentVolts, const QVector<double> &referenceVolts)
{
    AdcFit result;
    if (slope == 0.0 || !std::isfinite(slope)) {
        result.error = message(QT_TRANSLATE_NOOP("fit", "The instrument's ADC slope is 0: its counts cannot be recovered."));
        return result;
    }
    for (double volts : instrumentVolts)
        result.counts.append((volts - intercept) / slope);
    const QVector<double> line = polynomialFit(result.counts, referenceVolts, 1);
    if (line.isEmpty()) {
        result.error = message(QT_TRANSLATE_NOOP("fit", "The readings cannot carry a line: the instrument read the same at every point."));
        return result;
    }
    result.intercept = line.at(0);
    result.slope = line.at(1);
    for (int i = 0; i < referenceVolts.size(); ++i)
        result.residuals.append(referenceVolts.at(i) - (result.slope * result.counts.at(i) + result.intercept));
    result.dof = int(referenceVolts.size()) - 2;
    result.standardError = standardError(result.residuals, result.dof);
    return result;
}

} // namespace fit
