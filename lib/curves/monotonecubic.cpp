#include "monotonecubic.h"

#include <algorithm>
#include <cmath>

namespace {

// A piece's end slope may be at most this many times its mean slope: Fritsch and Carlson's
// bound, within which the cubic cannot overshoot.
constexpr double MostSlopeRatio = 3.0;

bool sameSign(double a, double b)
{
    return (a > 0.0 && b > 0.0) || (a < 0.0 && b < 0.0);
}

// The slope at an end point from the two pieces beside it, as SciPy's PCHIP takes it: a
// three-point estimate, kept to the end piece's direction and within the bound.
double endSlope(double width, double slope, double nextWidth, double nextSlope)
{
    const double estimate = ((2.0 * width + nextWidth) * slope - width * nextSlope) / (width + nextWidth);
    if (!sameSign(estimate, slope))
        return 0.0;
    if (!sameSign(slope, nextSlope) && std::fabs(estimate) > MostSlopeRatio * std::fabs(slope))
        return MostSlopeRatio * slope;
    return estimate;
}

// The roots of a + b s + c s^2 within (low, high), computed without cancellation.
int rootsWithin(double a, double b, double c, double low, double high, double roots[2])
{
    int count = 0;
    const auto keep = [&](double root) {
        if (root > low && root < high && std::isfinite(root))
            roots[count++] = root;
    };
    if (c == 0.0) {
        if (b != 0.0)
            keep(-a / b);
        return count;
    }
    const double discriminant = b * b - 4.0 * c * a;
    if (!(discriminant >= 0.0))
        return count;
    const double q = -0.5 * (b + std::copysign(std::sqrt(discriminant), b));
    keep(q / c);
    if (q != 0.0)
        keep(a / q);
    return count;
}

} // namespace

MonotoneCubic::MonotoneCubic(const QVector<Point> &sorted)
{
    const size_t count = size_t(sorted.size());
    m_kelvin.reserve(count);
    m_volts.reserve(count);
    for (const Point &point : sorted) {
        m_kelvin.push_back(point.second);
        m_volts.push_back(point.first);
    }
    m_slopes.assign(count, 0.0);
    if (count < 2) {
        m_ok = false;
        return;
    }
    const auto width = [this](size_t piece) { return m_kelvin[piece + 1] - m_kelvin[piece]; };
    const auto slope = [this, &width](size_t piece) { return (m_volts[piece + 1] - m_volts[piece]) / width(piece); };
    if (count == 2) {
        m_slopes[0] = m_slopes[1] = slope(0);
    } else {
        for (size_t point = 1; point + 1 < count; ++point) {
            const double before = slope(point - 1);
            const double after = slope(point);
            if (!sameSign(before, after))
                continue; // an extreme or a flat stretch: the curve levels out here
            // The weighted harmonic mean of the two pieces' slopes, the wider piece weighing
            // less; each weight is a third to two thirds, so the slope stays within the bound.
            const double weightBefore = (2.0 * width(point) + width(point - 1)) / (3.0 * (width(point) + width(point - 1)));
            m_slopes[point] = 1.0 / (weightBefore / before + (1.0 - weightBefore) / after);
        }
        m_slopes[0] = endSlope(width(0), slope(0), width(1), slope(1));
        m_slopes[count - 1] = endSlope(width(count - 2), slope(count - 2), width(count - 3), slope(count - 3));
    }
    for (size_t piece = 0; piece + 1 < count; ++piece) {
        const Cubic cubic = cubicOf(int(piece));
        if (!std::isfinite(cubic.first) || !std::isfinite(cubic.second) || !std::isfinite(cubic.third)
            || !(cubic.width > 0.0))
            m_ok = false;
    }
}

MonotoneCubic::Cubic MonotoneCubic::cubicOf(int piece) const
{
    const size_t k = size_t(piece);
    Cubic cubic;
    cubic.kelvin = m_kelvin[k];
    cubic.width = m_kelvin[k + 1] - m_kelvin[k];
    cubic.volts = m_volts[k];
    // The Hermite cubic in the piece's own scale, so no width is ever squared.
    const double rise = m_volts[k + 1] - m_volts[k];
    const double start = cubic.width * m_slopes[k];
    const double end = cubic.width * m_slopes[k + 1];
    cubic.first = start;
    cubic.second = 3.0 * rise - 2.0 * start - end;
    cubic.third = start + end - 2.0 * rise;
    return cubic;
}

int MonotoneCubic::pieceOf(double kelvin) const
{
    const auto above = std::upper_bound(m_kelvin.cbegin(), m_kelvin.cend(), kelvin);
    return std::clamp(int(above - m_kelvin.cbegin()) - 1, 0, pieces() - 1);
}

double MonotoneCubic::voltsIn(int piece, double kelvin) const
{
    // A point of the curve is its own voltage exactly.
    if (kelvin == m_kelvin[size_t(piece)])
        return m_volts[size_t(piece)];
    if (kelvin == m_kelvin[size_t(piece) + 1])
        return m_volts[size_t(piece) + 1];
    const Cubic cubic = cubicOf(piece);
    return cubic.at((kelvin - cubic.kelvin) / cubic.width);
}

