#include "stating.h"

#include "budget.h"

#include <QRegularExpression>

#include <cmath>
#include <optional>

namespace stating {

namespace {

constexpr int Milli = -3;
constexpr int Micro = -6;
constexpr int LargestMantissa = 99;  // two significant digits: 10 to 99 times a power of ten
constexpr int SmallestMantissa = 10;
constexpr int FallbackDigits = 3;    // of a result stated without a U
constexpr int FinestLimitDecimals = 9;
constexpr double LimitTolerance = 1e-9; // relative: a limit shown within this is shown whole

// U as its two digits and the power of ten of the last: 24 µV is {24, -6}.
struct Digits
{
    qint64 mantissa = 0;
    int exponent = 0;
};

double powerOfTen(int exponent)
{
    return std::pow(10.0, exponent);
}

// The value times 10^-power, multiplied by the power of ten that a double holds exactly:
// 2.7e-4 V / 1e-5 is 26.999999999999996, 2.7e-4 V * 1e5 is 27.
double scaled(double value, int power)
{
    return power < 0 ? value * powerOfTen(-power) : value / powerOfTen(power);
}

// The rounding itself is the budget's, so the U stated is the U the decision used; here it
// is only taken apart into its digits.
std::optional<Digits> digitsOf(double expanded)
{
    if (!(expanded > 0.0) || !std::isfinite(expanded))
        return std::nullopt;
    const double rounded = budget::roundUpTwoDigits(expanded);
    Digits digits;
    digits.exponent = int(std::floor(std::log10(rounded))) - 1;
    const double mantissa = std::round(scaled(rounded, digits.exponent));
    if (!std::isfinite(mantissa) || mantissa <= 0.0)
        return std::nullopt;
    digits.mantissa = qint64(mantissa);
    // log10 of a power of ten may land a hair either side of the whole number.
    if (digits.mantissa > LargestMantissa) {
        digits.mantissa /= 10;
        ++digits.exponent;
    } else if (digits.mantissa < SmallestMantissa) {
        digits.mantissa *= 10;
        --digits.exponent;
    }
    return digits;
}

// Zero written with a sign ("-0", "-0.00") is zero.
QString unsignedZero(QString text)
{
    static const QRegularExpression negativeZero(QStringLiteral("^-[0.]+$"));
    if (negativeZero.match(text).hasMatch())
        text.remove(0, 1);
    return text;
}

// `value` (already in the unit) rounded to a multiple of 10^exponent.
QString roundedTo(double value, int exponent)
{
    if (exponent < 0)
        return unsignedZero(QString::number(value, 'f', -exponent));
    const double step = powerOfTen(exponent);
    // Adding zero turns -0 into 0.
    return QString::number(std::round(value / step) * step + 0.0, 'f', 0);
}

QString prefix(int power)
{
    switch (power) {
    case Milli:
        return QStringLiteral("m");
    case Micro:
        return QStringLiteral("\u00b5");
    default:
        return QString();
    }
}

} // namespace

Unit unitFor(procedure::Kind kind, const QVector<double> &expanded)
{
    double least = budget::Infinite;
    for (double u : expanded) {
        if (u > 0.0 && u < least)
            least = u;
    }
    const std::optional<Digits> smallest = digitsOf(least);
    // Microkelvin is finer than any thermometer this instrument is compared with.
    const QVector<int> powers = kind == procedure::Kind::Adc ? QVector<int>{0, Milli, Micro} : QVector<int>{0, Milli};
    int power = Milli;
    if (smallest) {
        // U is at least 10^(exponent + 1): the largest unit it is not smaller than.
        power = powers.last();
        for (int candidate : powers) {
            if (smallest->exponent + 1 >= candidate) {
                power = candidate;
                break;
            }
        }
    }
    return {prefix(power) + procedure::pointUnit(kind), power};
}

double inUnit(double value, const Unit &unit)
{
    return scaled(value, unit.power);
}

QString uncertainty(double expanded, const Unit &unit)
{
    if (expanded == 0.0)
        return QStringLiteral("0");
    const std::optional<Digits> digits = digitsOf(expanded);
    if (!digits)
        return QStringLiteral("-");
    const int exponent = digits->exponent - unit.power;
    if (exponent >= 0)
        return QString::number(digits->mantissa) + QString(exponent, QLatin1Char('0'));
    // Written from its digits, not from a double: 2.4e-5 V is "24" µV, exactly.
    QString text = QString::number(digits->mantissa).rightJustified(-exponent + 1, QLatin1Char('0'));
    text.insert(text.size() + exponent, QLatin1Char('.'));
    return text;
}

QString value(double result, double expanded, const Unit &unit)
{
    if (!std::isfinite(result))
        return QStringLiteral("-");
    const double inUnit = scaled(result, unit.power);
    const std::optional<Digits> digits = digitsOf(expanded);
    if (digits)
        return roundedTo(inUnit, digits->exponent - unit.power);
    if (inUnit == 0.0)
        return QStringLiteral("0");
    const int leading = int(std::floor(std::log10(std::fabs(inUnit))));
    return roundedTo(inUnit, std::min(0, leading - (FallbackDigits - 1)));
}

QString limit(double limit, double expanded, const Unit &unit)
{
    if (!std::isfinite(limit))
        return QStringLiteral("-");
    const double inUnit = scaled(limit, unit.power);
    const std::optional<Digits> digits = digitsOf(expanded);
    int decimals = digits ? std::max(0, unit.power - digits->exponent) : 0;
    for (; decimals < FinestLimitDecimals; ++decimals) {
        const double shown = QString::number(inUnit, 'f', decimals).toDouble();
        if (std::fabs(shown - inUnit) <= LimitTolerance * std::fabs(inUnit))
            break;
    }
    return unsignedZero(QString::number(inUnit, 'f', decimals));
}

} // namespace stating
