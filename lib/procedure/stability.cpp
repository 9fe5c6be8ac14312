#include "stability.h"

#include "numbers.h"

#include <algorithm>
#include <cmath>

namespace stability {

namespace {

constexpr double SecondsPerMinute = 60.0;
using numbers::MsPerSecond;
// The fewest readings a judgement (and a frozen stretch) takes.
constexpr int MinimumReadings = 3;

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
    if (stt > 0.0) {
        result.slopePerMinute = stv / stt * SecondsPerMinute;
        if (n > 2) {
            const double residual = std::max(0.0, svv - stv * stv / stt) / (n - 2);
            result.slopeSePerMinute = std::sqrt(residual / stt) * SecondsPerMinute;
        }
    }
    return result;
}

double staleSeconds(const procedure::Stability &limits)
{
    return std::min(limits.stale, limits.window);
}

bool holdsFrozenStretch(const QVector<Reading> &readings, const procedure::Stability &limits, qint64 endingFrom)
{
    // The slack of a window's edge: readings fall due once an interval.
    const double longest = staleSeconds(limits) * MsPerSecond - limits.interval * MsPerSecond / 2;
    int first = 0;
    for (int i = 1; i <= readings.size(); ++i) {
        if (i < readings.size() && readings.at(i).reference == readings.at(first).reference)
            continue;
        if (i - first >= MinimumReadings && readings.at(i - 1).ms >= endingFrom
            && double(readings.at(i - 1).ms - readings.at(first).ms) >= longest)
            return true;
        first = i;
    }
    return false;
}

Judgement judge(const QVector<Reading> &readings, const procedure::Stability &limits, qint64 nowMs)
{
    Judgement judgement;
    if (readings.isEmpty()) {
        judgement.secondsToStable = limits.window;
        return judgement;
    }
    const double windowMs = limits.window * MsPerSecond;
    const double longestGapMs = LongestGapIntervals * limits.interval * MsPerSecond;
    // The window is covered from the first reading after the last long gap: readings before a
    // pause say nothing about the time the pause hid.
    int firstCovering = 0;
    for (int i = 1; i < readings.size(); ++i) {
        if (double(readings.at(i).ms - readings.at(i - 1).ms) > longestGapMs)
            firstCovering = i;
    }
    const double sinceLast = double(nowMs - readings.last().ms);
    const double coveredMs = sinceLast > longestGapMs ? 0.0 : double(nowMs - readings.at(firstCovering).ms);
    // Readings fall due once an interval; half of one is the slack of a window's edge.
    judgement.filled = coveredMs >= windowMs - limits.interval * MsPerSecond / 2;

    QVector<double> seconds;
    QVector<double> reference;
    QVector<double> instrument;
    QVector<Reading> inWindow;
    double longestGap = sinceLast;
    for (int i = 0; i < readings.size(); ++i) {
        const Reading &reading = readings.at(i);
        if (double(nowMs - reading.ms) > windowMs)
            continue;
        if (!inWindow.isEmpty())
            longestGap = std::max(longestGap, double(reading.ms - inWindow.last().ms));
        inWindow.append(reading);
        seconds.append(double(reading.ms - readings.first().ms) / MsPerSecond);
        reference.append(reading.reference);
        instrument.append(reading.instrument);
    }
    judgement.longestGapSeconds = longestGap / MsPerSecond;
    judgement.reference = statistics(seconds, reference);
    judgement.instrument = statistics(seconds, instrument);

    // The end of the window: its last third.
    const double endFrom = double(nowMs) - windowMs * EndShare;
    int endStart = inWindow.size();
    while (endStart > 0 && double(inWindow.at(endStart - 1).ms) >= endFrom)
        --endStart;
    judgement.referenceEnd = statistics(seconds.mid(endStart), reference.mid(endStart));
    judgement.instrumentEnd = statistics(seconds.mid(endStart), instrument.mid(endStart));
    const auto moving = [&limits](const ChannelStatistics &end) {
        return std::isfinite(end.slopeSePerMinute)
            && std::fabs(end.slopePerMinute) - EndSlopeStandardErrors * end.slopeSePerMinute > limits.slope;
    };
    judgement.turning = moving(judgement.referenceEnd) || moving(judgement.instrumentEnd);

    // A frozen stretch anywhere in the window (or running into it) spoils its statistics.
    judgement.stale = holdsFrozenStretch(readings, limits, nowMs - qint64(windowMs));

    const bool calm = within(judgement.reference, limits) && within(judgement.instrument, limits) && !judgement.turning;
    judgement.stable = judgement.filled && calm && !judgement.stale && seconds.size() >= MinimumReadings;
    if (judgement.stable) {
        judgement.secondsToStable = 0.0;
    } else if (judgement.stale) {
        judgement.secondsToStable = NotKnown;
    } else if (calm || seconds.size() < MinimumReadings) {
        judgement.secondsToStable = std::max(0.0, (windowMs - coveredMs) / MsPerSecond);
    } else {
        const double byReference = firstOrderEstimate(seconds, reference, limits.slope, limits.window);
        const double byInstrument = firstOrderEstimate(seconds, instrument, limits.slope, limits.window);
        const bool referenceCalm = within(judgement.reference, limits) && !moving(judgement.referenceEnd);
        const bool instrumentCalm = within(judgement.instrument, limits) && !moving(judgement.instrumentEnd);
        if ((referenceCalm || std::isfinite(byReference)) && (instrumentCalm || std::isfinite(byInstrument)))
            judgement.secondsToStable = std::max(referenceCalm ? 0.0 : byReference, instrumentCalm ? 0.0 : byInstrument);
    }
    return judgement;
}

} // namespace stability
