#include "stability.h"

#include <algorithm>
#include <cmath>

namespace stability {

namespace {

constexpr double SecondsPerMinute = 60.0;
constexpr double MsPerSecond = 1000.0;

bool within(const ChannelStatistics &channel, const procedure::Stability &limits)
{
    return std::fabs(channel.slopePerMinute) <= limits.slope && channel.sd <= limits.sd;
}

// With the slope of each half of the window, a first-order approach (the slope shrinking by
// the same factor in equal times) tells how long until the slope is within its limit; then a
// whole window of calm readings is needed.
double firstOrderEstimate(const QVector<double> &seconds, const QVector<double> &values, double limit, double window)
{
    const int half = seconds.size() / 2;
    if (half < 2)
        return NotKnown;
    const double early = statistics(seconds.mid(0, half), values.mid(0, half)).slopePerMinute;
    const double late = statistics(seconds.mid(half), values.mid(half)).slopePerMinute;
    if (!(std::fabs(late) < std::fabs(early)) || late == 0.0 || early * late < 0.0)
        return NotKnown;
    const double halfSpan = (seconds.last() - seconds.first()) / 2;
    const double tau = halfSpan / std::log(std::fabs(early) / std::fabs(late));
    return tau * std::log(std::max(1.0, std::fabs(late) / limit)) + window;
}

} // namespace

ChannelStatistics statistics(const QVector<double> &seconds, const QVector<double> &values)
{
    ChannelStatistics result;
    const int n = values.size();
    if (n == 0)
        return result;
    double sumT = 0.0;
    double sumV = 0.0;
    for (int i = 0; i < n; ++i) {
        sumT += seconds.at(i);
        sumV += values.at(i);
    }
    const double meanT = sumT / n;
    result.mean = sumV / n;
    if (n < 2)
        return result;
    double stt = 0.0;
    double stv = 0.0;
    double svv = 0.0;
    for (int i = 0; i < n; ++i) {
        const double dt = seconds.at(i) - meanT;
        const double dv = values.at(i) - result.mean;
        stt += dt * dt;
        stv += dt * dv;
        svv += dv * dv;
    }
    result.sd = std::sqrt(svv / (n - 1));
    if (stt > 0.0)
        result.slopePerMinute = stv / stt * SecondsPerMinute;
    return result;
}

Judgement judge(const QVector<Reading> &readings, const procedure::Stability &limits, qint64 nowMs)
{
    Judgement judgement;
    if (readings.isEmpty()) {
        judgement.secondsToStable = limits.window;
        return judgement;
    }
    const double windowMs = limits.window * MsPerSecond;
    // Readings fall due once an interval; half of one is the slack of a window's edge.
    const double coveredMs = double(nowMs - readings.first().ms);
    judgement.filled = coveredMs >= windowMs - limits.interval * MsPerSecond / 2;

    QVector<double> seconds;
    QVector<double> reference;
    QVector<double> instrument;
    for (const Reading &reading : readings) {
        if (double(nowMs - reading.ms) > windowMs)
            continue;
        seconds.append(double(reading.ms - readings.first().ms) / MsPerSecond);
        reference.append(reading.reference);
        instrument.append(reading.instrument);
    }
    judgement.reference = statistics(seconds, reference);
    judgement.instrument = statistics(seconds, instrument);

    int firstOfRun = readings.size() - 1;
    while (firstOfRun > 0 && readings.at(firstOfRun - 1).reference == readings.last().reference)
        --firstOfRun;
    // A value that fills the whole window unchanged is a readout resending its last reading:
    // the same slack as for a covered window, so it can never pass as stable first.
    judgement.stale = double(nowMs - readings.at(firstOfRun).ms) >= windowMs - limits.interval * MsPerSecond / 2
                   && readings.size() - firstOfRun >= 3;

    const bool calm = within(judgement.reference, limits) && within(judgement.instrument, limits);
    judgement.stable = judgement.filled && calm && !judgement.stale && seconds.size() >= 3;
    if (judgement.stable) {
        judgement.secondsToStable = 0.0;
    } else if (judgement.stale) {
        judgement.secondsToStable = NotKnown;
    } else if (calm || seconds.size() < 3) {
        judgement.secondsToStable = std::max(0.0, (windowMs - coveredMs) / MsPerSecond);
    } else {
        const double byReference = firstOrderEstimate(seconds, reference, limits.slope, limits.window);
        const double byInstrument = firstOrderEstimate(seconds, instrument, limits.slope, limits.window);
        const bool referenceCalm = within(judgement.reference, limits);
        const bool instrumentCalm = within(judgement.instrument, limits);
        if ((referenceCalm || std::isfinite(byReference)) && (instrumentCalm || std::isfinite(byInstrument)))
            judgement.secondsToStable = std::max(referenceCalm ? 0.0 : byReference, instrumentCalm ? 0.0 : byInstrument);
    }
    return judgement;
}

} // namespace stability
