#include "tablespacing.h"

#include "monotonecubic.h"
#include "numbers.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace tablespacing {

namespace {

QString message(const char *text)
{
    return QCoreApplication::translate("tablespacing", text);
}

curveimport::Result failed(const QString &error)
{
    curveimport::Result result;
    result.error = error;
    return result;
}

constexpr double Infinity = std::numeric_limits<double>::infinity();

// The search for the smallest error bound stops when it is known to within this share.
constexpr double BoundPrecision = 1e-3;
// A segment's end is sought until its error is within this share below the bound.
constexpr double EndPrecision = 1e-4;
constexpr int MostEndSteps = 60;
// Galloping from a guess takes steps of this share of it first, then doubles them.
constexpr int GallopShare = 4;
// Halvings of a temperature interval before it is as narrow as doubles allow.
constexpr int MostHalvings = 2100;
// Below this share of the one-segment error, a curve is straight to rounding.
constexpr double StraightShare = 1e-13;

// The distance between a single-precision value of that size and the next one up.
double floatStep(double value)
{
    const float magnitude = float(std::fabs(value));
    return double(std::nextafter(magnitude, std::numeric_limits<float>::infinity())) - double(magnitude);
}

// A row: its temperature, its voltage on the curve, and the curve's piece that holds it.
struct Node
{
    double kelvin = 0.0;
    double volts = 0.0;
    int piece = 0;
};

// Finds rows whose segments each keep within an error bound, as few as it can: from each
// row, the next one goes as far along the curve as the bound allows.
class Placer
{
public:
    Placer(const MonotoneCubic &curve, int segments)
        : m_curve(curve), m_segments(segments), m_start(pointNode(0)), m_end(pointNode(curve.pieces()))
    {
    }

    const Node &start() const { return m_start; }
    const Node &end() const { return m_end; }

    Node pointNode(int index) const
    {
        return {m_curve.kelvinOf(index), m_curve.voltsOf(index), std::min(index, m_curve.pieces() - 1)};
    }

    Node nodeIn(int piece, double kelvin) const { return {kelvin, m_curve.voltsIn(piece, kelvin), piece}; }
    Node nodeAt(double kelvin) const { return nodeIn(m_curve.pieceOf(kelvin), kelvin); }

    // The largest temperature error, in K, of reading the curve between the two rows along
    // the straight line through them: (V(T) - line(T)) / slope, exactly, over every T between.
    // Once it is known to exceed `stopAbove`, a value above that.
    double chordError(const Node &from, const Node &to, double stopAbove = Infinity) const
    {
        const double slope = (to.volts - from.volts) / (to.kelvin - from.kelvin);
        if (!(to.kelvin > from.kelvin) || slope == 0.0 || !std::isfinite(slope))
            return Infinity;
        const int lastPiece = to.piece > from.piece && to.kelvin == m_curve.kelvinOf(to.piece) ? to.piece - 1 : to.piece;
        const double perKelvin = std::fabs(slope);
        return m_curve.largestDeviation(from.piece, from.kelvin, lastPiece, to.kelvin, from.kelvin, from.volts, slope,
                                        stopAbove * perKelvin)
               / perKelvin;
    }

    // Two rows far enough apart that, rounded to single precision, their temperatures and
    // their voltages still differ: rounding moves each by half a step at most.
    static bool separated(const Node &a, const Node &b)
    {
        return std::fabs(b.kelvin - a.kelvin) >= 2.0 * floatStep(std::max(std::fabs(a.kelvin), std::fabs(b.kelvin)))
               && std::fabs(b.volts - a.volts) >= 2.0 * floatStep(std::max(std::fabs(a.volts), std::fabs(b.volts)));
    }

    // Rows from the start to the end whose segments each keep within `bound` (K), no more
    // than the segments allowed; false when they cannot.
    bool walk(double bound, std::vector<Node> *ends) const
    {
        ends->assign(1, m_start);
        while (ends->back().kelvin < m_end.kelvin) {
            if (int(ends->size()) - 1 >= m_segments)
                return false;
            const std::optional<Node> next = farthest(ends->back(), bound);
            if (!next)
                return false;
            ends->push_back(*next);
        }
        return true;
    }

