#include "curveimport.h"
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

using testsupport::FailingDevice;

using curveimport::Point;
using Points = QVector<Point>;

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

namespace {

curveimport::Result importBytes(const QByteArray &bytes)
{
    QByteArray data = bytes;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    return curveimport::importDevice(buffer);
}

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

bool fitsFloat(double value)
{
    return std::isfinite(value) && std::fabs(value) <= double(std::numeric_limits<float>::max());
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

const QByteArray workedExampleText = "1.0\t10\n0.5\t300\n";

// A silicon-diode-like curve, sorted by temperature.
const Points diodeCurve = {
    {1.6898, 1.4}, {1.5868, 3.0}, {1.4845, 5.0}, {1.3182, 10.0}, {1.1771, 20.0},
    {1.1255, 30.0}, {1.0864, 50.0}, {1.0325, 77.35}, {0.9875, 100.0}, {0.7853, 200.0},
    {0.5771, 300.0}, {0.3629, 400.0}, {0.1427, 500.0},
};

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
    const curveimport::Result result = curveimport::importDevice(device);
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
    QTest::newRow("steep but in range") << QByteArray("0\t1\n1e30\t1.0000001\n") << true;
    QTest::newRow("wide temperature range") << QByteArray("1\t1e-30\n2\t1e30\n") << true;
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
        QVERIFY2(fitsFloat(row.first) && fitsFloat(row.second),
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

QTEST_GUILESS_MAIN(TestCurveImport)
#include "tst_curveimport.moc"
