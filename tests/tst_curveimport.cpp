#include "curveimport.h"
#include "curvemath.h"
#include "monotonecubic.h"
#include "tablespacing.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

using testsupport::FailingDevice;

using curveimport::Point;
using Points = QVector<Point>;
Q_DECLARE_METATYPE(curveimport::ColumnOrder)

namespace QTest {
template<>
char *toString(const Points &points)
{
    QByteArray text = "{";
    for (const Point &point : points)
        text += " (" + QByteArray::number(point.first, 'g', 17) + ", "
                + QByteArray::number(point.second, 'g', 17) + ")";
    return qstrdup(text + " }");
}
} // namespace QTest

using testsupport::importBytes;

namespace {

curveimport::Curve pointsOf(const QByteArray &bytes)
{
    QByteArray data = bytes;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    return curveimport::readPoints(buffer);
}

// What the grid shows for a value: narrowed to float, then 6 significant digits.
QString shown(double value)
{
    return QString::number(double(float(value)), 'g', 6);
}

QStringList shownRows(const Points &rows)
{
    QStringList texts;
    for (const Point &row : rows)
        texts << shown(row.first) + QLatin1Char('/') + shown(row.second);
    return texts;
}

QByteArray curveText(const Points &points, const char *separator = "\t", const char *lineEnd = "\n")
{
    QByteArray text;
    for (const Point &point : points)
        text += QByteArray::number(point.first, 'g', 17) + separator
                + QByteArray::number(point.second, 'g', 17) + lineEnd;
    return text;
}

// Linear interpolation on the segment that brackets the temperature, found by binary
// search; outside the curve the end segment is extended.
double interpolated(const Points &sorted, double temperature)
{
    auto above = std::upper_bound(sorted.begin(), sorted.end(), temperature,
                                  [](double t, const Point &p) { return t < p.second; });
    int hi = int(above - sorted.begin());
    hi = qBound(1, hi, sorted.size() - 1);
    const Point &a = sorted.at(hi - 1);
    const Point &b = sorted.at(hi);
    return a.first + (temperature - a.second) * (b.first - a.first) / (b.second - a.second);
}

QString dataFile(const char *name)
{
    return QStringLiteral(THERMOCAL_TEST_DATA "/curves/") + QLatin1String(name);
}

// The import as it was first written, kept as the reference for the fast one: the device
// read line by line into a 1024-byte buffer, fields as QStrings read by QString::toDouble,
// the points sorted, equal temperatures merged, the table resampled. It knows plain
// voltage-first curves only.
namespace reference {

QStringList readLines(QIODevice &device)
{
    QStringList lines;
    char buffer[curveimport::ReadBufferSize];
    while (!device.atEnd()) {
        const qint64 length = device.readLine(buffer, sizeof buffer);
        if (length < 0)
            break;
        lines.append(QString::fromUtf8(buffer, int(qstrnlen(buffer, size_t(length)))));
    }
    return lines;
}

bool toNumber(const QString &field, double *value)
{
    bool ok = false;
    *value = field.toDouble(&ok);
    return ok && std::isfinite(*value);
}

Points points(const QByteArray &bytes)
{
    QByteArray data = bytes;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    Points points;
    for (QString line : readLines(buffer)) {
        while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        QStringList fields = line.split(QLatin1Char('\t'));
        if (!line.contains(QLatin1Char('\t'))) {
            fields = line.split(QLatin1Char(' '));
            fields.removeAll(QString());
        }
        double voltage = 0.0;
        double temperature = 0.0;
        if (fields.size() >= 2 && toNumber(fields.at(0), &voltage) && toNumber(fields.at(1), &temperature))
            points << Point(voltage, temperature);
    }
    return points;
}

// Sorted by (temperature, voltage), points at one temperature merged into their mean voltage.
Points sortedAndMerged(Points points)
{
    std::sort(points.begin(), points.end(), [](const Point &a, const Point &b) {
        return a.second < b.second || (a.second == b.second && a.first < b.first);
    });
    Points merged;
    for (int first = 0; first < points.size();) {
        int end = first;
        double sum = 0.0;
        while (end < points.size() && points.at(end).second == points.at(first).second)
            sum += points.at(end++).first;
        merged << Point(sum / (end - first), points.at(first).second);
        first = end;
    }
    return merged;
}

Points table(Points points)
{
    const Points merged = sortedAndMerged(std::move(points));
    const double ratio = std::pow(merged.last().second / merged.first().second, 1.0 / 99);
    Points rows;
    double temperature = merged.first().second;
    int lo = 0;
    int hi = 1;
    for (int row = 0; row < 100; ++row) {
        while (temperature > merged.at(hi).second && lo < merged.size() - 2)
            lo = hi++;
        const Point &a = merged.at(lo);
        const Point &b = merged.at(hi);
        rows << Point(a.first + (temperature - a.second) * ((b.first - a.first) / (b.second - a.second)),
                      temperature);
        temperature *= ratio;
    }
    return rows;
}

} // namespace reference

// Equal to the last bit, so that 0 and -0 differ too.
bool identical(const Points &a, const Points &b)
{
    return a.size() == b.size()
           && std::memcmp(a.constData(), b.constData(), sizeof(Point) * size_t(a.size())) == 0;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A curve with a few of everything the reader meets: fields written in several ways, junk
// lines, repeated temperatures, shuffled order.
QByteArray randomCurve(std::mt19937 &random, int count, const char *separator, const char *lineEnd)
{
    std::uniform_real_distribution<double> kelvin(1.0, 500.0);
    std::uniform_int_distribution<int> digits(1, 17);
    std::uniform_int_distribution<int> percent(0, 99);
    QByteArray text;
    QVector<double> temperatures;
    for (int i = 0; i < count; ++i) {
        const int chance = percent(random);
        if (chance < 3) {
            text += QByteArray("# note ") + QByteArray::number(i) + lineEnd;
            continue;
        }
        const double temperature = chance < 10 && !temperatures.isEmpty()
                                       ? temperatures.at(int(random() % unsigned(temperatures.size())))
                                       : kelvin(random);
        temperatures << temperature;
        const double voltage = 1.165 - 0.00215 * temperature + 0.52 * std::exp(-temperature / 15.0);
        QByteArray volts = QByteArray::number(voltage, chance % 2 ? 'g' : 'e', digits(random));
        if (chance % 7 == 0)
            volts.prepend('+');
        if (chance % 5 == 0)
            volts.prepend("  ");
        text += volts + separator + QByteArray::number(temperature, 'g', 17) + lineEnd;
    }
    return text;
}

const QByteArray workedExampleText = "1.0\t10\n0.5\t300\n";

// A silicon-diode-like curve, sorted by temperature.
const Points diodeCurve = {
    {1.6898, 1.4}, {1.5868, 3.0}, {1.4845, 5.0}, {1.3182, 10.0}, {1.1771, 20.0},
    {1.1255, 30.0}, {1.0864, 50.0}, {1.0325, 77.35}, {0.9875, 100.0}, {0.7853, 200.0},
    {0.5771, 300.0}, {0.3629, 400.0}, {0.1427, 500.0},
};

// The rows as the instrument holds them: each value rounded to single precision.
Points inFloat(Points rows)
{
    for (Point &row : rows)
        row = Point(double(float(row.first)), double(float(row.second)));
    return rows;
}

// Empty when the rows, rounded to single precision, rise strictly in temperature and keep one
// voltage direction strictly; otherwise the first row that breaks it.
QString floatOrderProblem(const Points &rows)
{
    const float direction = float(rows.last().first) > float(rows.first().first) ? 1.0f : -1.0f;
    for (int row = 1; row < rows.size(); ++row) {
        if (!(float(rows.at(row).second) > float(rows.at(row - 1).second))
            || !((float(rows.at(row).first) - float(rows.at(row - 1).first)) * direction > 0.0f))
            return QStringLiteral("row %1 (%2 V, %3 K)").arg(row).arg(rows.at(row).first, 0, 'g', 17).arg(rows.at(row).second, 0, 'g', 17);
    }
    return QString();
}

// The knee curve sampled finely near its knee and coarsely elsewhere, as a file would.
Points kneeCurve()
{
    Points points;
    for (double kelvin = 1.2; kelvin < 20.0; kelvin += 0.1)
        points << Point(testsupport::kneeDiodeVolts(kelvin), kelvin);
    for (double kelvin = 20.0; kelvin < 32.0; kelvin += 0.02)
        points << Point(testsupport::kneeDiodeVolts(kelvin), kelvin);
    for (double kelvin = 32.0; kelvin <= 500.0; kelvin += 0.5)
        points << Point(testsupport::kneeDiodeVolts(kelvin), kelvin);
    return points;
}

// A diode whose curve bends smoothly below 40 K and is exactly straight above it: V falls by
// 2 mV/K there, and below it the bend adds 0.2 mV/K^2 times the square of the distance.
Points kneeThenStraight()
{
    Points points;
    for (double kelvin = 2.0; kelvin <= 500.0; kelvin += 0.5) {
        const double below = std::max(0.0, 40.0 - kelvin);
        points << Point(1.2 - 0.002 * kelvin + 0.0002 * below * below, kelvin);
    }
    return points;
}

} // namespace

class TestCurveImport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void workedExample_data();
    void workedExample();
    void titleLineLeavesWorkedExampleExact();
    void pointOrderDoesNotMatter_data();
    void pointOrderDoesNotMatter();
    void manyPointsGiveOneHundredRows();
    void twoPointsFillTheTableFromOneSegment();
    void lineRules_data();
    void lineRules();
    void crLfGivesTheSameTableAsLf();
    void longLineIsReadInPieces();
    void readErrorRefusesTheCurve();
    void equalTemperaturesAreMerged_data();
    void equalTemperaturesAreMerged();
    void refused_data();
    void refused();
    void unopenableFileIsRefused_data();
    void unopenableFileIsRefused();
    void importFileReadsInTextMode();
    void neverNonFinite_data();
    void neverNonFinite();
    void breakpointTables_data();
    void breakpointTables();
    void shippedCurves_data();
    void shippedCurves();
    void shippedResistanceCurveIsRefused();
    void matchesTheReference_data();
    void matchesTheReference();
    void piecesMatchReadLine_data();
    void piecesMatchReadLine();
    void numberSyntaxIsToDoubles_data();
    void numberSyntaxIsToDoubles();
    void columnOrder_data();
    void columnOrder();
    void sortedMatchesAComparisonSort_data();
    void sortedMatchesAComparisonSort();
    void curvatureRows_data();
    void curvatureRows();
    void curvatureLeavesStraightStretchesAlone();
    void curvatureOnTwoPoints();
    void curvatureKeepsRowsApartInFloat();
    void curvatureRefuses_data();
    void curvatureRefuses();
    void curvatureNeverNonFinite_data();
    void curvatureNeverNonFinite();
    void spacingNames();
};

