#include "numbers.h"

#include <QCoreApplication>

#include <charconv>
#include <cmath>

namespace numbers {

QString format(double value)
{
    return QString::number(value, 'g', 6);
}

QString shortest(float value)
{
    char text[32];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
    return QString::fromLatin1(text, int(result.ptr - text));
}

double shortestAsDouble(float value)
{
    if (!std::isfinite(value))
        return double(value);
    return shortest(value).toDouble();
}

bool fitsFloat(double value)
{
    // Halfway between the largest float and the next power of two: anything below rounds
    // to a finite float, anything from there on to infinity.
    constexpr double FloatOverflowThreshold = 0x1.ffffffp+127;
    return std::fabs(value) < FloatOverflowThreshold;
}

std::optional<double> parse(const QString &text, Precision precision)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return 0.0;
    bool ok = false;
    const double value = trimmed.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    if (precision == Precision::Float && !fitsFloat(value))
        return std::nullopt;
    return value;
}

QString cellName(int row, const QString &columnTitle)
{
    return QCoreApplication::translate("numbers", "Table row %1, %2").arg(row + 1).arg(columnTitle);
}

double FieldReader::read(const QString &fieldName, const QString &text)
{
    const std::optional<double> value = parse(text, m_precision);
    if (value)
        return *value;
    if (m_problem.isEmpty()) {
        // A finite number that failed is one beyond single precision's range.
        const bool tooLarge = parse(text, Precision::Double).has_value();
        m_problem = tooLarge
            ? QCoreApplication::translate("numbers", "%1: '%2' is too large for the instrument.")
                  .arg(fieldName, text)
            : QCoreApplication::translate("numbers", "%1: '%2' is not a number.").arg(fieldName, text);
    }
    return 0.0;
}

} // namespace numbers
