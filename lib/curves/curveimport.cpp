#include "curveimport.h"

#include "boundedread.h"
#include "numbers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QIODevice>
#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace curveimport {

namespace {

// Header-plus-table curve files name the unit of their sensor column by number.
enum class DataFormat { MilliVoltsPerKelvin = 1, VoltsPerKelvin = 2, OhmsPerKelvin = 3,
                        LogOhmsPerKelvin = 4, LogOhmsPerLogKelvin = 5 };


// Texts reach here as QT_TRANSLATE_NOOP marks, so lupdate still finds them in context.
QString message(const char *text)
{
    return QCoreApplication::translate("curveimport", text);
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

QStringList nonEmpty(const QStringList &parts)
{
    QStringList fields;
    for (const QString &part : parts) {
        if (!part.isEmpty())
            fields.append(part);
    }
    return fields;
}

// How a plain line splits into fields. A tab-separated line keeps every field, empty ones
// too, so a missing value is seen as missing. A line without a tab but with a comma is a
// CSV export: commas separate, and a decimal comma therefore never forms a number. Otherwise
// columns are usually aligned with several spaces, so runs of spaces separate and spaces
// around the line do not make empty fields.
enum class Separator { Tab, Comma, Spaces };

Separator separatorOf(const QString &line)
{
    if (line.contains(QLatin1Char('\t')))
        return Separator::Tab;
    return line.contains(QLatin1Char(',')) ? Separator::Comma : Separator::Spaces;
}

// The reading for lines that are not plain ASCII, where white space and the text's decoding
// follow Unicode's rules: the fields as QString sees them.
bool firstTwoFields(const QString &line, QString *first, QString *second)
{
    QStringList fields;
    switch (separatorOf(line)) {
    case Separator::Tab:
        fields = line.split(QLatin1Char('\t'));
        break;
    case Separator::Comma:
        fields = line.split(QLatin1Char(','));
        break;
    case Separator::Spaces:
        fields = nonEmpty(line.split(QLatin1Char(' ')));
        break;
    }
    if (fields.size() < 2)
        return false;
    *first = fields.at(0).trimmed();
    *second = fields.at(1).trimmed();
    return true;
}

// A run of bytes inside the text being read.
struct Span
{
    const char *begin = nullptr;
    const char *end = nullptr;
    QString text() const { return QString::fromUtf8(begin, int(end - begin)); }
};

// memchr rather than QByteArray::contains, which looks at one byte at a time.
bool contains(Span text, char byte)
{
    return std::memchr(text.begin, byte, size_t(text.end - text.begin)) != nullptr;
}

Span wholeOf(const QByteArray &bytes)
{
    return {bytes.constData(), bytes.constData() + bytes.size()};
}

Separator separatorOf(Span line)
{
    if (contains(line, '\t'))
        return Separator::Tab;
    return contains(line, ',') ? Separator::Comma : Separator::Spaces;
}

// The same splitting on plain ASCII bytes, where every separator is one byte.
bool firstTwoFields(Span line, Span *first, Span *second)
{
    const auto find = [&line](const char *from, char byte) {
        const void *found = std::memchr(from, byte, size_t(line.end - from));
        return found ? static_cast<const char *>(found) : line.end;
    };
    const Separator separator = separatorOf(line);
    if (separator != Separator::Spaces) {
        const char byte = separator == Separator::Tab ? '\t' : ',';
        const char *firstEnd = find(line.begin, byte);
        if (firstEnd == line.end)
            return false;
        *first = {line.begin, firstEnd};
        *second = {firstEnd + 1, find(firstEnd + 1, byte)};
        return true;
    }
    const auto skipSpaces = [&line](const char *from) {
        while (from < line.end && *from == ' ')
            ++from;
        return from;
    };
    const char *firstBegin = skipSpaces(line.begin);
    const char *firstEnd = find(firstBegin, ' ');
    const char *secondBegin = skipSpaces(firstEnd);
    if (firstBegin == firstEnd || secondBegin == line.end)
        return false;
    *first = {firstBegin, firstEnd};
    *second = {secondBegin, find(secondBegin, ' ')};
    return true;
}

bool isAsciiSpace(char byte)
{
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

// Reads an ASCII field exactly as QString::toDouble does in the C locale (surrounding white
// space ignored, an optional sign, no group separators), without building a string.
bool toNumber(Span field, double *value)
{
    const char *begin = field.begin;
    const char *end = field.end;
    while (begin < end && isAsciiSpace(*begin))
        ++begin;
    while (end > begin && isAsciiSpace(end[-1]))
        --end;
    // from_chars takes a minus sign only.
    if (begin < end && *begin == '+') {
        ++begin;
        if (begin < end && (*begin == '+' || *begin == '-'))
            return false;
    }
    double number = 0.0;
    const std::from_chars_result read = std::from_chars(begin, end, number, std::chars_format::general);
    if (read.ec != std::errc() || read.ptr != end || !std::isfinite(number))
        return false;
    *value = number;
    return true;
}

// UTF-8 encodes everything beyond ASCII in bytes from here up.
constexpr unsigned char FirstNonAsciiByte = 0x80;

bool isAscii(Span text)
{
    for (const char *byte = text.begin; byte < text.end; ++byte) {
        if (static_cast<unsigned char>(*byte) >= FirstNonAsciiByte)
            return false;
    }
    return true;
}

// The first two fields of a line as numbers.
bool plainNumbers(Span line, double *first, double *second)
{
    if (isAscii(line)) {
        Span a;
        Span b;
        return firstTwoFields(line, &a, &b) && toNumber(a, first) && toNumber(b, second);
    }
    // QString::fromUtf8 drops a byte order mark that starts the line, as it should.
    QString a;
    QString b;
    return firstTwoFields(line.text(), &a, &b) && toNumber(a, first) && toNumber(b, second);
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

// The file's text as the window has always read it: QIODevice::readLine into a buffer of
// ReadBufferSize bytes. Each piece ends after its LF or after ReadBufferSize - 1 bytes,
// whichever comes first. Working on the bytes read once, rather than asking the device line
// by line, is what makes a curve of a million points quick.
class Pieces
{
public:
    explicit Pieces(const QByteArray &bytes) : m_next(bytes.constData()), m_end(m_next + bytes.size()) {}

    // The next piece with its line end; false after the last.
    bool next(Span *piece)
    {
        if (m_next == m_end)
            return false;
        const size_t room = size_t(qMin<qint64>(m_end - m_next, ReadBufferSize - 1));
        const void *newline = std::memchr(m_next, '\n', room);
        piece->begin = m_next;
        piece->end = newline ? static_cast<const char *>(newline) + 1 : m_next + room;
        m_next = piece->end;
        return true;
    }

private:
    const char *m_next;
    const char *m_end;
};

// A piece's text: a NUL byte ends it even when the line goes on after it.
Span beforeNul(Span piece)
{
    const void *nul = std::memchr(piece.begin, '\0', size_t(piece.end - piece.begin));
    if (nul)
        piece.end = static_cast<const char *>(nul);
    return piece;
}

Span withoutLineEnd(Span line)
{
    while (line.end > line.begin && (line.end[-1] == '\n' || line.end[-1] == '\r'))
        --line.end;
    return line;
}

QString pieceText(Span piece)
{
    return beforeNul(piece).text();
}

// The whole content, up to the limit. A text-mode device drops every CR byte, wherever it
// stands, before readLine counts the bytes of a piece; done here on the whole text at once,
// which is quicker than the device's byte-by-byte copy.
boundedread::Bytes readAllBytes(QIODevice &device)
{
    const bool textMode = device.isTextModeEnabled();
    device.setTextModeEnabled(false);
    boundedread::Bytes read = boundedread::readAtMost(device, MaxFileBytes);
    device.setTextModeEnabled(textMode);
    QByteArray &bytes = read.bytes;
    if (textMode && contains(wholeOf(bytes), '\r'))
        bytes.resize(int(std::remove(bytes.begin(), bytes.end(), '\r') - bytes.begin()));
    return read;
}

int countLines(const QByteArray &bytes)
{
    int lines = 1;
    const char *end = bytes.constData() + bytes.size();
    for (const char *next = bytes.constData(); next < end; ++lines) {
        const void *newline = std::memchr(next, '\n', size_t(end - next));
        if (!newline)
            break;
        next = static_cast<const char *>(newline) + 1;
    }
    return lines;
}

// The column heading of a plain curve: a skipped line naming both quantities. Temperature
// first there means the file lists temperature first.
enum class Heading { None, VoltageFirst, TemperatureFirst };

Heading headingOf(const QString &line)
{
    static const QRegularExpression temperature(QStringLiteral("\\b(?:temp|kelvin)|\\(k\\)"),
                                                QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression voltage(QStringLiteral("\\bvolt|\\(v\\)"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch t = temperature.match(line);
    const QRegularExpressionMatch v = voltage.match(line);
    if (!t.hasMatch() || !v.hasMatch())
        return Heading::None;
    return t.capturedStart() < v.capturedStart() ? Heading::TemperatureFirst : Heading::VoltageFirst;
}

// Read voltage-first, a temperature-first table imports without a word as a table of
// hundreds of volts: no such sensor exists, so the file is refused instead.
QString implausibleVoltage(int line, double volts)
{
    return message(QT_TRANSLATE_NOOP("curveimport", "Line %1 gives a voltage of %2 V, beyond %3 V: the columns look swapped, or the values are "
                   "not volts. A heading line such as \"Temperature  Voltage\" above the numbers names the "
                   "columns' order."))
        .arg(line)
        .arg(volts, 0, 'g', 6)
        .arg(MostPlausibleVolts);
}

// Lines whose first two fields are not both numbers are skipped; the last skipped line
// before the first point that names both quantities sets the columns' order.
Curve plainCurve(const QByteArray &bytes)
{
    Curve curve;
    curve.points.reserve(countLines(bytes));
    Pieces pieces(bytes);
    Span piece;
    Heading heading = Heading::None;
    bool ordered = false;
    int lineNumber = 0;
    int implausibleLine = 0;
    double implausibleVolts = 0.0;
    while (pieces.next(&piece)) {
        ++lineNumber;
        const Span line = withoutLineEnd(beforeNul(piece));
        double first = 0.0;
        double second = 0.0;
        if (!plainNumbers(line, &first, &second)) {
            if (!ordered) {
                const Heading named = headingOf(line.text());
                if (named != Heading::None)
                    heading = named;
            }
            continue;
        }
        if (!ordered) {
            ordered = true;
            if (heading == Heading::TemperatureFirst)
                curve.columnOrder = ColumnOrder::TemperatureFirst;
        }
        const Point point = curve.columnOrder == ColumnOrder::TemperatureFirst ? Point(second, first)
                                                                               : Point(first, second);
        if (implausibleLine == 0 && std::fabs(point.first) > MostPlausibleVolts) {
            implausibleLine = lineNumber;
            implausibleVolts = point.first;
        }
        curve.points.append(point);
    }
    if (implausibleLine != 0)
        return failed(implausibleVoltage(implausibleLine, implausibleVolts));
    return curve;
}

QStringList pieceTexts(const QByteArray &bytes)
{
    QStringList texts;
    Pieces pieces(bytes);
    Span piece;
    while (pieces.next(&piece))
        texts.append(pieceText(piece));
    return texts;
}

// Header lines end in a colon and a value; a file without a colon has none, so a plain
// curve is never turned into strings just to look for them.
bool mayHaveHeader(const QByteArray &bytes)
{
    return contains(wholeOf(bytes), ':');
}

// Such files put a breakpoint number in the first column; read as a plain two-column
// file, that number would silently become the voltage.
Curve breakpointCurve(const QStringList &lines, const HeaderValue &format)
{
    if (!format.isNumber)
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The curve's data format \"%1\" is not a number.")).arg(format.text));

    // Dividing (rather than multiplying by 0.001) keeps a millivolt value that is exact in
    // binary, such as 1644.5, equal to the volt value written in decimal.
    double divisor = 1.0;
    switch (static_cast<DataFormat>(format.number)) {
    case DataFormat::MilliVoltsPerKelvin:
        divisor = numbers::MillivoltsPerVolt;
        break;
    case DataFormat::VoltsPerKelvin:
        break;
    case DataFormat::OhmsPerKelvin:
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The curve is in resistance units (Ohm/K), but the instrument's table needs volts.")));
    case DataFormat::LogOhmsPerKelvin:
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The curve is in resistance units (log Ohm/K), but the instrument's table needs volts.")));
    case DataFormat::LogOhmsPerLogKelvin:
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The curve is in resistance units (log Ohm/log K), but the instrument's table needs volts.")));
    default:
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The curve's data format %1 is unknown; only formats 1 (mV/K) and 2 (V/K) can be imported."))
                          .arg(format.number));
    }

    const HeaderValue count = headerValue(lines, headerKey("Number\\s+of\\s+Breakpoints"));
    if (count.repeated)
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The file has more than one \"Number of Breakpoints:\" line.")));
    if (count.present && !count.isNumber)
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The file's number of breakpoints \"%1\" is not a number.")).arg(count.text));

    Curve curve;
    for (const QString &line : lines) {
        double units = 0.0;
        double temperature = 0.0;
        if (breakpointRow(line, &units, &temperature))
            curve.points.append(Point(units / divisor, temperature));
    }
    if (count.present && count.number != curve.points.size()) {
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The header's number of breakpoints (%1) differs from the number of breakpoint rows in the file (%2)."))
                          .arg(count.number)
                          .arg(curve.points.size()));
    }
    return curve;
}

// Sorting by voltage as well makes the merge below independent of the file's order. A
// function object rather than a function, so that the sort inlines the comparison.
struct ByTemperature
{
    bool operator()(const Point &a, const Point &b) const
    {
        return a.second < b.second || (a.second == b.second && a.first < b.first);
    }
};

// A double's bits as an unsigned integer that orders as the double does: negative values
// have every bit flipped, the others only the sign bit.
quint64 orderedBits(double value)
{
    constexpr quint64 SignBit = quint64(1) << 63;
    quint64 bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & SignBit) ? ~bits : bits | SignBit;
}

// Below this many points a comparison sort is quicker than counting digits.
constexpr int RadixSortFrom = 256;
constexpr int DigitBits = 11;
constexpr int DigitCount = (64 + DigitBits - 1) / DigitBits;
constexpr int DigitValues = 1 << DigitBits;

int digitOf(quint64 key, int digit)
{
    return int((key >> (digit * DigitBits)) & (DigitValues - 1));
}

// The same order as ByTemperature. A large curve is sorted by temperature with a radix
// sort (a few linear passes instead of a million-point comparison sort), then points that
// share a temperature are ordered by voltage.
void sortByTemperature(QVector<Point> &points)
{
    const int size = points.size();
    if (size < RadixSortFrom) {
        std::sort(points.begin(), points.end(), ByTemperature());
        return;
    }
    std::vector<std::array<int, DigitValues>> counts(DigitCount);
    for (auto &digitCounts : counts)
        digitCounts.fill(0);
    for (const Point &point : qAsConst(points)) {
        const quint64 key = orderedBits(point.second);
        for (int digit = 0; digit < DigitCount; ++digit)
            ++counts[size_t(digit)][size_t(digitOf(key, digit))];
    }
    QVector<Point> spare(size);
    Point *from = points.data();
    Point *to = spare.data();
    for (int digit = 0; digit < DigitCount; ++digit) {
        std::array<int, DigitValues> &starts = counts[size_t(digit)];
        // A digit that all keys share leaves the order as it is.
        if (starts[size_t(digitOf(orderedBits(from[0].second), digit))] == size)
            continue;
        int start = 0;
        for (int &count : starts) {
            const int next = start + count;
            count = start;
            start = next;
        }
        for (int index = 0; index < size; ++index)
            to[starts[size_t(digitOf(orderedBits(from[index].second), digit))]++] = from[index];
        std::swap(from, to);
    }
    if (from != points.constData())
        points.swap(spare);
    for (int first = 0; first < size;) {
        int end = first + 1;
        while (end < size && points.at(end).second == points.at(first).second)
            ++end;
        if (end - first > 1)
            std::sort(points.begin() + first, points.begin() + end, ByTemperature());
        first = end;
    }
}

// Two points at one temperature would make a segment of zero width, whose slope is not
// finite; their mean voltage is the best single value. Merged in place, as a curve may
// hold millions of points.
void mergeEqualTemperatures(QVector<Point> &sorted)
{
    int kept = 0;
    for (int first = 0; first < sorted.size();) {
        int end = first;
        double sum = 0.0;
        while (end < sorted.size() && sorted.at(end).second == sorted.at(first).second)
            sum += sorted.at(end++).first;
        sorted[kept++] = Point(sum / (end - first), sorted.at(first).second);
        first = end;
    }
    sorted.resize(kept);
}

Result failedResult(const QString &error)
{
    Result result;
    result.error = error;
    return result;
}

} // namespace