void TestCurveImport::workedExample_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("voltage");
    QTest::addColumn<QString>("temperature");

    QTest::newRow("first") << 0 << "1" << "10";
    QTest::newRow("second") << 1 << "0.999397" << "10.3495";
    QTest::newRow("row 33") << 33 << "0.963668" << "31.0723";
    QTest::newRow("last") << 99 << "0.5" << "300";
}

void TestCurveImport::workedExample()
{
    QFETCH(int, row);
    QFETCH(QString, voltage);
    QFETCH(QString, temperature);

    const curveimport::Result result = importBytes(workedExampleText);
    QVERIFY2(result.ok(), qPrintable(result.error));
    QCOMPARE(result.rows.size(), curveimport::TableRows);
    QCOMPARE(shown(result.rows.at(row).first), voltage);
    QCOMPARE(shown(result.rows.at(row).second), temperature);
}

void TestCurveImport::titleLineLeavesWorkedExampleExact()
{
    const curveimport::Result plain = importBytes(workedExampleText);
    const curveimport::Result titled = importBytes("Voltage (V)\tTemperature (K)\n" + workedExampleText);
    QVERIFY2(titled.ok(), qPrintable(titled.error));
    QCOMPARE(titled.rows, plain.rows);
    QCOMPARE(shown(titled.rows.at(1).first), QStringLiteral("0.999397"));
    QCOMPARE(shown(titled.rows.at(1).second), QStringLiteral("10.3495"));
}

void TestCurveImport::pointOrderDoesNotMatter_data()
{
    QTest::addColumn<QByteArray>("sorted");
    QTest::addColumn<QByteArray>("reordered");

    Points descending = diodeCurve;
    std::reverse(descending.begin(), descending.end());
    const QVector<int> order = {7, 2, 11, 0, 9, 4, 12, 1, 6, 10, 3, 8, 5};
    Points shuffled;
    for (int index : order)
        shuffled << diodeCurve.at(index);

    QTest::newRow("descending") << curveText(diodeCurve) << curveText(descending);
    QTest::newRow("shuffled") << curveText(diodeCurve) << curveText(shuffled);
    // Summed in file order, 0.1 + 0.2 + 0.3 and 0.3 + 0.2 + 0.1 differ in the last bit.
    QTest::newRow("shared temperature, either order")
        << QByteArray("0.1\t100\n0.2\t100\n0.3\t100\n1.6\t2\n0.05\t500\n")
        << QByteArray("0.05\t500\n0.3\t100\n1.6\t2\n0.2\t100\n0.1\t100\n");
}

void TestCurveImport::pointOrderDoesNotMatter()
{
    QFETCH(QByteArray, sorted);
    QFETCH(QByteArray, reordered);

    const curveimport::Result expected = importBytes(sorted);
    const curveimport::Result actual = importBytes(reordered);
    QVERIFY2(expected.ok(), qPrintable(expected.error));
    QVERIFY2(actual.ok(), qPrintable(actual.error));
    QCOMPARE(actual.rows, expected.rows);
}

