#include "curveimport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QIODevice>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <limits>

namespace curveimport {

namespace {

// Header-plus-table curve files name the unit of their sensor column by number.
enum class DataFormat { MilliVoltsPerKelvin = 1, VoltsPerKelvin = 2, OhmsPerKelvin = 3,
                        LogOhmsPerKelvin = 4, LogOhmsPerLogKelvin = 5 };

constexpr double MillivoltsPerVolt = 1000.0;

// Texts reach here as QT_TRANSLATE_NOOP marks, so lupdate still finds them in context.
QString message(const char *text)
{
    return QCoreApplication::translate("Widget", text);
}

// A field counts only when it is a finite number: "nan" and "inf" are as useless in
// the table as a column title.
bool toNumber(const QString &field, double *value)
{
    bool ok = false;
    const double number = field.toDouble(&ok);
    if (!ok || !std::isfinite(number))
        return false;
    *value = number;
    return true;
}

// The grid stores single precision, so a double beyond float's range would show as
// infinity there.
bool fitsFloat(double value)
{
    return std::isfinite(value) && std::fabs(value) <= double(std::numeric_limits<float>::max());
}

QString withoutLineEnd(QString line)
{
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}

QStringList nonEmpty(const QStringList &parts)
{
    QStringList fields;
    for (const QString &part : parts) {
        if (!part.isEmpty())
            fields.append(part);
    }
    return fields;
}

// A tab-separated line keeps every field, empty ones too, so a missing value is seen as
// missing. Without a tab, columns are usually aligned with several spaces, so runs of
// spaces separate and spaces around the line do not make empty fields.
bool plainPoint(const QString &line, Point *point)
{
    const QStringList fields = line.contains(QLatin1Char('\t'))
                                   ? line.split(QLatin1Char('\t'))
                                   : nonEmpty(line.split(QLatin1Char(' ')));
    double voltage = 0.0;
    double temperature = 0.0;
    if (fields.size() < 2 || !toNumber(fields.at(0), &voltage) || !toNumber(fields.at(1), &temperature))
        return false;
    *point = Point(voltage, temperature);
    return true;
}

// A breakpoint row: number, sensor units, temperature, separated by any white space.
bool breakpointRow(const QString &line, double *units, double *temperature)
{
    const QStringList fields = nonEmpty(line.simplified().split(QLatin1Char(' ')));
    double number = 0.0;
    return fields.size() >= 3 && toNumber(fields.at(0), &number)
           && toNumber(fields.at(1), units) && toNumber(fields.at(2), temperature);
}

// The value of a header line such as "Data Format:   2      (Volts/Kelvin)": the
// integer that starts it, whatever explanation follows.
struct HeaderValue
{
    bool present = false;
    bool repeated = false;
    QString text;
    bool isNumber = false;
    int number = 0;
};

HeaderValue headerValue(const QStringList &lines, const QRegularExpression &key)
{
    static const QRegularExpression leadingInteger(QStringLiteral("^(\\d+)(?![\\d.])"));
    HeaderValue value;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = key.match(line);
        if (!match.hasMatch())
            continue;
        if (value.present) {
            value.repeated = true;
            return value;
        }
        value.present = true;
        value.text = match.captured(1).trimmed();
        const QRegularExpressionMatch integer = leadingInteger.match(value.text);
        if (integer.hasMatch())
            value.number = integer.captured(1).toInt(&value.isNumber);
    }
    return value;
}

QRegularExpression headerKey(const char *pattern)
{
    return QRegularExpression(QStringLiteral("^\\s*%1\\s*:(.*)$").arg(QLatin1String(pattern)),
                              QRegularExpression::CaseInsensitiveOption);
}

Curve failed(const QString &error)
{
    Curve curve;
    curve.error = error;
    return curve;
}

Curve plainCurve(const QStringList &lines)
{
    Curve curve;
    for (const QString &line : lines) {
        Point point;
        if (plainPoint(withoutLineEnd(line), &point))
            curve.points.append(point);
    }
    return curve;
}

// Such files put a breakpoint number in the first column; read as a plain two-column
// file, that number would silently become the voltage.
Curve breakpointCurve(const QStringList &lines, const HeaderValue &format)
{
    if (!format.isNumber)
        return failed(message(QT_TRANSLATE_NOOP("Widget", "The curve's data format \"%1\" is not a number.")).arg(format.text));

    // Dividing (rather than multiplying by 0.001) keeps a millivolt value that is exact in
    // binary, such as 1644.5, equal to the volt value written in decimal.
    double divisor = 1.0;
    switch (static_cast<DataFormat>(format.number)) {
    case DataFormat::MilliVoltsPerKelvin:
        divisor = MillivoltsPerVolt;
        break;
    case DataFormat::VoltsPerKelvin:
        break;
    case DataFormat::OhmsPerKelvin:
        return failed(message(QT_TRANSLATE_NOOP("Widget", "The curve is in resistance units (Ohm/K), but the instrument's table needs volts.")));
    case DataFormat::LogOhmsPerKelvin:
        return failed(message(QT_TRANSLATE_NOOP("Widget", "The curve is in resistance units (log Ohm/K), but the instrument's table needs volts.")));
    case DataFormat::LogOhmsPerLogKelvin:
        return failed(message(QT_TRANSLATE_NOOP("Widget", "The curve is in resistance units (log Ohm/log K), but the instrument's table needs volts.")));
    default:
        return failed(message(QT_TRANSLATE_NOOP("Widget", "The curve's data format %1 is unknown; only formats 1 (mV/K) and 2 (V/K) can be imported."))
                          .arg(format.number));
    }

    const HeaderValue count = headerValue(lines, headerKey("Number\\s+of\\s+Breakpoints"));
    if (count.repeated)
        return failed(message(QT_TRANSLATE_NOOP("Widget", "The file has more than one \"Number of Breakpoints:\" line.")));
    if (count.present && !count.isNumber)
        return failed(message(QT_TRANSLATE_NOOP("Widget", "The file's number of breakpoints \"%1\" is not a number.")).arg(count.text));

    Curve curve;
    for (const QString &line : lines) {
        double units = 0.0;
        double temperature = 0.0;
        if (breakpointRow(line, &units, &temperature))
            curve.points.append(Point(units / divisor, temperature));
    }
    if (count.present && count.number != curve.points.size()) {
        return failed(message(QT_TRANSLATE_NOOP("Widget", "The header's number of breakpoints (%1) differs from the number of breakpoint rows in the file (%2)."))
                          .arg(count.number)
                          .arg(curve.points.size()));
    }
    return curve;
}

// Sorting by voltage as well makes the merge below independent of the file's order.
bool byTemperature(const Point &a, const Point &b)
{
    return a.second < b.second || (a.second == b.second && a.first < b.first);
}

// Two points at one temperature would make a segment of zero width, whose slope is not
// finite; their mean voltage is the best single value.
QVector<Point> mergeEqualTemperatures(const QVector<Point> &sorted)
{
    QVector<Point> merged;
    for (int first = 0; first < sorted.size();) {
        int end = first;
        double sum = 0.0;
        while (end < sorted.size() && sorted.at(end).second == sorted.at(first).second)
            sum += sorted.at(end++).first;
        merged.append(Point(sum / (end - first), sorted.at(first).second));
        first = end;
    }
    return merged;
}

Result failedResult(const QString &error)
{
    Result result;
    result.error = error;
    return result;
}

} // namespace

