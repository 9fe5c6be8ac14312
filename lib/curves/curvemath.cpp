#include "curvemath.h"

#include "monotonecubic.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace curvemath {

namespace {

QString message(const char *text)
{
    return QCoreApplication::translate("curvemath", text);
}

// The index of the segment's upper point for a temperature: the first point above it,
// kept within the curve so that the top point belongs to the last segment.
int upperIndex(const QVector<Point> &sorted, double kelvin)
{
    const auto above = std::upper_bound(sorted.cbegin(), sorted.cend(), kelvin,
                                        [](double t, const Point &p) { return t < p.second; });
    return qBound(1, int(above - sorted.cbegin()), sorted.size() - 1);
}

// The correction at a temperature: linear between the reference points around it, the
// nearest one's beyond them.
double correctionAt(const QVector<Correction> &corrections, double kelvin)
{
    if (kelvin <= corrections.first().kelvin)
        return corrections.first().volts;
    if (kelvin >= corrections.last().kelvin)
        return corrections.last().volts;
    int hi = 1;
    while (corrections.at(hi).kelvin < kelvin)
        ++hi;
    const Correction &a = corrections.at(hi - 1);
    const Correction &b = corrections.at(hi);
    return a.volts + (kelvin - a.kelvin) * (b.volts - a.volts) / (b.kelvin - a.kelvin);
}

Softcal refused(const QString &error)
{
    Softcal result;
    result.error = error;
    return result;
}

} // namespace

std::optional<double> voltageAt(const QVector<Point> &sorted, double kelvin)
{
    if (sorted.size() < 2 || !(kelvin >= sorted.first().second && kelvin <= sorted.last().second))
        return std::nullopt;
    const int hi = upperIndex(sorted, kelvin);
    const Point &a = sorted.at(hi - 1);
    const Point &b = sorted.at(hi);
    return a.first + (kelvin - a.second) * (b.first - a.first) / (b.second - a.second);
}

double slopeAt(const QVector<Point> &sorted, double kelvin)
{
    if (sorted.size() < 2)
        return std::numeric_limits<double>::quiet_NaN();
    const int hi = upperIndex(sorted, kelvin);
    const Point &a = sorted.at(hi - 1);
    const Point &b = sorted.at(hi);
    return (b.first - a.first) / (b.second - a.second);
}

Softcal softcal(const QVector<Point> &standard, const QVector<ReferencePoint> &references)
{
    if (references.isEmpty() || references.size() > MostReferencePoints)
        return refused(message(QT_TRANSLATE_NOOP("curvemath", "A fit takes one to three reference points, not %1.")).arg(references.size()));
    const QVector<Point> sorted = curveimport::sortedAndMerged(standard);
    if (sorted.size() < 2)
        return refused(message(QT_TRANSLATE_NOOP("curvemath", "The standard curve needs points at two temperatures at least.")));

    Softcal result;
    for (const ReferencePoint &reference : references) {
        const std::optional<double> standardVolts = voltageAt(sorted, reference.kelvin);
        if (!standardVolts || !std::isfinite(reference.volts)) {
            return refused(message(QT_TRANSLATE_NOOP("curvemath", "The reference point at %1 K lies outside the standard curve's temperatures (%2 K to %3 K)."))
                               .arg(reference.kelvin)
                               .arg(sorted.first().second)
                               .arg(sorted.last().second));
        }
        Correction correction;
        correction.kelvin = reference.kelvin;
        correction.volts = reference.volts - *standardVolts;
        correction.millikelvin = millikelvinFor(correction.volts, slopeAt(sorted, reference.kelvin));
        result.corrections.append(correction);
    }
    std::sort(result.corrections.begin(), result.corrections.end(),
              [](const Correction &a, const Correction &b) { return a.kelvin < b.kelvin; });
    for (int index = 1; index < result.corrections.size(); ++index) {
        if (result.corrections.at(index).kelvin == result.corrections.at(index - 1).kelvin)
            return refused(message(QT_TRANSLATE_NOOP("curvemath", "Two reference points share the temperature %1 K."))
                               .arg(result.corrections.at(index).kelvin));
    }

    result.points = standard;
    for (Point &point : result.points)
        point.first += correctionAt(result.corrections, point.second);
    return result;
}

namespace {

// The rows that can be read, sorted by voltage, so a table written in either direction reads
// the same; rows that repeat a voltage would make a segment of zero width and are dropped.
QVector<Point> readableByVoltage(const QVector<Point> &table)
{
    QVector<Point> rows;
    rows.reserve(table.size());
    for (const Point &row : table) {
        if (std::isfinite(row.first) && std::isfinite(row.second))
            rows.append(row);
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end(), [](const Point &a, const Point &b) { return a.first == b.first; }),
               rows.end());
    return rows;
}

double temperatureByVoltage(const QVector<Point> &rows, double volts)
{
    if (rows.size() < 2 || !std::isfinite(volts))
        return std::numeric_limits<double>::quiet_NaN();
    if (volts <= rows.first().first)
        return rows.first().second;
    if (volts >= rows.last().first)
        return rows.last().second;
    const auto above = std::upper_bound(rows.cbegin(), rows.cend(), volts,
                                        [](double v, const Point &p) { return v < p.first; });
    const Point &hi = *above;
    const Point &lo = *(above - 1);
    return lo.second + (volts - lo.first) * (hi.second - lo.second) / (hi.first - lo.first);
}

} // namespace