QString columnOrderText(ColumnOrder order)
{
    switch (order) {
    case ColumnOrder::VoltageFirst:
        return message(QT_TRANSLATE_NOOP("curveimport", "voltage, temperature"));
    case ColumnOrder::TemperatureFirst:
        return message(QT_TRANSLATE_NOOP("curveimport", "temperature, voltage"));
    case ColumnOrder::Breakpoints:
        return message(QT_TRANSLATE_NOOP("curveimport", "number, units, temperature"));
    }
    return QString();
}

QStringList readLines(QIODevice &device, bool *complete)
{
    const boundedread::Bytes read = readAllBytes(device);
    if (complete)
        *complete = read.end == boundedread::End::Complete;
    return pieceTexts(read.bytes);
}

Curve readPoints(QIODevice &device)
{
    if (!device.isReadable())
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The curve cannot be read.")));
    const boundedread::Bytes read = readAllBytes(device);
    if (read.end == boundedread::End::TooLarge)
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The file is larger than %1 MiB, far more than any "
                                                               "curve; it was not read."))
                          .arg(MaxFileBytes / (1024 * 1024)));
    // A curve cut short by a read error would resample into a plausible but wrong table.
    if (read.end == boundedread::End::Failed)
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The file could not be read to its end: %1.")).arg(device.errorString()));
    const QByteArray &bytes = read.bytes;
    if (mayHaveHeader(bytes)) {
        const QStringList lines = pieceTexts(bytes);
        const HeaderValue format = headerValue(lines, headerKey("Data\\s+Format"));
        if (format.repeated)
            return failed(message(QT_TRANSLATE_NOOP("curveimport", "The file has more than one \"Data Format:\" line.")));
        if (format.present) {
            Curve curve = breakpointCurve(lines, format);
            curve.columnOrder = ColumnOrder::Breakpoints;
            return curve;
        }
    }
    return plainCurve(bytes);
}