QStringList readLines(QIODevice &device, bool *complete)
{
    QStringList lines;
    char buffer[ReadBufferSize];
    if (complete)
        *complete = true;
    while (!device.atEnd()) {
        const qint64 length = device.readLine(buffer, sizeof buffer);
        if (length < 0) {
            if (complete)
                *complete = false;
            break;
        }
        // A NUL byte ends the text even when the line goes on after it.
        lines.append(QString::fromUtf8(buffer, int(qstrnlen(buffer, size_t(length)))));
    }
    return lines;
}

Curve readPoints(QIODevice &device)
{
    if (!device.isReadable())
        return failed(message(QT_TRANSLATE_NOOP("Widget", "The curve cannot be read.")));
    bool complete = false;
    const QStringList lines = readLines(device, &complete);
    // A curve cut short by a read error would resample into a plausible but wrong table.
    if (!complete)
        return failed(message(QT_TRANSLATE_NOOP("Widget", "The file could not be read to its end: %1.")).arg(device.errorString()));
    const HeaderValue format = headerValue(lines, headerKey("Data\\s+Format"));
    if (format.repeated)
        return failed(message(QT_TRANSLATE_NOOP("Widget", "The file has more than one \"Data Format:\" line.")));
    return format.present ? breakpointCurve(lines, format) : plainCurve(lines);
}

Result resample(QVector<Point> points)
{
    if (points.isEmpty())
        return failedResult(message(QT_TRANSLATE_NOOP("Widget", "The file holds no curve points: no line gives both a voltage and a temperature.")));

    std::sort(points.begin(), points.end(), byTemperature);
    points = mergeEqualTemperatures(points);
    for (const Point &point : qAsConst(points)) {
        if (!std::isfinite(point.first))
            return failedResult(message(QT_TRANSLATE_NOOP("Widget", "The curve's voltages are too large to be averaged.")));
    }
    if (points.size() < 2) {
        return failedResult(message(QT_TRANSLATE_NOOP("Widget", "The file has points at only one temperature (%1 K); a curve needs at least two."))
                                .arg(points.first().second));
    }
    const double low = points.first().second;
    const double high = points.last().second;
    if (!(low > 0.0)) {
        return failedResult(message(QT_TRANSLATE_NOOP("Widget", "The curve's lowest temperature is %1 K; every temperature must be above 0 K."))
                                .arg(low));
    }

    // Each temperature is the previous one times the ratio, carried in double precision,
    // so the last row lands on the highest temperature up to rounding.
    const double ratio = std::pow(high / low, 1.0 / (TableRows - 1));
    Result result;
    result.rows.reserve(TableRows);
    double temperature = low;
    int lo = 0;
    int hi = 1;
    for (int row = 0; row < TableRows; ++row) {
        // One forward pass over the segments; past the last point the last segment is
        // kept, so a temperature a rounding step beyond the curve is extrapolated.
        while (temperature > points.at(hi).second && lo < points.size() - 2) {
            lo = hi;
            ++hi;
        }
        const Point &a = points.at(lo);
        const Point &b = points.at(hi);
        const double slope = (b.first - a.first) / (b.second - a.second);
        const double voltage = a.first + (temperature - a.second) * slope;
        if (!fitsFloat(voltage) || !fitsFloat(temperature))
            return failedResult(message(QT_TRANSLATE_NOOP("Widget", "The curve's values are too large: resampling it gives numbers the table cannot hold.")));
        result.rows.append(Point(voltage, temperature));
        temperature *= ratio;
    }
    return result;
}

Result importDevice(QIODevice &device)
{
    const Curve curve = readPoints(device);
    if (!curve.ok())
        return failedResult(curve.error);
    return resample(curve.points);
}

Result importFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return failedResult(message(QT_TRANSLATE_NOOP("Widget", "The file \"%1\" cannot be opened: %2."))
                                .arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    return importDevice(file);
}

} // namespace curveimport
