#pragma once

#include "procedurefile.h"

#include <QString>
#include <QVector>

#include <limits>

// The uncertainty budget of one calibration point, as the GUM sets it out: each component
// with its type (A from the readings, B from elsewhere), distribution, divisor, standard
// uncertainty and degrees of freedom; combined by root-sum-square, effective degrees of
// freedom by Welch-Satterthwaite, and the coverage factor from Student's t for 95.45 %.
namespace budget {

constexpr double Infinite = std::numeric_limits<double>::infinity();
// The coverage probability of k = 2 for a normal distribution, as certificates state it.
constexpr double Coverage = 0.9545;

struct Term
{
    QString name;
    bool typeA = false;
    procedure::Distribution distribution = procedure::Distribution::Normal;
    double value = 0.0;       // as quoted: an expanded uncertainty, a half-width or an SD
    double divisor = 1.0;
    double sensitivity = 1.0; // into the point's unit: 1, or K per V for a voltage term
    double dof = Infinite;
    QString valueUnit;        // the unit of `value`: the point's, or V for a voltage term

    // value / divisor * |sensitivity|, in the point's unit.
    double standard() const;
};

// A type B term quoted as an expanded uncertainty with its k (normal), or a half-width
// (rectangular: divisor sqrt(3); u-shaped: sqrt(2)).
Term typeB(const QString &name, procedure::Distribution distribution, double value, double k, const QString &unit);
// The type A term of n readings whose standard deviation is `sd`: s / sqrt(n), n - 1
// degrees of freedom.
Term repeatability(const QString &name, double sd, int n, const QString &unit);

struct Budget
{
    QVector<Term> terms;
    double combined = 0.0;
    double effectiveDof = Infinite;
    double k = 2.0;
    double expanded = 0.0; // k * combined, rounded up to two significant digits
};

Budget combine(const QVector<Term> &terms);

// Student's t for a two-sided coverage `probability` at `dof` degrees of freedom (truncated
// to a whole number as the GUM advises), rounded to two decimals: 2.00 for large dof.
double coverageFactor(double dof, double probability = Coverage);
// The value rounded up (away from zero) to two significant digits, as an uncertainty is stated.
double roundUpTwoDigits(double value);

} // namespace budget