    // The first temperature above `from` whose row is separated from it; nothing when even
    // the end is not.
    std::optional<Node> firstSeparatedAfter(const Node &from) const
    {
        if (!separated(from, m_end))
            return std::nullopt;
        double low = from.kelvin;
        double high = m_end.kelvin;
        for (int halving = 0; halving < MostHalvings; ++halving) {
            const double middle = low + (high - low) / 2;
            if (middle <= low || middle >= high)
                break;
            (separated(from, nodeAt(middle)) ? high : low) = middle;
        }
        return high == m_end.kelvin ? m_end : nodeAt(high);
    }

    // The last temperature below `to` whose row is separated from it.
    std::optional<Node> lastSeparatedBefore(const Node &to) const
    {
        if (!separated(m_start, to))
            return std::nullopt;
        double low = m_start.kelvin;
        double high = to.kelvin;
        for (int halving = 0; halving < MostHalvings; ++halving) {
            const double middle = low + (high - low) / 2;
            if (middle <= low || middle >= high)
                break;
            (separated(nodeAt(middle), to) ? low : high) = middle;
        }
        return low == m_start.kelvin ? m_start : nodeAt(low);
    }

private:
    // The row after `from` as far along the curve as the bound allows, kept separated from
    // `from` and from the end; nothing when no row can be.
    std::optional<Node> farthest(const Node &from, double bound) const
    {
        std::optional<Node> candidate = farthestWithin(from, bound);
        if (candidate && !separated(from, *candidate)) {
            candidate = firstSeparatedAfter(from);
            if (candidate && chordError(from, *candidate) > bound)
                candidate.reset();
        }
        if (candidate && candidate->kelvin < m_end.kelvin && !separated(*candidate, m_end)) {
            // The row after this one would be too close to the end: this one stops short.
            const std::optional<Node> shorter = lastSeparatedBefore(m_end);
            if (shorter && shorter->kelvin > from.kelvin && separated(from, *shorter)
                && chordError(from, *shorter) <= bound)
                candidate = shorter;
            else if (separated(from, m_end) && chordError(from, m_end) <= bound)
                candidate = m_end;
            else
                candidate.reset();
        }
        if (candidate && !(candidate->kelvin > from.kelvin))
            candidate.reset();
        return candidate;
    }

    // The farthest row within the bound: first the last of the curve's points within it,
    // galloping from as many points as the segment before spanned (a test that fails stops
    // at the first piece beyond the bound), then, between that point and the next,
    // regula falsi (the Illinois variant) on the square root of the error, which grows
    // about as the width: nearly a straight line.
    std::optional<Node> farthestWithin(const Node &from, double bound) const
    {
        const int last = m_curve.pieces();
        const int first = from.piece + 1; // the first point above `from`
        const auto within = [&](int index) { return chordError(from, pointNode(index), bound) <= bound; };
        int inside = first - 1; // `from` itself, or the last point known within
        int outside = -1;
        int step = std::max(1, m_points / GallopShare);
        const int guess = std::clamp(first + m_points - 1, first, last);
        if (within(guess)) {
            inside = guess;
            while (inside < last) {
                const int next = std::min(last, inside + step);
                if (!within(next)) {
                    outside = next;
                    break;
                }
                inside = next;
                step *= 2;
            }
            if (inside == last)
                return m_end;
        } else {
            outside = guess;
            while (outside > first) {
                const int next = std::max(first, outside - step);
                if (within(next)) {
                    inside = next;
                    break;
                }
                outside = next;
                step *= 2;
            }
        }
        while (outside - inside > 1) {
            const int middle = inside + (outside - inside) / 2;
            (within(middle) ? inside : outside) = middle;
        }
        m_points = std::max(1, outside - first);

        const double rootBound = std::sqrt(bound);
        Node low = inside >= first ? pointNode(inside) : from;
        double lowError = inside >= first ? chordError(from, low) : 0.0;
        double lowExcess = std::sqrt(lowError) - rootBound;
        Node high = pointNode(outside);
        double highExcess = std::sqrt(chordError(from, high)) - rootBound;
        int side = 0;
        for (int step = 0; step < MostEndSteps && lowError < (1.0 - EndPrecision) * bound; ++step) {
            double kelvin = high.kelvin - highExcess * (high.kelvin - low.kelvin) / (highExcess - lowExcess);
            if (!(kelvin > low.kelvin && kelvin < high.kelvin))
                kelvin = low.kelvin + (high.kelvin - low.kelvin) / 2;
            if (!(kelvin > low.kelvin && kelvin < high.kelvin))
                break;
            const Node node = nodeIn(outside - 1, kelvin);
            const double error = chordError(from, node);
            const double excess = std::sqrt(error) - rootBound;
            if (excess <= 0.0) {
                low = node;
                lowError = error;
                lowExcess = excess;
                if (side == -1)
                    highExcess /= 2;
                side = -1;
            } else {
                high = node;
                highExcess = excess;
                if (side == 1)
                    lowExcess /= 2;
                side = 1;
            }
        }
        if (!(low.kelvin > from.kelvin))
            return std::nullopt;
        return low;
    }

