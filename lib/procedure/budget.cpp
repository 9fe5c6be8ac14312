#include "budget.h"

#include <cmath>

namespace budget {

namespace {

constexpr double LargeDof = 1e7;   // beyond, t is the normal distribution's value
constexpr int FractionSteps = 300;
constexpr double FractionEpsilon = 1e-15;
constexpr double Tiny = 1e-300;

// The continued fraction of the incomplete beta function (modified Lentz's method).
double betaFraction(double a, double b, double x)
{
    double c = 1.0;
    double d = 1.0 - (a + b) * x / (a + 1.0);
    if (std::fabs(d) < Tiny)
        d = Tiny;
    d = 1.0 / d;
    double h = d;
    for (int m = 1; m <= FractionSteps; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((a + m2 - 1.0) * (a + m2));
        d = 1.0 + aa * d;
        c = 1.0 + aa / c;
        d = 1.0 / (std::fabs(d) < Tiny ? Tiny : d);
        c = std::fabs(c) < Tiny ? Tiny : c;
        h *= d * c;
        aa = -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1.0));
        d = 1.0 + aa * d;
        c = 1.0 + aa / c;
        d = 1.0 / (std::fabs(d) < Tiny ? Tiny : d);
        c = std::fabs(c) < Tiny ? Tiny : c;
        const double step = d * c;
        h *= step;
        if (std::fabs(step - 1.0) < FractionEpsilon)
            break;
    }
    return h;
}

// The regularized incomplete beta function I_x(a, b).
double incompleteBeta(double a, double b, double x)
{
    if (x <= 0.0)
        return 0.0;
    if (x >= 1.0)
        return 1.0;
    const double front = std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log1p(-x));
    if (x < (a + 1.0) / (a + b + 2.0))
        return front * betaFraction(a, b, x) / a;
    return 1.0 - front * betaFraction(b, a, 1.0 - x) / b;
}

// The probability that |T| exceeds t for Student's t with `dof` degrees of freedom.
double twoSidedTail(double t, double dof)
{
    return incompleteBeta(dof / 2.0, 0.5, dof / (dof + t * t));
}

double normalQuantileTwoSided(double probability)
{
    // erfc is monotonic: bisection on it is exact enough for two decimals and needs no table.
    double low = 0.0;
    double high = 40.0;
    for (int i = 0; i < 200; ++i) {
        const double middle = (low + high) / 2;
        if (std::erfc(middle / std::sqrt(2.0)) > 1.0 - probability)
            low = middle;
        else
            high = middle;
    }
    return (low + high) / 2;
}

} // namespace

double Term::standard() const
{
    return value / divisor * std::fabs(sensitivity);
}

Term typeB(const QString &name, procedure::Distribution distribution, double value, double k, const QString &unit)
{
    Term term;
    term.name = name;
    term.distribution = distribution;
    term.value = value;
    term.valueUnit = unit;
    switch (distribution) {
    case procedure::Distribution::Normal:
        term.divisor = k;
        break;
    case procedure::Distribution::Rectangular:
        term.divisor = std::sqrt(3.0);
        break;
    case procedure::Distribution::UShaped:
        term.divisor = std::sqrt(2.0);
        break;
    }
    return term;
}

Term repeatability(const QString &name, double sd, int n, const QString &unit)
{
    Term term;
    term.name = name;
    term.typeA = true;
    term.value = std::isfinite(sd) ? sd : 0.0;
    term.divisor = std::sqrt(double(std::max(n, 1)));
    term.dof = std::max(n - 1, 1);
    term.valueUnit = unit;
    return term;
}

Budget combine(const QVector<Term> &terms)
{
    Budget budget;
    budget.terms = terms;
    double sumSquares = 0.0;
    double sumFourth = 0.0;
    for (const Term &term : terms) {
        const double u = term.standard();
        sumSquares += u * u;
        if (std::isfinite(term.dof))
            sumFourth += std::pow(u, 4) / term.dof;
    }
    budget.combined = std::sqrt(sumSquares);
    budget.effectiveDof = sumFourth > 0.0 ? std::pow(budget.combined, 4) / sumFourth : Infinite;
    budget.k = coverageFactor(budget.effectiveDof);
    budget.expanded = roundUpTwoDigits(budget.k * budget.combined);
    return budget;
}

double coverageFactor(double dof, double probability)
{
    double t = 0.0;
    if (!std::isfinite(dof) || dof >= LargeDof) {
        t = normalQuantileTwoSided(probability);
    } else {
        const double whole = std::max(1.0, std::floor(dof));
        double low = 0.0;
        double high = 1e6;
        for (int i = 0; i < 200; ++i) {
            const double middle = (low + high) / 2;
            if (twoSidedTail(middle, whole) > 1.0 - probability)
                low = middle;
            else
                high = middle;
        }
        t = (low + high) / 2;
    }
    return std::round(t * 100.0) / 100.0;
}

double roundUpTwoDigits(double value)
{
    if (!(value > 0.0) || !std::isfinite(value))
        return value;
    const double exponent = std::floor(std::log10(value)) - 1;
    // Dividing by a power of ten that is exact gives the nearest double to 0.021, not 21 * 0.001.
    const double steps = exponent < 0 ? value * std::pow(10.0, -exponent) : value / std::pow(10.0, exponent);
    // A value that is already two digits (0.020 as 0.0200000000001) must not grow a step.
    const double rounded = std::ceil(steps - 1e-9 * steps);
    return exponent < 0 ? rounded / std::pow(10.0, -exponent) : rounded * std::pow(10.0, exponent);
}

} // namespace budget