void TestCurveImport::manyPointsGiveOneHundredRows()
{
    // A curved line, so that taking the wrong segment shows in the voltage.
    Points points;
    for (int i = 0; i < 500; ++i) {
        const double temperature = 2.0 + i;
        points << Point(1.7 - 0.25 * std::log(temperature), temperature);
    }
    const curveimport::Result result = importBytes(curveText(points));
    QVERIFY2(result.ok(), qPrintable(result.error));
    QCOMPARE(result.rows.size(), curveimport::TableRows);

    const double ratio = std::pow(501.0 / 2.0, 1.0 / 99);
    QCOMPARE(result.rows.first().second, 2.0);
    for (int row = 0; row < result.rows.size(); ++row) {
        const double temperature = result.rows.at(row).second;
        if (row > 0)
            QVERIFY(qAbs(temperature / result.rows.at(row - 1).second - ratio) < 1e-12);
        const double expected = interpolated(points, temperature);
        QVERIFY2(qAbs(result.rows.at(row).first - expected) < 1e-12,
                 qPrintable(QStringLiteral("row %1: %2 instead of %3")
                                .arg(row).arg(result.rows.at(row).first, 0, 'g', 17).arg(expected, 0, 'g', 17)));
    }
    QVERIFY(qAbs(result.rows.last().second - 501.0) < 1e-9);
    QCOMPARE(shown(result.rows.last().first), shown(points.last().first));
}

void TestCurveImport::twoPointsFillTheTableFromOneSegment()
{
    const curveimport::Result result = importBytes("0.1\t500\n1.6\t1.5\n");
    QVERIFY2(result.ok(), qPrintable(result.error));
    QCOMPARE(result.rows.size(), curveimport::TableRows);
    QCOMPARE(result.rows.first(), Point(1.6, 1.5));

    // Each temperature is the previous one times the ratio, not the lowest times a power.
    const double ratio = std::pow(500 / 1.5, 1.0 / 99);
    const double slope = (0.1 - 1.6) / (500 - 1.5);
    for (int row = 1; row < result.rows.size(); ++row) {
        const Point &point = result.rows.at(row);
        // Exact equality on purpose: QCOMPARE would allow a rounding difference.
        QVERIFY2(point.second == result.rows.at(row - 1).second * ratio,
                 qPrintable(QStringLiteral("row %1: %2").arg(row).arg(point.second, 0, 'g', 17)));
        QVERIFY2(qAbs((point.first - 1.6) / (point.second - 1.5) - slope) < 1e-12,
                 qPrintable(QStringLiteral("row %1 is off the line").arg(row)));
    }
    QCOMPARE(shown(result.rows.last().first), QStringLiteral("0.1"));
    QCOMPARE(shown(result.rows.last().second), QStringLiteral("500"));
}

// Curves are C-locale text whatever the system's locale; German uses a decimal comma and a
// point for grouping, so reading that followed the default locale would show.
void TestCurveImport::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
}

void TestCurveImport::lineRules_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<Points>("points");

    QTest::newRow("tab") << QByteArray("1.0\t10\n") << Points{{1.0, 10}};
    QTest::newRow("one space") << QByteArray("1.0 10\n") << Points{{1.0, 10}};
    QTest::newRow("two spaces") << QByteArray("1.0  10\n") << Points{{1.0, 10}};
    QTest::newRow("leading space") << QByteArray(" 1.0 10\n") << Points{{1.0, 10}};
    QTest::newRow("aligned columns") << QByteArray("   1.0     10   \n") << Points{{1.0, 10}};
    QTest::newRow("space before tab") << QByteArray("1.0 \t10\n") << Points{{1.0, 10}};
    QTest::newRow("tab prevents space split") << QByteArray("1.0 2.0\t10\n") << Points{};
    QTest::newRow("tab after two numbers") << QByteArray("1.0 10\t\n") << Points{};
    QTest::newRow("leading tab") << QByteArray("\t1.0\t10\n") << Points{};
    QTest::newRow("empty tab field") << QByteArray("1.0\t\t10\n") << Points{};
    QTest::newRow("third tab column") << QByteArray("1.0\t10\tbath A\n") << Points{{1.0, 10}};
    QTest::newRow("third space column") << QByteArray("1.0 10 7\n") << Points{{1.0, 10}};
    QTest::newRow("blank lines") << QByteArray("\n\n1.0\t10\n   \n\n") << Points{{1.0, 10}};
    QTest::newRow("lone number") << QByteArray("5\n1.0\t10\n7.5\n") << Points{{1.0, 10}};
    QTest::newRow("column titles") << QByteArray("Voltage\tTemperature\n1.0\t10\n") << Points{{1.0, 10}};
    QTest::newRow("comment") << QByteArray("# curve 12\n1.0 10\n") << Points{{1.0, 10}};
    QTest::newRow("word for temperature") << QByteArray("1.0\tcold\n0.5\t300\n") << Points{{0.5, 300}};
    QTest::newRow("nan and inf") << QByteArray("nan\t10\n1.0\tinf\n-inf\t5\n0.5\t300\n") << Points{{0.5, 300}};
    QTest::newRow("overflowing number") << QByteArray("1e400\t10\n") << Points{};
    QTest::newRow("sign and exponent") << QByteArray("-1.5e-3\t+4.2E1\n") << Points{{-1.5e-3, 42}};
    QTest::newRow("decimal comma") << QByteArray("1,5\t10\n") << Points{};
    QTest::newRow("point between thousands") << QByteArray("1.500\t1.000\n") << Points{{1.5, 1}};
    QTest::newRow("no final line end") << QByteArray("1.0\t10\n0.5\t300") << Points{{1.0, 10}, {0.5, 300}};
    QTest::newRow("NUL ends the line") << QByteArray("1.0\t1\0" "5\n", 8) << Points{{1.0, 1}};
    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF" "1.0\t10\n") << Points{{1.0, 10}};
    QTest::newRow("file order kept") << QByteArray("0.5\t300\n1.0\t10\n0.7\t100\n")
                                     << Points{{0.5, 300}, {1.0, 10}, {0.7, 100}};
    QTest::newRow("three columns without a header")
        << QByteArray("1 0.9 300\n2 1.0 10\n") << Points{{1, 0.9}, {2, 1.0}};
}

void TestCurveImport::lineRules()
{
    QFETCH(QByteArray, text);
    QFETCH(Points, points);

    const curveimport::Curve curve = pointsOf(text);
    QVERIFY2(curve.ok(), qPrintable(curve.error));
    QCOMPARE(curve.points, points);
}

void TestCurveImport::crLfGivesTheSameTableAsLf()
{
    const curveimport::Result lf = importBytes(curveText(diodeCurve, "\t", "\n"));
    const curveimport::Result crLf = importBytes(curveText(diodeCurve, "\t", "\r\n"));
    const curveimport::Result spacedCrLf = importBytes(curveText(diodeCurve, "  ", "\r\n"));
    QVERIFY2(lf.ok(), qPrintable(lf.error));
    QCOMPARE(crLf.rows, lf.rows);
    QCOMPARE(spacedCrLf.rows, lf.rows);
}

