#pragma once

#include "curveimport.h"
#include "names.h"

#include <QString>
#include <QVector>

#include <optional>

// Where the table's rows go on a sensor curve. The instrument reads a voltage along the
// straight line between the two rows around it, so a row spacing that suits one curve costs
// another accuracy: geometric spacing (the window's import) crowds rows at low temperatures
// whatever the curve does, while rows placed by the curve's curvature go where it bends (a
// diode's knee, its top) and leave its straight stretches to long segments.
namespace tablespacing {

using curveimport::Point; // (voltage in V, temperature in K)
using curveimport::TableRows;

enum class Spacing {
    Geometric, // temperatures spaced geometrically: curveimport::resample, the window's import
    Curvature, // rows placed so that the largest interpolation error is as small as it can be
};

// "geometric", "curvature".
// The spacings' names in files and on the command line.
const names::Table<Spacing> &spacingNames();
QString nameOf(Spacing spacing);
// The spacing a name (as nameOf gives it) stands for; nothing for any other text.
std::optional<Spacing> spacingNamed(const QString &name);

// Places `rows` rows on the curve (points in any order, sorted and merged as the import does)
// so that the largest temperature error of reading the curve through them, along straight
// lines between rows, is as small as it can be made: against the monotone cubic through the
// points (monotonecubic.h), so between the file's points too. The segments between rows
// then share one error (the last may stay below it). The first and last rows are the
// curve's lowest and highest points; every row lies on the cubic; temperatures rise and
// voltages keep the curve's direction strictly, also once rounded to single precision, as
// the instrument holds them (rows are kept that far apart, and a curve that changes too
// little for all of them is refused). A curve whose voltage does not keep one direction is
// refused: no table can follow it.
curveimport::Result byCurvature(QVector<Point> points, int rows = TableRows);

// The table of TableRows rows in the given spacing.
curveimport::Result resample(QVector<Point> points, Spacing spacing);

} // namespace tablespacing
