#pragma once

#include "procedurefile.h"

#include <QString>
#include <QVector>

// How a result and its expanded uncertainty U are written down, as ILAC-P14 asks: U with two
// significant digits, rounded up; the result rounded to the decimal place of U's last digit;
// both in a unit whose prefix lets those digits show (24 µV, not 0.02 mV). The certificate,
// the command's table and the window all state their numbers through these functions.
namespace stating {

// A unit of the kind's quantity: its symbol and its size as a power of ten of K or V.
struct Unit
{
    QString symbol;
    int power = 0;
};

// The unit that shows the two digits of the smallest U among `expanded` (in K or V), so one
// unit serves a whole table: V, mV or µV; K or mK. U that is zero or not finite is passed
// over; with none left, mK or mV.
Unit unitFor(procedure::Kind kind, const QVector<double> &expanded);

// A value in K or V expressed in `unit`, for a plot's axis or a figure not stated here.
double inUnit(double value, const Unit &unit);

// U (in K or V) in `unit` with two significant digits, rounded up: "24", "5.0", "0.11",
// "130". "0" for zero; "-" when it is negative or not finite.
QString uncertainty(double expanded, const Unit &unit);

// A result (an error, a change; in K or V) in `unit`, rounded to the decimal place of the
// last digit of its U: 8.3 mK puts an error on tenths of a millikelvin. A result that rounds
// to zero is "0", never "-0". Without a U to round to (zero, not finite), at least three
// significant digits. "-" when the result is not finite.
QString value(double result, double expanded, const Unit &unit);

// A limit such as a tolerance (in K or V) in `unit`: at the decimal place of U's last digit,
// or finer where the limit has more digits; a limit is given, not measured, so it is never
// rounded.
QString limit(double limit, double expanded, const Unit &unit);

} // namespace stating