    const MonotoneCubic &m_curve;
    int m_segments;
    // How many of the curve's points the last segment found spanned: the first guess for
    // the next one.
    mutable int m_points = 1;
    Node m_start;
    Node m_end;
};

// The error bound that equal errors between the rows would come to, were the rows
// continuous: a segment of width h where the curve bends by V'' errs by about
// |V''| h^2 / (8 |V'|) in temperature, so `segments` of them share the square of the
// integral of sqrt(|V''| / (8 |V'|)) over the curve, divided by the segments.
double estimatedBound(const MonotoneCubic &curve, int segments)
{
    double integral = 0.0;
    for (int piece = 0; piece < curve.pieces(); ++piece) {
        const double low = curve.kelvinOf(piece);
        const double high = curve.kelvinOf(piece + 1);
        const double middle = low + (high - low) / 2;
        const double slope = curve.slopeIn(piece, middle);
        if (slope != 0.0)
            integral += std::sqrt(std::fabs(curve.curvatureIn(piece, middle)) / (8.0 * std::fabs(slope))) * (high - low);
    }
    const double share = integral / segments;
    return share * share;
}

// Splits the segments between `ends` until there are `segments` of them: each split goes to
// the segment whose error, split once more, would stay the largest (the error of a segment
// falls with the square of its width), or on a straight curve the widest. A segment is split
// into parts of equal width or, where those would not stay apart in single precision, of
// equal voltage steps; a split that cannot keep its rows apart either way is not made. False
// when the rows cannot all be placed; `rows` then holds as many as could be.
bool fill(const Placer &placer, const MonotoneCubic &curve, const std::vector<Node> &ends, int segments,
          std::vector<Node> *rows)
{
    const size_t count = ends.size() - 1;
    std::vector<double> errors(count);
    std::vector<int> parts(count, 1);
    std::vector<bool> byVolts(count, false);
    std::vector<bool> full(count, false);
    for (size_t segment = 0; segment < count; ++segment)
        errors[segment] = placer.chordError(ends[segment], ends[segment + 1]);
    const auto split = [&](size_t segment, int into, bool equalVolts, std::vector<Node> *nodes) {
        const Node &from = ends[segment];
        const Node &to = ends[segment + 1];
        for (int part = 1; part < into; ++part) {
            const double kelvin = equalVolts ? curve.kelvinAtVolts(from.volts + (to.volts - from.volts) * part / into)
                                             : from.kelvin + (to.kelvin - from.kelvin) * part / into;
            nodes->push_back(placer.nodeAt(kelvin));
        }
    };
    const auto splittable = [&](size_t segment, int into, bool equalVolts) {
        std::vector<Node> nodes{ends[segment]};
        split(segment, into, equalVolts, &nodes);
        nodes.push_back(ends[segment + 1]);
        for (size_t node = 1; node < nodes.size(); ++node) {
            if (!(nodes[node].kelvin > nodes[node - 1].kelvin) || !Placer::separated(nodes[node - 1], nodes[node]))
                return false;
        }
        return true;
    };
    bool complete = true;
    for (int total = int(count); total < segments;) {
        int best = -1;
        double bestError = -1.0;
        double bestWidth = -1.0;
        for (size_t segment = 0; segment < count; ++segment) {
            if (full[segment])
                continue;
            const double error = errors[segment] / (double(parts[segment]) * parts[segment]);
            const double width = (ends[segment + 1].kelvin - ends[segment].kelvin) / parts[segment];
            if (error > bestError || (error == bestError && width > bestWidth)) {
                best = int(segment);
                bestError = error;
                bestWidth = width;
            }
        }
        if (best < 0) {
            complete = false;
            break;
        }
        const size_t chosen = size_t(best);
        if (splittable(chosen, parts[chosen] + 1, false)) {
            byVolts[chosen] = false;
        } else if (splittable(chosen, parts[chosen] + 1, true)) {
            byVolts[chosen] = true;
        } else {
            full[chosen] = true;
            continue;
        }
        ++parts[chosen];
        ++total;
    }
    rows->clear();
    for (size_t segment = 0; segment < count; ++segment) {
        rows->push_back(ends[segment]);
        split(segment, parts[segment], byVolts[segment], rows);
    }
    rows->push_back(ends.back());
    return complete;
}

// The direction of the curve's voltage, +1 or -1; 0 when it does not keep one, with the
// first point whose voltage breaks it (rises, falls or stays level against the first step).
int directionOf(const QVector<Point> &sorted, int *turn)
{
    const double first = sorted.at(1).first - sorted.at(0).first;
    const int direction = (first > 0.0) - (first < 0.0);
    for (int index = 1; index < sorted.size(); ++index) {
        const double step = sorted.at(index).first - sorted.at(index - 1).first;
        if (direction == 0 || (step > 0.0) - (step < 0.0) != direction) {
            *turn = index;
            return 0;
        }
    }
    return direction;
}

// How many of the rows, rounded to single precision, are finite, rise in temperature and keep
// the voltage's direction from the row before: all of them when the table is as it must be.
int strictInFloat(const QVector<Point> &rows, int direction)
{
    int kept = 0;
    for (int index = 0; index < rows.size(); ++index) {
        if (!numbers::fitsFloat(rows.at(index).first) || !numbers::fitsFloat(rows.at(index).second))
            continue;
        const float voltageStep = index == 0 ? 0.0f : float(rows.at(index).first) - float(rows.at(index - 1).first);
        if (index == 0
            || (float(rows.at(index).second) > float(rows.at(index - 1).second) && voltageStep * float(direction) > 0.0f))
            ++kept;
    }
    return kept;
}

QString tooLittleChange(const QVector<Point> &sorted, int placed, int rows)
{
    return message(QT_TRANSLATE_NOOP("tablespacing", "The curve changes too little for the instrument's single-precision "
                                                     "numbers: only %1 of the table's %2 rows can be placed with "
                                                     "temperatures and voltages that stay strictly monotonic once rounded "
                                                     "(the curve goes from %3 V at %4 K to %5 V at %6 K)."))
        .arg(placed)
        .arg(rows)
        .arg(sorted.first().first, 0, 'g', 9)
        .arg(sorted.first().second, 0, 'g', 9)
        .arg(sorted.last().first, 0, 'g', 9)
        .arg(sorted.last().second, 0, 'g', 9);
}

} // namespace