void TestCurveImport::longLineIsReadInPieces()
{
    // Read as one line, the second field would be "20   ...3.0" and both points lost.
    QByteArray firstPiece = "2.0\t20";
    firstPiece += QByteArray(curveimport::ReadBufferSize - 1 - firstPiece.size(), ' ');
    const QByteArray longLine = firstPiece + "3.0\t30\n";
    const QByteArray text = "1.0\t10\n" + longLine + "4.0\t40\n";

    QByteArray data = text;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    const QStringList lines = curveimport::readLines(buffer);
    QCOMPARE(lines, (QStringList{QStringLiteral("1.0\t10\n"), QString::fromLatin1(firstPiece),
                                 QStringLiteral("3.0\t30\n"), QStringLiteral("4.0\t40\n")}));

    const curveimport::Curve curve = pointsOf(text);
    QCOMPARE(curve.points, (Points{{1.0, 10}, {2.0, 20}, {3.0, 30}, {4.0, 40}}));
}

void TestCurveImport::readErrorRefusesTheCurve()
{
    FailingDevice device(workedExampleText);
    QVERIFY(device.open(QIODevice::ReadOnly | QIODevice::Text));
    const curveimport::Result result = curveimport::importStream(device);
    QVERIFY(!result.ok());
    QVERIFY(result.rows.isEmpty());
    QVERIFY2(result.error.contains(QLatin1String("Input/output error")), qPrintable(result.error));
    QVERIFY2(device.failedReads() < FailingDevice::GiveUpAfter, "reading went on after the error");
}

void TestCurveImport::equalTemperaturesAreMerged_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("equivalent");

    QTest::newRow("two at the lowest") << QByteArray("1.0\t10\n3.0\t10\n0.5\t300\n")
                                       << QByteArray("2.0\t10\n0.5\t300\n");
    QTest::newRow("three in the middle") << QByteArray("1.5\t10\n1.0\t50\n0.5\t50\n1.5\t50\n0.2\t300\n")
                                         << QByteArray("1.5\t10\n1.0\t50\n0.2\t300\n");
    QTest::newRow("two at the highest") << QByteArray("1.0\t10\n0.25\t300\n0.75\t300\n")
                                        << QByteArray("1.0\t10\n0.5\t300\n");
}

void TestCurveImport::equalTemperaturesAreMerged()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, equivalent);

    const curveimport::Result merged = importBytes(text);
    const curveimport::Result expected = importBytes(equivalent);
    QVERIFY2(merged.ok(), qPrintable(merged.error));
    QVERIFY2(expected.ok(), qPrintable(expected.error));
    QCOMPARE(merged.rows, expected.rows);
    for (const Point &row : merged.rows)
        QVERIFY(std::isfinite(row.first));
}

void TestCurveImport::refused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("reason");

    const QByteArray breakpoints = "No.   Units      Temperature (K)\n\n"
                                   "  1  0.1427      500.0\n"
                                   "  2  1.0325       77.35\n"
                                   "  3  1.6898        1.4\n";

    QTest::newRow("empty file") << QByteArray() << "no curve points";
    QTest::newRow("blank lines and lone numbers") << QByteArray("\n5\n\n2.5\n") << "no curve points";
    QTest::newRow("titles only") << QByteArray("Voltage\tTemperature\n") << "no curve points";
    QTest::newRow("one point") << QByteArray("1.0\t10\n") << "only one temperature";
    QTest::newRow("one temperature twice") << QByteArray("1.0\t10\n0.5\t10\n") << "only one temperature";
    QTest::newRow("zero lowest temperature") << QByteArray("1.0\t0\n0.5\t300\n") << "above 0 K";
    QTest::newRow("negative lowest temperature") << QByteArray("1.0\t-5\n0.5\t300\n") << "above 0 K";
    QTest::newRow("ohms") << "Data Format: 3 (Ohms/Kelvin)\n" + breakpoints << "resistance units (Ohm/K)";
    QTest::newRow("log ohms") << "Data Format: 4 (Log Ohms/Kelvin)\n" + breakpoints << "resistance units (log Ohm/K)";
    QTest::newRow("log ohms, log kelvin") << "Data Format: 5\n" + breakpoints << "resistance units (log Ohm/log K)";
    QTest::newRow("format 0") << "Data Format: 0\n" + breakpoints << "format 0 is unknown";
    QTest::newRow("format 6") << "Data Format: 6 (Volts/Kelvin)\n" + breakpoints << "format 6 is unknown";
    QTest::newRow("format not a number") << "Data Format: volts\n" + breakpoints << "\"volts\" is not a number";
    QTest::newRow("fractional format") << "Data Format: 2.5\n" + breakpoints << "\"2.5\" is not a number";
    QTest::newRow("format given twice") << "Data Format: 2\nData Format: 1\n" + breakpoints
                                        << "more than one \"Data Format:\"";
    QTest::newRow("more breakpoints announced")
        << "Data Format: 2\nNumber of Breakpoints: 4\n" + breakpoints << "number of breakpoints (4)";
    QTest::newRow("fewer breakpoints announced")
        << "Data Format: 2\nNumber of Breakpoints: 2\n" + breakpoints << "number of breakpoints (2)";
    QTest::newRow("breakpoint row lacking a column")
        << "Data Format: 2\nNumber of Breakpoints: 4\n" + breakpoints + "  4  1.7\n" << "rows in the file (3)";
    QTest::newRow("breakpoint count not a number")
        << "Data Format: 2\nNumber of Breakpoints: many\n" + breakpoints << "\"many\" is not a number";
    QTest::newRow("breakpoint count given twice")
        << "Data Format: 2\nNumber of Breakpoints: 3\nNumber of Breakpoints: 3\n" + breakpoints
        << "more than one \"Number of Breakpoints:\"";
    QTest::newRow("one breakpoint")
        << QByteArray("Data Format: 2\n  1  1.0  10\n") << "only one temperature";
    QTest::newRow("temperature first without a heading")
        << QByteArray("1.4\t1.6898\n300.02\t0.5596\n") << "Line 2 gives a voltage of 300.02 V, beyond 10 V: "
                                                        "the columns look swapped, or the values are not volts";
    QTest::newRow("says what names the order")
        << QByteArray("300.02\t0.5596\n") << "A heading line such as \"Temperature  Voltage\" above the numbers "
                                             "names the columns' order.";
    QTest::newRow("millivolts") << QByteArray("Voltage (mV)\tTemperature (K)\n1689.8\t1.4\n")
                                << "voltage of 1689.8 V";
    QTest::newRow("negative") << QByteArray("1.0\t10\n-10.5\t20\n") << "Line 2 gives a voltage of -10.5 V";
    QTest::newRow("heading below the first point")
        << QByteArray("300\t0.5\nTemperature\tVoltage\n10\t1.0\n") << "Line 1 gives a voltage of 300 V";
}

void TestCurveImport::refused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, reason);

    const curveimport::Result result = importBytes(text);
    QVERIFY(!result.ok());
    QVERIFY(result.rows.isEmpty());
    QVERIFY2(result.error.contains(reason, Qt::CaseInsensitive), qPrintable(result.error));
}

