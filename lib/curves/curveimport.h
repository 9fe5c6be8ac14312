#pragma once

#include "calibrationset.h"

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

class QIODevice;

// Turns a sensor curve kept in a text file into the instrument's calibration table:
// the curve is sorted by temperature and resampled onto TableRows temperatures spaced
// geometrically from its lowest to its highest temperature.
namespace curveimport {

using ::TableRows;

// No sensor curve comes near this size (a million points take about 19 MB); a larger file,
// or a device still giving bytes here, is refused rather than read without end.
constexpr qint64 MaxFileBytes = 256 * 1024 * 1024;

// Lines are read into a buffer of this size, so a longer line arrives in pieces of at
// most ReadBufferSize - 1 bytes, each handled as a line of its own.
constexpr int ReadBufferSize = 1024;

using Point = QPair<double, double>; // (voltage in V, temperature in K)

// No thermometer sensor the instrument reads gives more than this; a larger "voltage" means
// the columns are swapped or hold something else.
constexpr double MostPlausibleVolts = 10.0;

// How the columns of a curve file were read.
enum class ColumnOrder {
    VoltageFirst,     // voltage, temperature (the plain form's default)
    TemperatureFirst, // temperature, voltage, as the file's heading line says
    Breakpoints,      // number, sensor units, temperature (the header-plus-breakpoints form)
};

// The order in words, for messages: "voltage, temperature" and so on.
QString columnOrderText(ColumnOrder order);

struct Result
{
    QVector<Point> rows; // exactly TableRows rows on success
    QString error;       // non-empty on failure: a clear, user-facing sentence
    bool ok() const { return error.isEmpty(); }
};

// The points a curve file lists, in file order, voltages already in V.
struct Curve
{
    QVector<Point> points;
    ColumnOrder columnOrder = ColumnOrder::VoltageFirst;
    QString error; // non-empty when the file is refused
    bool ok() const { return error.isEmpty(); }
};

// The pieces of text the import works on, line ends included. Reading stops at the
// first read error, and at MaxFileBytes; `complete` tells whether the whole file was read.
QStringList readLines(QIODevice &device, bool *complete = nullptr);

// Reads the points of a curve from an open stream (text mode, as the file would be).
Curve readPoints(QIODevice &device);
// Opens the file in text mode and reads its points.
Curve readFile(const QString &path);

// The points sorted by rising temperature, points that share a temperature merged into one
// with their mean voltage.
QVector<Point> sortedAndMerged(QVector<Point> points);

// Empty when sorted and merged points (sortedAndMerged) can make a table: points at two
// temperatures at least, the lowest above 0 K, every voltage finite. Otherwise the sentence
// that says why not.
QString curveProblem(const QVector<Point> &sorted);
// The refusal of a curve whose table would hold numbers beyond single precision.
QString tooLargeForTheTable();

// Sorts the points, merges equal temperatures and resamples them onto the table, at
// temperatures spaced geometrically (what the window's "Open table data..." does; see
// tablespacing.h for rows placed by the curve's curvature).
Result resample(QVector<Point> points);

// Reads a curve from an open stream (a file, a buffer, a pipe) and resamples it.
Result importStream(QIODevice &device);
// Opens the file in text mode, reads its curve and resamples it.
Result importFile(const QString &path);

} // namespace curveimport