const names::Table<Spacing> &spacingNames()
{
    static const names::Table<Spacing> table{{QStringLiteral("curvature"), Spacing::Curvature},
                                             {QStringLiteral("geometric"), Spacing::Geometric}};
    return table;
}

QString nameOf(Spacing spacing)
{
    return names::of(spacingNames(), spacing);
}

std::optional<Spacing> spacingNamed(const QString &name)
{
    return names::named(spacingNames(), name);
}

curveimport::Result byCurvature(QVector<Point> points, int rows)
{
    const QVector<Point> sorted = curveimport::sortedAndMerged(std::move(points));
    const QString problem = curveimport::curveProblem(sorted);
    if (!problem.isEmpty())
        return failed(problem);
    for (const Point &end : {sorted.first(), sorted.last()}) {
        if (!numbers::fitsFloat(end.first) || !numbers::fitsFloat(end.second))
            return failed(curveimport::tooLargeForTheTable());
    }
    int turn = 0;
    const int direction = directionOf(sorted, &turn);
    if (direction == 0) {
        // The first point, and the two around the step that breaks the direction.
        QStringList shown;
        for (int index : {0, turn - 1, turn}) {
            const QString point = message(QT_TRANSLATE_NOOP("tablespacing", "%1 V at %2 K"))
                                      .arg(sorted.at(index).first, 0, 'g', 9)
                                      .arg(sorted.at(index).second, 0, 'g', 9);
            if (!shown.contains(point))
                shown << point;
        }
        return failed(message(QT_TRANSLATE_NOOP("tablespacing", "Rows can be placed by curvature only on a curve whose voltage "
                                                                "rises or falls all the way, and this one's does not: %1."))
                          .arg(shown.join(QStringLiteral(", "))));
    }
    const MonotoneCubic curve(sorted);
    if (!curve.ok()) {
        return failed(message(QT_TRANSLATE_NOOP("tablespacing", "The curve's points lie too close together in temperature for "
                                                                "its slope to be a number.")));
    }
    const int segments = std::max(1, rows - 1);
    const Placer placer(curve, segments);
    if (!Placer::separated(placer.start(), placer.end()))
        return failed(tooLittleChange(sorted, 1, rows));

    // The smallest error bound within which `segments` segments reach the end: bracketed
    // from the estimate by doubling or halving, then narrowed geometrically.
    std::vector<Node> ends{placer.start(), placer.end()};
    const double oneSegment = placer.chordError(placer.start(), placer.end());
    if (oneSegment > StraightShare * (placer.end().kelvin - placer.start().kelvin)) {
        std::vector<Node> tried;
        double low = 0.0;
        double high = oneSegment;
        const double estimate = std::clamp(estimatedBound(curve, segments), oneSegment * StraightShare, oneSegment);
        if (placer.walk(estimate, &tried)) {
            high = estimate;
            ends = tried;
            for (low = estimate / 2; low > oneSegment * StraightShare && placer.walk(low, &tried); low /= 2) {
                high = low;
                ends = tried;
            }
        } else {
            low = estimate;
            for (double bound = estimate * 2; bound < oneSegment; bound *= 2) {
                if (placer.walk(bound, &tried)) {
                    high = bound;
                    ends = tried;
                    break;
                }
                low = bound;
            }
        }
        while (low > 0.0 && high > low * (1.0 + BoundPrecision)) {
            const double middle = std::sqrt(low * high);
            if (placer.walk(middle, &tried)) {
                high = middle;
                ends = tried;
            } else {
                low = middle;
            }
        }
    }

    std::vector<Node> nodes;
    if (!fill(placer, curve, ends, segments, &nodes))
        return failed(tooLittleChange(sorted, int(nodes.size()), rows));
    curveimport::Result result;
    result.rows.reserve(int(nodes.size()));
    for (const Node &node : nodes)
        result.rows.append(Point(node.volts, node.kelvin));
    const int kept = strictInFloat(result.rows, direction);
    if (kept != result.rows.size())
        return failed(tooLittleChange(sorted, kept, rows));
    return result;
}

curveimport::Result resample(QVector<Point> points, Spacing spacing)
{
    return spacing == Spacing::Curvature ? byCurvature(std::move(points)) : curveimport::resample(std::move(points));
}

} // namespace tablespacing