void TestCurveImport::unopenableFileIsRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("createAsDirectory");

    QTest::newRow("missing file") << "missing-curve.txt" << false;
    QTest::newRow("directory") << "curves.d" << true;
}

void TestCurveImport::unopenableFileIsRefused()
{
    QFETCH(QString, name);
    QFETCH(bool, createAsDirectory);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (createAsDirectory)
        QVERIFY(QDir(dir.path()).mkdir(name));
    const curveimport::Result result = curveimport::importFile(dir.filePath(name));
    QVERIFY(!result.ok());
    QVERIFY(result.rows.isEmpty());
    QVERIFY2(result.error.contains(name), qPrintable(result.error));
}

void TestCurveImport::importFileReadsInTextMode()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath(QStringLiteral("curve.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(curveText(diodeCurve, "\t", "\r\n")) > 0);
    file.close();

    const curveimport::Result result = curveimport::importFile(file.fileName());
    QVERIFY2(result.ok(), qPrintable(result.error));
    QCOMPARE(result.rows, importBytes(curveText(diodeCurve)).rows);
}

void TestCurveImport::neverNonFinite_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("imports");

    QTest::newRow("opposite huge voltages") << QByteArray("1e308\t10\n-1e308\t20\n") << false;
    QTest::newRow("voltage beyond single precision") << QByteArray("1e39\t10\n0\t20\n") << false;
    QTest::newRow("temperature ratio overflows") << QByteArray("1\t1e-300\n2\t1e300\n") << false;
    QTest::newRow("temperatures beyond single precision") << QByteArray("1\t1e38\n2\t1e300\n") << false;
    QTest::newRow("merged voltages overflow") << QByteArray("1.5e308\t10\n1.5e308\t10\n0\t20\n") << false;
    QTest::newRow("tiny voltages") << QByteArray("1e-300\t10\n-1e-300\t300\n") << true;
    QTest::newRow("steep but in range") << QByteArray("0\t1\n10\t1.0000000001\n") << true;
    QTest::newRow("wide temperature range") << QByteArray("1\t1e-30\n2\t1e30\n") << true;
    // The largest float as its shortest decimal writes it lies just above it as a double.
    QTest::newRow("largest float as written") << QByteArray("1\t1e38\n2\t3.4028235e+38\n") << true;
}

void TestCurveImport::neverNonFinite()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, imports);

    const curveimport::Result result = importBytes(text);
    QCOMPARE(result.ok(), imports);
    if (!imports) {
        QVERIFY(!result.error.isEmpty());
        QVERIFY(result.rows.isEmpty());
        return;
    }
    QCOMPARE(result.rows.size(), curveimport::TableRows);
    for (const Point &row : result.rows) {
        QVERIFY2(std::isfinite(float(row.first)) && std::isfinite(float(row.second)),
                 qPrintable(QStringLiteral("(%1, %2)").arg(row.first).arg(row.second)));
    }
}

void TestCurveImport::breakpointTables_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<Points>("points");

    const QByteArray header = "Sensor Model:   SD-7\n"
                              "Serial Number:  A1\n";
    const QByteArray tail = "SetPoint Limit: 500.0      (Kelvin)\n"
                            "Temperature coefficient:  1 (Negative)\n"
                            "Number of Breakpoints:   3\n\n"
                            "No.   Units      Temperature (K)\n\n";

    QTest::newRow("volts")
        << header + "Data Format:    2      (Volts/Kelvin)\n" + tail
               + "  1  0.1427      500.0\n  2  1.0325       77.35\n  3  1.6898        1.4\n"
        << Points{{0.1427, 500.0}, {1.0325, 77.35}, {1.6898, 1.4}};
    QTest::newRow("millivolts")
        << header + "Data Format:    1      (Millivolts/Kelvin)\n" + tail
               + "  1  142.5      500.0\n  2  1032.5       77.35\n  3  1689.5        1.4\n"
        << Points{{0.1425, 500.0}, {1.0325, 77.35}, {1.6895, 1.4}};
    QTest::newRow("tab separated")
        << header + "Data Format:\t2\n" + tail + "1\t0.1427\t500.0\n2\t1.0325\t77.35\n3\t1.6898\t1.4\n"
        << Points{{0.1427, 500.0}, {1.0325, 77.35}, {1.6898, 1.4}};
    QTest::newRow("keys in other case, no count")
        << QByteArray("data format : 2 (V/K)\n\n1 0.5 300\n2 1.0 10\n")
        << Points{{0.5, 300.0}, {1.0, 10.0}};
    QTest::newRow("format without space")
        << QByteArray("Data Format:2\nNumber of Breakpoints:2\n1 0.5 300\n2 1.0 10\n")
        << Points{{0.5, 300.0}, {1.0, 10.0}};
    QTest::newRow("extra column ignored")
        << QByteArray("Data Format: 2\n1 0.5 300 x\n2 1.0 10 y\n") << Points{{0.5, 300.0}, {1.0, 10.0}};
    QTest::newRow("row lacking a column skipped")
        << QByteArray("Data Format: 2\n1 0.5 300\n2 1.0\n3 1.0 10\n") << Points{{0.5, 300.0}, {1.0, 10.0}};
}

void TestCurveImport::breakpointTables()
{
    QFETCH(QByteArray, text);
    QFETCH(Points, points);

    const curveimport::Curve curve = pointsOf(text);
    QVERIFY2(curve.ok(), qPrintable(curve.error));
    QCOMPARE(curve.points, points);
    const curveimport::Result result = importBytes(text);
    QVERIFY2(result.ok(), qPrintable(result.error));
    QCOMPARE(result.rows.size(), curveimport::TableRows);
}

void TestCurveImport::shippedCurves_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("plain, tab separated") << dataFile("silicon-diode-plain.txt");
    QTest::newRow("plain, space aligned") << dataFile("silicon-diode-spaces.txt");
    QTest::newRow("breakpoints in volts") << dataFile("silicon-diode-header-volts.txt");
    QTest::newRow("breakpoints in millivolts") << dataFile("silicon-diode-header-millivolts.txt");
}

// The four files hold the same 42-point diode curve in different layouts.
void TestCurveImport::shippedCurves()
{
    QFETCH(QString, path);

    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(path));
    const curveimport::Curve curve = curveimport::readPoints(file);
    QVERIFY2(curve.ok(), qPrintable(curve.error));
    QCOMPARE(curve.points.size(), 42);
    const auto lowest = std::min_element(curve.points.begin(), curve.points.end(),
                                         [](const Point &a, const Point &b) { return a.second < b.second; });
    QCOMPARE(lowest->second, 1.4);
    QVERIFY(qAbs(lowest->first - 1.68979) < 1e-12);

    const curveimport::Result result = curveimport::importFile(path);
    QVERIFY2(result.ok(), qPrintable(result.error));
    QCOMPARE(result.rows.size(), curveimport::TableRows);
    QCOMPARE(shown(result.rows.first().first), QStringLiteral("1.68979"));
    QCOMPARE(shown(result.rows.first().second), QStringLiteral("1.4"));
    QCOMPARE(shown(result.rows.last().first), QStringLiteral("0.14273"));
    QCOMPARE(shown(result.rows.last().second), QStringLiteral("500"));
    for (int row = 1; row < result.rows.size(); ++row)
        QVERIFY(result.rows.at(row).first < result.rows.at(row - 1).first);

    const curveimport::Result reference = curveimport::importFile(dataFile("silicon-diode-plain.txt"));
    QCOMPARE(shownRows(result.rows), shownRows(reference.rows));
}