double MonotoneCubic::slopeIn(int piece, double kelvin) const
{
    const Cubic cubic = cubicOf(piece);
    const double s = (kelvin - cubic.kelvin) / cubic.width;
    return (cubic.first + s * (2.0 * cubic.second + s * 3.0 * cubic.third)) / cubic.width;
}

double MonotoneCubic::curvatureIn(int piece, double kelvin) const
{
    const Cubic cubic = cubicOf(piece);
    const double s = (kelvin - cubic.kelvin) / cubic.width;
    return (2.0 * cubic.second + 6.0 * cubic.third * s) / cubic.width / cubic.width;
}

double MonotoneCubic::kelvinIn(int piece, double volts) const
{
    const Cubic cubic = cubicOf(piece);
    const bool rising = m_volts[size_t(piece) + 1] >= m_volts[size_t(piece)];
    // Newton's steps, kept within a bracket around the answer; a step that would leave the
    // bracket halves it instead.
    double low = 0.0;
    double high = 1.0;
    double s = 0.5;
    constexpr int MostSteps = 200;
    for (int step = 0; step < MostSteps; ++step) {
        const double error = cubic.at(s) - volts;
        if (error == 0.0)
            break;
        if ((error < 0.0) == rising)
            low = s;
        else
            high = s;
        if (!(high > low))
            break;
        const double derivative = cubic.first + s * (2.0 * cubic.second + s * 3.0 * cubic.third);
        double next = derivative != 0.0 ? s - error / derivative : low;
        if (!(next > low && next < high))
            next = low + (high - low) / 2;
        if (next == s)
            break;
        s = next;
    }
    return std::clamp(cubic.kelvin + s * cubic.width, m_kelvin[size_t(piece)], m_kelvin[size_t(piece) + 1]);
}

double MonotoneCubic::kelvinAtVolts(double volts) const
{
    const bool rising = m_volts.back() > m_volts.front();
    const auto reached = std::partition_point(m_volts.cbegin(), m_volts.cend(),
                                              [&](double v) { return rising ? v < volts : v > volts; });
    return kelvinIn(std::clamp(int(reached - m_volts.cbegin()) - 1, 0, pieces() - 1), volts);
}

MonotoneCubic::Deviation MonotoneCubic::deviationIn(int piece, double from, double to, double lineKelvin,
                                                    double lineVolts, double lineSlope) const
{
    const Cubic cubic = cubicOf(piece);
    const size_t k = size_t(piece);
    // The curve's own points exactly, the rest on the cubic.
    const auto voltsAtS = [&](double kelvin, double s) {
        return kelvin == m_kelvin[k] ? m_volts[k] : kelvin == m_kelvin[k + 1] ? m_volts[k + 1] : cubic.at(s);
    };
    const auto deviationAt = [&](double kelvin, double s) {
        return voltsAtS(kelvin, s) - (lineVolts + lineSlope * (kelvin - lineKelvin));
    };
    const double low = (from - cubic.kelvin) / cubic.width;
    const double high = (to - cubic.kelvin) / cubic.width;
    Deviation largest{deviationAt(from, low), from};
    const auto consider = [&largest](double volts, double kelvin) {
        if (std::fabs(volts) > std::fabs(largest.volts))
            largest = {volts, kelvin};
    };
    consider(deviationAt(to, high), to);
    // The curve minus the line is a cubic in s; its extremes lie where its derivative,
    // first + 2 second s + 3 third s^2 - slope * width, is zero.
    double roots[2];
    const int count = rootsWithin(cubic.first - lineSlope * cubic.width, 2.0 * cubic.second, 3.0 * cubic.third,
                                  low, high, roots);
    for (int index = 0; index < count; ++index) {
        const double kelvin = cubic.kelvin + roots[index] * cubic.width;
        consider(cubic.at(roots[index]) - (lineVolts + lineSlope * (kelvin - lineKelvin)), kelvin);
    }
    return largest;
}

double MonotoneCubic::largestDeviation(int firstPiece, double from, int lastPiece, double to, double lineKelvin,
                                       double lineVolts, double lineSlope, double stopAbove) const
{
    const auto lineAt = [&](double kelvin) { return lineVolts + lineSlope * (kelvin - lineKelvin); };
    double largest = std::max(std::fabs(voltsIn(firstPiece, from) - lineAt(from)), std::fabs(voltsIn(lastPiece, to) - lineAt(to)));
    for (int piece = firstPiece; piece <= lastPiece && largest <= stopAbove; ++piece) {
        const size_t k = size_t(piece);
        // The piece's own first point, where it lies between `from` and `to`.
        if (piece > firstPiece)
            largest = std::max(largest, std::fabs(m_volts[k] - lineAt(m_kelvin[k])));
        const Cubic cubic = cubicOf(piece);
        const double low = piece == firstPiece ? (from - cubic.kelvin) / cubic.width : 0.0;
        const double high = piece == lastPiece ? (to - cubic.kelvin) / cubic.width : 1.0;
        double roots[2];
        const int count = rootsWithin(cubic.first - lineSlope * cubic.width, 2.0 * cubic.second, 3.0 * cubic.third,
                                      low, high, roots);
        for (int index = 0; index < count; ++index) {
            const double kelvin = cubic.kelvin + roots[index] * cubic.width;
            largest = std::max(largest, std::fabs(cubic.at(roots[index]) - lineAt(kelvin)));
        }
    }
    return largest;
}
