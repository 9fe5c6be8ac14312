#pragma once

#include "curveimport.h"
#include "tablespacing.h"

#include <QString>
#include <QVector>

#include <limits>

// The adjustments a calibration by comparison computes from its measured points.
namespace fit {

using curveimport::Point; // (voltage in V, temperature in K)

// One measured sensor point: the reference's temperature and the sensor's voltage there.
struct SensorPoint
{
    double kelvin = 0.0;
    double volts = 0.0;
};

struct SensorFit
{
    int degree = 0;               // 0: the offsets interpolated between the points (1 to 3)
    QVector<double> kelvins;      // the points' temperatures
    QVector<double> offsets;      // V, the sensor minus the present curve, at each point
    QVector<double> residuals;    // V, each offset minus the fitted one
    QVector<double> coefficients; // of the polynomial in x = (T - centre) / halfSpan
    double centre = 0.0;
    double halfSpan = 1.0;
    double low = 0.0;             // the calibrated range: the outer points, in K
    double high = 0.0;
    // Where a polynomial's end values are held from: the table rows next beyond the outer
    // points, so the table's linear interpolation meets the fit at the points themselves (a
    // bend between two rows would cost tens of mK there). Between a point and that row the
    // correction follows the polynomial; the certificate says how far it departs.
    double holdLow = 0.0;
    double holdHigh = 0.0;
    // The fit's standard error, sqrt(sum of squared residuals / (n - p)), in V, with its n - p
    // degrees of freedom; NaN with none left (as many coefficients as points, or interpolated).
    double standardError = std::numeric_limits<double>::quiet_NaN();
    int dof = 0;
    QVector<Point> curve;         // the present curve with the fitted offset added
    QVector<Point> table;         // the curve resampled as the import does: 100 rows
    double interpolationMk = 0.0; // the largest linear-interpolation error of the table against the fit
    // How far the new table moves a reading below and above the calibrated range, at most, in
    // mK (0 where the table does not reach beyond it).
    double changeBelowMk = 0.0;
    double changeAboveMk = 0.0;
    // How far the voltage correction beyond the range departs from its value at the nearest
    // outer point, at most, in mK at the curve's slope there: 0 when it is held from the
    // points themselves.
    double departureMk = 0.0;
    QString error;
    bool ok() const { return error.isEmpty(); }
};

// Fits the sensor's deviation from the present curve (`table`: rows in any order), measured
// as voltage offsets at the points: interpolated and held beyond the outer points with up to
// three points (as softcal does), a least-squares polynomial of `degree` in temperature with
// four or more, held at its end values beyond the outer points.
// From a sensor's own curve (`fromCurve`: dense points rather than table rows) the offset is
// held from the outer points themselves, and the corrected curve gets a point there. The new
// table's rows are placed with `spacing`.
SensorFit fitSensor(const QVector<Point> &table, const QVector<SensorPoint> &points, int degree,
                    tablespacing::Spacing spacing = tablespacing::Spacing::Geometric, bool fromCurve = false);

// The fitted offset in V at a temperature.
double offsetAt(const SensorFit &fit, double kelvin);

struct AdcFit
{
    double slope = 0.0;
    double intercept = 0.0;
    QVector<double> counts;    // the ADC count each reading implies with the present constants
    QVector<double> residuals; // V, the reference minus the new line
    double standardError = std::numeric_limits<double>::quiet_NaN(); // V, n - 2 degrees of freedom
    int dof = 0;
    QString error;
    bool ok() const { return error.isEmpty(); }
};

// The least-squares line from the ADC count (recovered from the instrument's voltage with
// its present constants) to the reference voltage.
AdcFit fitAdc(double slope, double intercept, const QVector<double> &instrumentVolts,
              const QVector<double> &referenceVolts);

// Least-squares polynomial coefficients (lowest power first) of `degree` through (x, y);
// empty when the system is singular.
QVector<double> polynomialFit(const QVector<double> &x, const QVector<double> &y, int degree);
double polynomial(const QVector<double> &coefficients, double x);
// sqrt(sum of squares / dof); NaN when dof < 1.
double standardError(const QVector<double> &residuals, int dof);

} // namespace fit