void TestCurveImport::shippedResistanceCurveIsRefused()
{
    const curveimport::Result result = curveimport::importFile(dataFile("platinum-rtd-header-ohms.txt"));
    QVERIFY(!result.ok());
    QVERIFY(result.rows.isEmpty());
    QVERIFY2(result.error.contains(QStringLiteral("resistance")), qPrintable(result.error));
}

void TestCurveImport::matchesTheReference_data()
{
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("shipped, tab separated") << fileBytes(dataFile("silicon-diode-plain.txt"));
    QTest::newRow("shipped, space aligned") << fileBytes(dataFile("silicon-diode-spaces.txt"));
    QTest::newRow("example curve") << fileBytes(QStringLiteral(THERMOCAL_EXAMPLES "/sample-curve.txt"));
    QTest::newRow("diode curve") << curveText(diodeCurve);
    std::mt19937 random(11);
    for (int round = 0; round < 4; ++round) {
        const QByteArray name = "random " + QByteArray::number(round);
        QTest::newRow(name + ", tabs") << randomCurve(random, 2000, "\t", "\n");
        QTest::newRow(name + ", spaces, CR LF") << randomCurve(random, 2000, "   ", "\r\n");
        QTest::newRow(name + ", few points") << randomCurve(random, 5, " ", "\n");
    }
}

// The fast reading gives the very same points and table, bit for bit, as the first one.
void TestCurveImport::matchesTheReference()
{
    QFETCH(QByteArray, text);

    const Points expected = reference::points(text);
    QVERIFY(expected.size() >= 2);
    const curveimport::Curve curve = pointsOf(text);
    QVERIFY2(curve.ok(), qPrintable(curve.error));
    QVERIFY(identical(curve.points, expected));
    const curveimport::Result result = importBytes(text);
    QVERIFY2(result.ok(), qPrintable(result.error));
    QVERIFY(identical(result.rows, reference::table(expected)));
}

void TestCurveImport::piecesMatchReadLine_data()
{
    QTest::addColumn<QByteArray>("text");
    // Qt's text mode drops a CR standing alone in a line on some reads of a file but not on
    // others; a buffer always drops it.
    QTest::addColumn<bool>("onFileToo");

    const int piece = curveimport::ReadBufferSize - 1;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("no final line end") << QByteArray("1\t2\n3\t4") << true;
    QTest::newRow("CR LF") << QByteArray("1\t2\r\n3\t4\r\n") << true;
    QTest::newRow("blank lines") << QByteArray("\n\r\n\n") << true;
    QTest::newRow("1500 bytes") << QByteArray(1500, '7') + "\n1\t2\n" << true;
    QTest::newRow("exactly one piece") << QByteArray(piece - 1, '7') + "\n" + QByteArray(piece, '8') + "\n" << true;
    QTest::newRow("CR LF across the piece's end") << QByteArray(piece - 1, '7') + "\r\n1\t2\n" << true;
    QTest::newRow("CR LF just fitting") << QByteArray(piece - 2, '7') + "\r\n1\t2\r\n" << true;
    QTest::newRow("three pieces") << QByteArray(3 * piece + 5, '5') + "\r\n" << true;
    QTest::newRow("NUL inside") << QByteArray("1\t2\0tail\n3\t4\n", 13) << true;
    QTest::newRow("lone CR") << QByteArray("1\r\t2\n3\r\t4\n") << false;
    QTest::newRow("CR counts for nothing") << QByteArray(piece - 2, '7') + "\r\r\r\n" + QByteArray(piece, '7') << true;
    QTest::newRow("UTF-8 text") << QByteArray("Temperatur \xc2\xb0K\tSpannung\n1\t2\n") << true;
}