double tableTemperature(const QVector<Point> &table, double volts)
{
    return temperatureByVoltage(readableByVoltage(table), volts);
}

WorstError largestError(const QVector<Point> &table, const QVector<Point> &source)
{
    const QVector<Point> rows = readableByVoltage(table);
    WorstError worst;
    for (const Point &point : source) {
        const double error = (temperatureByVoltage(rows, point.first) - point.second) * MillikelvinPerKelvin;
        if (std::fabs(error) > std::fabs(worst.millikelvin)) {
            worst.millikelvin = error;
            worst.kelvin = point.second;
        }
    }
    return worst;
}

WorstError largestErrorAlongCurve(const QVector<Point> &table, const QVector<Point> &sorted)
{
    return largestErrorAlongCurve(table, sorted, -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::infinity());
}

WorstError largestErrorAlongCurve(const QVector<Point> &table, const QVector<Point> &sorted, double lowKelvin,
                                  double highKelvin)
{
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    const QVector<Point> rows = readableByVoltage(table);
    if (rows.size() < 2 || sorted.size() < 2)
        return {NaN, NaN};
    const MonotoneCubic curve(sorted);
    if (!curve.ok())
        return largestError(table, sorted);
    const auto byVoltage = [](const Point &p, double v) { return p.first < v; };
    WorstError worst;
    const auto consider = [&worst](double kelvinError, double kelvin) {
        const double error = kelvinError * MillikelvinPerKelvin;
        if (std::fabs(error) > std::fabs(worst.millikelvin)) {
            worst.millikelvin = error;
            worst.kelvin = kelvin;
        }
    };
    std::vector<double> cuts;
    for (int piece = 0; piece < curve.pieces(); ++piece) {
        const double from = std::max(lowKelvin, curve.kelvinOf(piece));
        const double to = std::min(highKelvin, curve.kelvinOf(piece + 1));
        if (from > to)
            continue;
        // Each piece is cut where its voltage passes a row's: between two cuts the table
        // reads along one straight line (or holds an end row's temperature beyond its rows).
        const double lowVolts = std::min(curve.voltsOf(piece), curve.voltsOf(piece + 1));
        const double highVolts = std::max(curve.voltsOf(piece), curve.voltsOf(piece + 1));
        cuts.assign({from, to});
        const auto last = std::lower_bound(rows.cbegin(), rows.cend(), highVolts, byVoltage);
        for (auto row = std::upper_bound(rows.cbegin(), rows.cend(), lowVolts,
                                         [](double v, const Point &p) { return v < p.first; });
             row < last; ++row) {
            const double kelvin = curve.kelvinIn(piece, row->first);
            if (kelvin > from && kelvin < to)
                cuts.push_back(kelvin);
        }
        std::sort(cuts.begin(), cuts.end());
        for (size_t cut = 0; cut + 1 < cuts.size(); ++cut) {
            const double low = cuts[cut];
            const double high = cuts[cut + 1];
            const double volts = curve.voltsIn(piece, low + (high - low) / 2);
            if (volts <= rows.first().first || volts >= rows.last().first) {
                // Beyond the rows the table gives the end row's temperature.
                const double held = volts <= rows.first().first ? rows.first().second : rows.last().second;
                consider(held - low, low);
                consider(held - high, high);
                continue;
            }
            const auto above = std::upper_bound(rows.cbegin(), rows.cend(), volts,
                                                [](double v, const Point &p) { return v < p.first; });
            const Point &a = *(above - 1);
            const Point &b = *above;
            // The table reads T = a.T + k (V - a.V); its error at T is k times the curve's
            // voltage minus the line V = a.V + (T - a.T) / k.
            const double kelvinPerVolt = (b.second - a.second) / (b.first - a.first);
            if (kelvinPerVolt == 0.0) {
                consider(a.second - low, low);
                consider(a.second - high, high);
                continue;
            }
            const MonotoneCubic::Deviation deviation
                = curve.deviationIn(piece, low, high, a.second, a.first, 1.0 / kelvinPerVolt);
            consider(kelvinPerVolt * deviation.volts, deviation.kelvin);
        }
    }
    return worst;
}

double millikelvinAt(const QVector<Point> &table, int row, double voltsDifference)
{
    if (table.size() < 2 || row < 0 || row >= table.size())
        return std::numeric_limits<double>::quiet_NaN();
    const Point &a = table.at(qMax(0, row - 1));
    const Point &b = table.at(qMin(table.size() - 1, row + 1));
    return millikelvinFor(voltsDifference, (b.first - a.first) / (b.second - a.second));
}

double millikelvinFor(double voltsDifference, double voltsPerKelvin)
{
    if (voltsPerKelvin == 0.0 || !std::isfinite(voltsPerKelvin))
        return std::numeric_limits<double>::quiet_NaN();
    return voltsDifference / voltsPerKelvin * MillikelvinPerKelvin;
}

} // namespace curvemath
