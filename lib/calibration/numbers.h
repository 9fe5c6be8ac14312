#pragma once

#include <QString>

#include <optional>

// How numbers look in the window and how they are read back from it.
namespace numbers {

constexpr double MillivoltsPerVolt = 1000.0;
constexpr double MsPerSecond = 1000.0;

// General format with 6 significant digits: what every field and grid cell shows.
QString format(double value);

// The shortest decimal that reads back as the same single-precision value ("0.1", "300",
// "3.4028235e+38"): what the command line prints and writes, so nothing is lost on the
// way from the instrument to a file and back.
QString shortest(float value);
// The double that shortest() spells: the value a file or JSON document should carry for a
// single-precision number.
double shortestAsDouble(float value);

// True when the value stays finite once rounded to single precision. The largest float's
// shortest decimal, 3.4028235e+38, lies just above it as a double and still rounds to it.
bool fitsFloat(double value);

enum class Precision { Double, Float };

// Reads a value that is about to leave the window (to the instrument or a file). Empty or
// blank text is 0; anything else must be a finite C-locale number, within single precision's
// range when the value goes out as a float. Surrounding spaces are ignored.
std::optional<double> parse(const QString &text, Precision precision);

// The user-facing name of a grid cell, with rows numbered as the grid's header shows them.
QString cellName(int row, const QString &columnTitle);

// Reads many fields in turn and remembers the first one that is not a number, so an action
// can refuse to go on and tell the operator exactly which field to fix.
class FieldReader
{
public:
    explicit FieldReader(Precision precision) : m_precision(precision) {}

    // The field's value, or 0 after recording the problem.
    double read(const QString &fieldName, const QString &text);
    bool ok() const { return m_problem.isEmpty(); }
    QString problem() const { return m_problem; }

private:
    Precision m_precision;
    QString m_problem;
};

} // namespace numbers