// Reading line by line (readLine into a 1024-byte buffer, text mode) and the pieces the
// import cuts from the bytes it read at once are the same lines, on a buffer and on a file.
void TestCurveImport::piecesMatchReadLine()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, onFileToo);

    QByteArray data = text;
    QBuffer expectedBuffer(&data);
    QVERIFY(expectedBuffer.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList expected = reference::readLines(expectedBuffer);
    QBuffer buffer(&data);
    QVERIFY(buffer.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(curveimport::readLines(buffer), expected);
    if (!onFileToo)
        return;

    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("curve.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(text), qint64(text.size()));
    file.close();
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(reference::readLines(file), expected);
    file.seek(0);
    QCOMPARE(curveimport::readLines(file), expected);
}

void TestCurveImport::numberSyntaxIsToDoubles_data()
{
    QTest::addColumn<QByteArray>("field");

    for (const char *field : {"1", "+1", "-1", "+-1", "-+1", "++1", ".5", "5.", ".", "+.5", "-.5e1", "1e5",
                              "1e", "1e+", "1E-3", "1e+05", "0x10", "1d5", "1e5.5", "1.2.3", "e5", "00012",
                              "-0", " 1 ", "\v1\f", "inf", "-inf", "nan", "NaN", "infinity", "1e400",
                              "1e-400", "5e-324", "2.2250738585072014e-308", "1.7976931348623157e308",
                              "0.1234567890123456789012345678901", "1_0"})
        QTest::newRow(field) << QByteArray(field);
}

// Every field reads as QString::toDouble reads it, finite values only.
void TestCurveImport::numberSyntaxIsToDoubles()
{
    QFETCH(QByteArray, field);

    bool ok = false;
    const double expected = QString::fromLatin1(field).toDouble(&ok);
    const Points points = pointsOf("2\t" + field + "\n").points;
    if (!ok || !std::isfinite(expected)) {
        QCOMPARE(points, Points{});
        return;
    }
    QCOMPARE(points.size(), 1);
    QVERIFY(identical(points, Points{{2, expected}}));
}

void TestCurveImport::columnOrder_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<Points>("points");
    QTest::addColumn<curveimport::ColumnOrder>("order");

    using curveimport::ColumnOrder;
    const Points curve{{0.5, 300}, {1.0, 10}};
    QTest::newRow("no heading") << QByteArray("0.5\t300\n1.0\t10\n") << curve << ColumnOrder::VoltageFirst;
    QTest::newRow("temperature first") << QByteArray("Temperature  Voltage\n300  0.5\n10  1.0\n")
                                       << curve << ColumnOrder::TemperatureFirst;
    QTest::newRow("three columns") << QByteArray("Temp.  Voltage  Sensitivity\n300  0.5  -2.1\n10  1.0  -1.7\n")
                                   << curve << ColumnOrder::TemperatureFirst;
    QTest::newRow("units only") << QByteArray("(K)\t(V)\n300\t0.5\n10\t1.0\n")
                                << curve << ColumnOrder::TemperatureFirst;
    QTest::newRow("kelvin and volts") << QByteArray("KELVIN VOLTS\n300 0.5\n10 1.0\n")
                                      << curve << ColumnOrder::TemperatureFirst;
    QTest::newRow("voltage first") << QByteArray("Voltage (V)\tTemperature (K)\n0.5\t300\n1.0\t10\n")
                                   << curve << ColumnOrder::VoltageFirst;
    QTest::newRow("CSV, temperature first") << QByteArray("T (K),V (V)\r\n300,0.5\r\n10, 1.0\r\n")
                                            << curve << ColumnOrder::TemperatureFirst;
    QTest::newRow("CSV, voltage first") << QByteArray("V (V),T (K)\n0.5,300\n1.0,10\n")
                                        << curve << ColumnOrder::VoltageFirst;
    QTest::newRow("comment above the heading")
        << QByteArray("# temperature and voltage of diode 12\nVoltage\tTemperature\n0.5\t300\n1.0\t10\n")
        << curve << ColumnOrder::VoltageFirst;
    QTest::newRow("heading above a comment")
        << QByteArray("Temperature\tVoltage\n# diode 12\n300\t0.5\n10\t1.0\n") << curve << ColumnOrder::TemperatureFirst;
    QTest::newRow("heading after the first point")
        << QByteArray("0.5\t300\nTemperature\tVoltage\n1.0\t10\n") << curve << ColumnOrder::VoltageFirst;
    QTest::newRow("one quantity named") << QByteArray("Temperature\n0.5\t300\n1.0\t10\n")
                                        << curve << ColumnOrder::VoltageFirst;
    QTest::newRow("a word that only contains temp")
        << QByteArray("attempt: volts\n0.5\t300\n1.0\t10\n") << curve << ColumnOrder::VoltageFirst;
    QTest::newRow("decimal comma") << QByteArray("1,234 300\n0,5\t300\n1.0\t10\n0.5,,300\n")
                                   << Points{{1.0, 10}} << ColumnOrder::VoltageFirst;
    QTest::newRow("ten volts is plausible") << QByteArray("-10\t300\n10\t10\n")
                                            << Points{{-10, 300}, {10, 10}} << ColumnOrder::VoltageFirst;
    QTest::newRow("breakpoints") << QByteArray("Data Format: 2\n1 0.5 300\n2 1.0 10\n")
                                 << curve << ColumnOrder::Breakpoints;
}

void TestCurveImport::columnOrder()
{
    QFETCH(QByteArray, text);
    QFETCH(Points, points);
    QFETCH(curveimport::ColumnOrder, order);

    const curveimport::Curve curve = pointsOf(text);
    QVERIFY2(curve.ok(), qPrintable(curve.error));
    QCOMPARE(curve.points, points);
    QCOMPARE(curve.columnOrder, order);
}

void TestCurveImport::sortedMatchesAComparisonSort_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<double>("spread");

    QTest::newRow("few points") << 50 << 500.0;
    QTest::newRow("many points, both signs") << 5000 << 1e6;
    QTest::newRow("many points, tiny and huge") << 5000 << 1e300;
    QTest::newRow("many repeated temperatures") << 5000 << 3.0;
}

// Large curves are sorted by counting digits of the temperatures' bits; the order, and so
// the merged means, must be exactly those of sorting by (temperature, voltage).
void TestCurveImport::sortedMatchesAComparisonSort()
{
    QFETCH(int, count);
    QFETCH(double, spread);

    std::mt19937 random(3);
    std::uniform_real_distribution<double> share(-1.0, 1.0);
    Points points;
    for (int i = 0; i < count; ++i) {
        double kelvin = spread >= 1e300 ? std::pow(10.0, 300 * share(random)) : std::round(spread * share(random));
        if (i % 97 == 0)
            kelvin = i % 2 ? 0.0 : -0.0;
        points << Point(share(random), kelvin);
    }
    Points expected = reference::sortedAndMerged(points);
    Points actual = curveimport::sortedAndMerged(points);
    // Either zero may stand for 0 K.
    for (Points *sorted : {&expected, &actual}) {
        for (Point &point : *sorted) {
            if (point.second == 0.0)
                point.second = 0.0;
        }
    }
    QVERIFY(identical(actual, expected));
}

void TestCurveImport::curvatureRows_data()
{
    QTest::addColumn<Points>("points");
    // How many times smaller the largest error of the rows placed by curvature must be than
    // that of the rows spaced geometrically; 0: no smaller than the geometric rows'.
    QTest::addColumn<double>("gain");
    QTest::addColumn<double>("mostMillikelvin");

    QTest::newRow("knee at 25 K") << kneeCurve() << 10.0 << 15.0;
    QTest::newRow("knee at 25 K, shipped file") << curveimport::readFile(testsupport::kneeDiodeFile()).points << 10.0 << 15.0;
    QTest::newRow("knee, then straight") << kneeThenStraight() << 10.0 << 15.0;
    QTest::newRow("shipped 42-point diode") << curveimport::readFile(dataFile("silicon-diode-plain.txt")).points << 1.0 << 100.0;
    QTest::newRow("example curve") << curveimport::readFile(QStringLiteral(THERMOCAL_EXAMPLES "/sample-curve.txt")).points << 1.0 << 100.0;
    QTest::newRow("13-point diode") << diodeCurve << 1.0 << 1000.0;
    Points shuffled = kneeCurve();
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
    QTest::newRow("knee at 25 K, shuffled") << shuffled << 10.0 << 15.0;
}

// Rows placed by curvature: 100 of them, the curve's ends first and last, every row on the
// monotone cubic through the points, strictly monotonic in single precision, and an error
// far below the geometric rows' wherever the curve has a knee.
void TestCurveImport::curvatureRows()
{
    QFETCH(Points, points);
    QFETCH(double, gain);
    QFETCH(double, mostMillikelvin);

    const curveimport::Result placed = tablespacing::byCurvature(points);
    QVERIFY2(placed.ok(), qPrintable(placed.error));
    QCOMPARE(placed.rows.size(), curveimport::TableRows);
    const Points sorted = curveimport::sortedAndMerged(points);
    QVERIFY(identical(Points{placed.rows.first(), placed.rows.last()}, Points{sorted.first(), sorted.last()}));
    QCOMPARE(floatOrderProblem(placed.rows), QString());
    const MonotoneCubic cubic(sorted);
    for (const Point &row : placed.rows)
        QVERIFY(std::fabs(row.first - cubic.voltsAt(row.second)) < 1e-12);

    const curveimport::Result geometric = curveimport::resample(points);
    const double curvatureError = curvemath::largestErrorAlongCurve(inFloat(placed.rows), sorted).millikelvin;
    const double geometricError = curvemath::largestErrorAlongCurve(inFloat(geometric.rows), sorted).millikelvin;
    QVERIFY2(std::fabs(curvatureError) <= mostMillikelvin, qPrintable(QString::number(curvatureError)));
    QVERIFY2(std::fabs(curvatureError) * std::max(gain, 1.0) <= std::fabs(geometricError) * (gain > 1.0 ? 1.0 : 1.0001),
             qPrintable(QStringLiteral("%1 mK by curvature, %2 mK geometric").arg(curvatureError).arg(geometricError)));
}

