#pragma once

#include "curveimport.h"

#include <limits>
#include <vector>

// The sensor curve between the points a file gives: the monotone piecewise cubic through
// them (PCHIP: Fritsch and Carlson's monotone Hermite cubic with Fritsch and Butland's
// slopes, as MATLAB's pchip and SciPy's PchipInterpolator make it). It passes through every
// point, never overshoots between two (each piece keeps the direction of its two points),
// and follows a curve that bends where straight lines between the points would cut its
// corners. A table row that falls between two of the file's points is judged against it.
class MonotoneCubic
{
public:
    using Point = curveimport::Point; // (voltage in V, temperature in K)

    // `sorted`: points by strictly rising temperature, as curveimport::sortedAndMerged gives
    // them, at least two, all finite. Two points make a straight line.
    explicit MonotoneCubic(const QVector<Point> &sorted);

    // False when the points lie so close in temperature, against their voltages, that a
    // slope is not a finite number; nothing else may then be asked.
    bool ok() const { return m_ok; }

    int pieces() const { return int(m_kelvin.size()) - 1; }
    double lowKelvin() const { return m_kelvin.front(); }
    double highKelvin() const { return m_kelvin.back(); }
    // The temperature and voltage of the curve's point `index` (0 to pieces()).
    double kelvinOf(int index) const { return m_kelvin[size_t(index)]; }
    double voltsOf(int index) const { return m_volts[size_t(index)]; }

    // The piece that holds the temperature: the last one that starts at or below it, kept
    // within the curve, so a temperature beyond either end extends the end piece.
    int pieceOf(double kelvin) const;
    double voltsAt(double kelvin) const { return voltsIn(pieceOf(kelvin), kelvin); }
    double voltsIn(int piece, double kelvin) const;
    // dV/dT.
    double slopeIn(int piece, double kelvin) const;
    // d²V/dT².
    double curvatureIn(int piece, double kelvin) const;

    // The temperature within the piece where the curve has `volts`, which must lie between
    // the voltages of the piece's two ends (a piece is monotone, so there is one).
    double kelvinIn(int piece, double volts) const;
    // The same on the whole curve, whose voltages must keep one direction, `volts` within them.
    double kelvinAtVolts(double volts) const;

    // Where V(T) - line(T) is largest by magnitude, with line(T) = lineVolts + lineSlope *
    // (T - lineKelvin), for T from `from` to `to` within one piece: how far a straight line
    // strays from the curve there. Exact: a piece is a cubic, so its extremes are found from
    // its derivative, not by sampling.
    struct Deviation
    {
        double volts = 0.0; // signed: the curve minus the line
        double kelvin = 0.0;
    };
    Deviation deviationIn(int piece, double from, double to, double lineKelvin, double lineVolts,
                          double lineSlope) const;

    // The largest |V(T) - line(T)| for T from `from` (in piece `firstPiece`) to `to` (in piece
    // `lastPiece`), over every piece between. Once it is known to exceed `stopAbove`, the
    // search ends there with a value above it, not necessarily the largest.
    double largestDeviation(int firstPiece, double from, int lastPiece, double to, double lineKelvin,
                            double lineVolts, double lineSlope,
                            double stopAbove = std::numeric_limits<double>::infinity()) const;

private:
    // The piece's cubic in s = (T - kelvin of its first point) / (its width), from 0 to 1:
    // V = volts + s * (first + s * (second + s * third)).
    struct Cubic
    {
        double kelvin;
        double width;
        double volts;
        double first;
        double second;
        double third;
        double at(double s) const { return volts + s * (first + s * (second + s * third)); }
    };
    Cubic cubicOf(int piece) const;

    std::vector<double> m_kelvin;
    std::vector<double> m_volts;
    std::vector<double> m_slopes; // dV/dT at each point
    bool m_ok = true;
};
