#pragma once

#include "procedurefile.h"

#include <QVector>

#include <limits>

// When a point of a calibration is stable: over the last window, the least-squares slope
// (per minute) and the standard deviation of the reference and of the instrument are both
// within their limits. A band alone would pass an overshoot on its way back; a slope alone
// would pass a noisy sensor. A reference that repeats one value exactly for the whole window
// is stale (a readout resending its last reading), never stable.
namespace stability {

constexpr double NotKnown = std::numeric_limits<double>::quiet_NaN();

// One reading of both channels: milliseconds from any fixed start, values in the point's unit.
struct Reading
{
    qint64 ms = 0;
    double reference = 0.0;
    double instrument = 0.0;
};

struct ChannelStatistics
{
    double slopePerMinute = NotKnown;
    double sd = NotKnown;
    double mean = NotKnown;
};

// The statistics of values taken at `seconds`: sample standard deviation (n - 1), the
// least-squares slope in units per minute. NaN where fewer than two values (slope: two
// distinct times) are given.
ChannelStatistics statistics(const QVector<double> &seconds, const QVector<double> &values);

struct Judgement
{
    bool stable = false;
    bool stale = false;
    bool filled = false;  // the readings cover a whole window
    ChannelStatistics reference;
    ChannelStatistics instrument;
    double secondsToStable = NotKnown; // an estimate; NaN when nothing can be said
};

// Judges the readings of one point (in time order) at `nowMs`.
Judgement judge(const QVector<Reading> &readings, const procedure::Stability &limits, qint64 nowMs);

} // namespace stability
