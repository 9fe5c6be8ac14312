#pragma once

#include "curveimport.h"

#include <QString>
#include <QVector>

#include <optional>

// Arithmetic on sensor curves: fitting a standard curve to a sensor's own readings, and
// turning voltage differences into the temperature errors they cause.
namespace curvemath {

using curveimport::Point; // (voltage in V, temperature in K)

constexpr double MillikelvinPerKelvin = 1000.0;
// A standard curve is fitted to one, two or three measured points.
constexpr int MostReferencePoints = 3;

// A sensor's measured voltage at a known temperature.
struct ReferencePoint
{
    double kelvin = 0.0;
    double volts = 0.0;
};

// How far the sensor lies from the standard curve at one reference point.
struct Correction
{
    double kelvin = 0.0;
    double volts = 0.0;       // measured minus standard
    double millikelvin = 0.0; // the temperature error the standard curve would give a reading there
};

struct Softcal
{
    QVector<Point> points;           // the standard curve's points, corrected
    QVector<Correction> corrections; // one per reference point, by rising temperature
    QString error;                   // non-empty when the reference points cannot be used
    bool ok() const { return error.isEmpty(); }
};

// The voltage of a curve (points sorted by temperature) at a temperature within its range,
// linear between the two neighbouring points; nothing outside the range.
std::optional<double> voltageAt(const QVector<Point> &sorted, double kelvin);
// dV/dT of the segment that holds the temperature (the last one at the curve's top).
double slopeAt(const QVector<Point> &sorted, double kelvin);

// The temperature error in mK that a voltage difference means where the curve has the slope
// `voltsPerKelvin`: read through the curve, a voltage off by the difference gives a
// temperature off by the difference over the slope. NaN where the curve is flat.
double millikelvinFor(double voltsDifference, double voltsPerKelvin);

// Fits the standard curve (points in any order) to the reference points: the voltage
// correction at each reference point, linear in temperature between them and constant
// beyond the outermost ones, is added to every point. Reference points outside the
// standard curve's temperatures, sharing a temperature, or more than three are refused.
Softcal softcal(const QVector<Point> &standard, const QVector<ReferencePoint> &references);

// The temperature a table gives for a voltage, as the instrument reads it: linear between
// the two rows around the voltage (rows in any order), the end row's temperature beyond.
// Rows that are not finite or repeat a voltage take no part; NaN when fewer than two rows
// remain.
double tableTemperature(const QVector<Point> &table, double volts);

struct WorstError
{
    double millikelvin = 0.0; // signed: the table's temperature minus the point's
    double kelvin = 0.0;      // the source point's temperature
};

// The largest error, by magnitude, that reading each source point's voltage through the
// table gives against the point's own temperature.
WorstError largestError(const QVector<Point> &table, const QVector<Point> &source);

// The largest error, by magnitude, of reading the curve through the table at every
// temperature of the curve, its points and between them: the curve there is the monotone
// cubic through its points (monotonecubic.h), `sorted` as curveimport::sortedAndMerged gives
// them. Where largestError judges a table at the file's points only, this also finds the
// error where the table cuts a bend between two of them. NaN when the table has fewer than
// two readable rows or the curve fewer than two points.
WorstError largestErrorAlongCurve(const QVector<Point> &table, const QVector<Point> &sorted);
// The same over the curve's temperatures from `lowKelvin` to `highKelvin` only.
WorstError largestErrorAlongCurve(const QVector<Point> &table, const QVector<Point> &sorted, double lowKelvin,
                                  double highKelvin);

// The temperature error in mK that a voltage difference at a table row means, with the
// curve's slope there taken from the neighbouring rows.
double millikelvinAt(const QVector<Point> &table, int row, double voltsDifference);

} // namespace curvemath