// Where the curve is straight, one segment serves: no rows are spent there.
void TestCurveImport::curvatureLeavesStraightStretchesAlone()
{
    const Points points = kneeThenStraight();
    const curveimport::Result placed = tablespacing::byCurvature(points);
    QVERIFY2(placed.ok(), qPrintable(placed.error));
    const auto within = [](const Points &rows, double low, double high) {
        return std::count_if(rows.begin(), rows.end(), [&](const Point &row) { return row.second > low && row.second < high; });
    };
    QVERIFY2(within(placed.rows, 45.0, 500.0) <= 1, qPrintable(QString::number(within(placed.rows, 45.0, 500.0))));
    // The geometric rows spend about a third of the table there.
    QVERIFY(within(curveimport::resample(points).rows, 45.0, 500.0) > 30);
    // The rows below go where the curve bends, all but the last within the bend.
    QVERIFY(within(placed.rows, 2.0, 40.0) >= curveimport::TableRows - 4);
}

// A straight line between two points: every row on it, evenly spaced, ends exact.
void TestCurveImport::curvatureOnTwoPoints()
{
    const curveimport::Result placed = tablespacing::byCurvature({{0.1, 500.0}, {1.6, 1.5}});
    QVERIFY2(placed.ok(), qPrintable(placed.error));
    QCOMPARE(placed.rows.size(), curveimport::TableRows);
    QCOMPARE(placed.rows.first(), Point(1.6, 1.5));
    QCOMPARE(placed.rows.last(), Point(0.1, 500.0));
    const double slope = (0.1 - 1.6) / (500.0 - 1.5);
    const double step = (500.0 - 1.5) / (curveimport::TableRows - 1);
    for (int row = 1; row < placed.rows.size(); ++row) {
        const Point &point = placed.rows.at(row);
        QVERIFY2(std::fabs(point.first - (1.6 + slope * (point.second - 1.5))) < 1e-12, qPrintable(QString::number(row)));
        QVERIFY2(std::fabs(point.second - placed.rows.at(row - 1).second - step) < 1e-9, qPrintable(QString::number(row)));
    }
    QCOMPARE(floatOrderProblem(placed.rows), QString());
}

// A curve whose voltage changes by only about 250 single-precision steps from end to end,
// ever more slowly as it warms: rows spaced for its curvature alone would share voltages in
// the instrument, as the geometric rows do. The rows stay as close as the instrument can
// tell apart, and no closer.
void TestCurveImport::curvatureKeepsRowsApartInFloat()
{
    Points points;
    for (double kelvin = 1.2; kelvin <= 500.0; kelvin += 0.5)
        points << Point(1.0 + 3e-5 * std::exp(-kelvin / 50.0), kelvin);
    QVERIFY(!floatOrderProblem(curveimport::resample(points).rows).isEmpty());

    const curveimport::Result placed = tablespacing::byCurvature(points);
    QVERIFY2(placed.ok(), qPrintable(placed.error));
    QCOMPARE(placed.rows.size(), curveimport::TableRows);
    QCOMPARE(floatOrderProblem(placed.rows), QString());
    const float step = std::nextafter(1.0f, 2.0f) - 1.0f;
    int closest = std::numeric_limits<int>::max();
    for (int row = 1; row < placed.rows.size(); ++row)
        closest = std::min(closest, int(std::lround((float(placed.rows.at(row - 1).first) - float(placed.rows.at(row).first)) / step)));
    QVERIFY2(closest >= 1 && closest <= 3, qPrintable(QString::number(closest)));
}

void TestCurveImport::curvatureRefuses_data()
{
    QTest::addColumn<Points>("points");
    QTest::addColumn<QString>("reason");

    QTest::newRow("no points") << Points{} << "no curve points";
    QTest::newRow("one temperature") << Points{{1.0, 10.0}, {0.5, 10.0}} << "only one temperature";
    QTest::newRow("0 K") << Points{{1.0, 0.0}, {0.5, 300.0}} << "above 0 K";
    QTest::newRow("turns back")
        << Points{{1.7, 2.0}, {1.2, 20.0}, {1.25, 30.0}, {0.5, 300.0}}
        << "rises or falls all the way, and this one's does not: 1.7 V at 2 K, 1.2 V at 20 K, 1.25 V at 30 K.";
    QTest::newRow("level stretch") << Points{{1.0, 10.0}, {1.0, 20.0}, {0.5, 300.0}}
                                   << "does not: 1 V at 10 K, 1 V at 20 K.";
    QTest::newRow("volts in 40 single-precision steps")
        << Points{{1.0, 1.2}, {1.0 + 40 * 1.1920929e-7, 500.0}}
        << "only 21 of the table's 100 rows can be placed with temperatures and voltages that stay strictly monotonic";
    QTest::newRow("kelvin in one single-precision step")
        << Points{{0.0, 1.0}, {10.0, 1.0000000001}} << "only 1 of the table's 100 rows";
    QTest::newRow("beyond single precision") << Points{{1.0, 1e38}, {2.0, 1e300}} << "numbers the table cannot hold";
}

void TestCurveImport::curvatureRefuses()
{
    QFETCH(Points, points);
    QFETCH(QString, reason);

    const curveimport::Result result = tablespacing::byCurvature(points);
    QVERIFY(!result.ok());
    QVERIFY(result.rows.isEmpty());
    QVERIFY2(result.error.contains(reason), qPrintable(result.error));
}

void TestCurveImport::curvatureNeverNonFinite_data()
{
    neverNonFinite_data();
}

// Whatever the numbers, either a refusal or rows that the instrument holds as they are.
void TestCurveImport::curvatureNeverNonFinite()
{
    QFETCH(QByteArray, text);

    const curveimport::Result result = tablespacing::byCurvature(pointsOf(text).points);
    if (!result.ok()) {
        QVERIFY(result.rows.isEmpty());
        return;
    }
    QCOMPARE(result.rows.size(), curveimport::TableRows);
    for (const Point &row : result.rows)
        QVERIFY(std::isfinite(float(row.first)) && std::isfinite(float(row.second)));
    QCOMPARE(floatOrderProblem(result.rows), QString());
}

void TestCurveImport::spacingNames()
{
    for (tablespacing::Spacing spacing : {tablespacing::Spacing::Geometric, tablespacing::Spacing::Curvature})
        QCOMPARE(tablespacing::spacingNamed(tablespacing::nameOf(spacing)), std::optional<tablespacing::Spacing>(spacing));
    QVERIFY(!tablespacing::spacingNamed(QStringLiteral("Curvature")));
    QVERIFY(!tablespacing::spacingNamed(QString()));
    // The geometric spacing is the window's import, to the last bit.
    const curveimport::Result window = importBytes(curveText(diodeCurve));
    QVERIFY(identical(tablespacing::resample(diodeCurve, tablespacing::Spacing::Geometric).rows, window.rows));
}

QTEST_GUILESS_MAIN(TestCurveImport)
#include "tst_curveimport.moc"
