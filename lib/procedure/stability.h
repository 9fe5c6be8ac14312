#pragma once

#include "procedurefile.h"

#include <QVector>

#include <limits>

// When a point of a calibration is stable: over the last window, the least-squares slope
// (per minute) and the standard deviation of the reference and of the instrument are both
// within their limits, and the slope over the window's last third too, so a window that
// straddles an overshoot's peak is not taken while the bath still turns. A band alone would
// pass an overshoot on its way back; a slope alone would pass a noisy sensor. The readings
// must span the window without a gap of more than a few intervals (a pause, a suspended
// computer), on a monotonic clock. A reference that repeats one value exactly for the stale
// time (a readout resending its last reading) is stale, never stable.
namespace stability {

constexpr double NotKnown = std::numeric_limits<double>::quiet_NaN();

// One reading of both channels: milliseconds from any fixed start, values in the point's unit.
struct Reading
{
    qint64 ms = 0;
    double reference = 0.0;
    double instrument = 0.0;
};

// The longest gap between two readings that still counts as a covered window, in intervals:
// a reading that took long makes the loop skip the one that fell due meanwhile.
constexpr double LongestGapIntervals = 3.0;
// The end of the window that must be level too: its last third.
constexpr double EndShare = 1.0 / 3.0;
// A slope over the end counts as beyond its limit only by more than this many of its own
// standard errors: a few readings of a noisy but level bath give a steep line by chance.
constexpr double EndSlopeStandardErrors = 2.0;

struct ChannelStatistics
{
    double slopePerMinute = NotKnown;
    double sd = NotKnown;
    double mean = NotKnown;
    double slopeSePerMinute = NotKnown; // the slope's standard error; NaN below three values
};

// The statistics of values taken at `seconds`: sample standard deviation (n - 1), the
// least-squares slope in units per minute. NaN where fewer than two values (slope: two
// distinct times) are given.
ChannelStatistics statistics(const QVector<double> &seconds, const QVector<double> &values);

struct Judgement
{
    bool stable = false;
    bool stale = false;
    bool filled = false;  // the readings span a whole window, without a long gap
    bool turning = false; // the window's end still moves beyond the slope limit
    ChannelStatistics reference;
    ChannelStatistics instrument;
    ChannelStatistics referenceEnd;  // over the window's last third
    ChannelStatistics instrumentEnd;
    double longestGapSeconds = NotKnown; // between two readings in the window, or the last and now
    double secondsToStable = NotKnown; // an estimate; NaN when nothing can be said
};

// The time one value may repeat before the reference counts as stale: the procedure's, at most
// a window, in seconds.
double staleSeconds(const procedure::Stability &limits);

// Judges the readings of one point (in time order, on a monotonic clock) at `nowMs`.
Judgement judge(const QVector<Reading> &readings, const procedure::Stability &limits, qint64 nowMs);

// True when the reference repeats one value exactly, over at least three readings, for the
// stale time somewhere in `readings` (a stretch that ends at `endingFrom` or later): what a
// frozen readout sends.
bool holdsFrozenStretch(const QVector<Reading> &readings, const procedure::Stability &limits,
                        qint64 endingFrom = std::numeric_limits<qint64>::min());

} // namespace stability