Curve readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return failed(message(QT_TRANSLATE_NOOP("curveimport", "The file \"%1\" cannot be opened: %2."))
                          .arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    return readPoints(file);
}

QVector<Point> sortedAndMerged(QVector<Point> points)
{
    sortByTemperature(points);
    mergeEqualTemperatures(points);
    return points;
}

QString curveProblem(const QVector<Point> &sorted)
{
    if (sorted.isEmpty())
        return message(QT_TRANSLATE_NOOP("curveimport", "The file holds no curve points: no line gives both a voltage and a temperature."));
    for (const Point &point : sorted) {
        if (!std::isfinite(point.first))
            return message(QT_TRANSLATE_NOOP("curveimport", "The curve's voltages are too large to be averaged."));
    }
    if (sorted.size() < 2) {
        return message(QT_TRANSLATE_NOOP("curveimport", "The file has points at only one temperature (%1 K); a curve needs at least two."))
            .arg(sorted.first().second);
    }
    if (!(sorted.first().second > 0.0)) {
        return message(QT_TRANSLATE_NOOP("curveimport", "The curve's lowest temperature is %1 K; every temperature must be above 0 K."))
            .arg(sorted.first().second);
    }
    return QString();
}

QString tooLargeForTheTable()
{
    return message(QT_TRANSLATE_NOOP("curveimport", "The curve's values are too large: resampling it gives numbers the table cannot hold."));
}

Result resample(QVector<Point> points)
{
    points = sortedAndMerged(std::move(points));
    const QString problem = curveProblem(points);
    if (!problem.isEmpty())
        return failedResult(problem);
    const double low = points.first().second;
    const double high = points.last().second;

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
        if (!numbers::fitsFloat(voltage) || !numbers::fitsFloat(temperature))
            return failedResult(tooLargeForTheTable());
        result.rows.append(Point(voltage, temperature));
        temperature *= ratio;
    }
    return result;
}

Result importStream(QIODevice &device)
{
    Curve curve = readPoints(device);
    if (!curve.ok())
        return failedResult(curve.error);
    return resample(std::move(curve.points));
}

Result importFile(const QString &path)
{
    Curve curve = readFile(path);
    if (!curve.ok())
        return failedResult(curve.error);
    return resample(std::move(curve.points));
}

} // namespace curveimport
