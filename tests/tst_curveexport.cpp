#include "curveexport.h"
#include "curveimport.h"
#include "demofirmware.h"
#include "testsupport.h"

#include <QtTest>

#include <cmath>
#include <cstring>

using Rows = QVector<curveexport::Row>;

using testsupport::importBytes;

namespace {

// The instrument's table holds single precision; that is where two tables must agree.
QVector<QPair<float, float>> asFloats(const Rows &rows)
{
    QVector<QPair<float, float>> floats;
    for (const auto &row : rows)
        floats << qMakePair(float(row.first), float(row.second));
    return floats;
}

// How many single-precision values lie between two floats of one sign.
int floatSteps(float a, float b)
{
    qint32 x = 0;
    qint32 y = 0;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return std::abs(x - y);
}

Rows factoryTable()
{
    Rows rows;
    for (const auto &row : sim::DemoFirmware::factoryConstants().table)
        rows << curveexport::Row(double(row.first), double(row.second));
    return rows;
}

Rows shippedTable()
{
    return curveimport::importFile(QStringLiteral(THERMOCAL_TEST_DATA "/curves/silicon-diode-plain.txt")).rows;
}

// A sensor whose voltage rises with temperature, 100 geometric rows like an import gives.
Rows risingTable()
{
    return importBytes("0.02\t4.2\n0.3\t77.35\n1.1\t300\n1.9\t480\n").rows;
}

} // namespace

class TestCurveExport : public QObject
{
    Q_OBJECT

private slots:
    void standardCurveText_data()
    {
        QTest::addColumn<Rows>("table");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QByteArray>("text");

        QTest::newRow("diode, rows reversed to rising units")
            << Rows{{1.6898, 1.4}, {1.0325, 77.35}, {0.1427, 500}} << "SD-7" << "A1"
            << QByteArray("Sensor Model:  SD-7\n"
                          "Serial Number:  A1\n"
                          "Data Format:  2 (Volts/Kelvin)\n"
                          "SetPoint Limit:  500 (Kelvin)\n"
                          "Temperature coefficient:  1 (Negative)\n"
                          "Number of Breakpoints:  3\n"
                          "\n"
                          "No.  Units  Temperature (K)\n"
                          "  1  0.1427        500\n"
                          "  2  1.0325        77.35\n"
                          "  3  1.6898        1.4\n");
        QTest::newRow("rising, shortest float decimals")
            << Rows{{0.1, 4.2}, {0.30000001192092896, 300.15}} << "" << "no 12"
            << QByteArray("Sensor Model:  \n"
                          "Serial Number:  no 12\n"
                          "Data Format:  2 (Volts/Kelvin)\n"
                          "SetPoint Limit:  300.15 (Kelvin)\n"
                          "Temperature coefficient:  2 (Positive)\n"
                          "Number of Breakpoints:  2\n"
                          "\n"
                          "No.  Units  Temperature (K)\n"
                          "  1  0.1           4.2\n"
                          "  2  0.3           300.15\n");
    }

    void standardCurveText()
    {
        QFETCH(Rows, table);
        QFETCH(QString, model);
        QFETCH(QString, serial);
        QFETCH(QByteArray, text);

        const curveexport::Text written = curveexport::to340(table, {model, serial});
        QVERIFY2(written.ok(), qPrintable(written.error));
        QCOMPARE(written.text, text);
    }

    void csvText()
    {
        QCOMPARE(curveexport::toCsv(Rows{{1.6898, 1.4}, {0.30000001192092896, 300.15}}),
                 QByteArray("voltage_V,temperature_K\n1.6898,1.4\n0.3,300.15\n"));
    }

    void importGivesTheTableBack_data()
    {
        QTest::addColumn<Rows>("table");
        QTest::addColumn<bool>("csv");

        QTest::newRow("factory table") << factoryTable() << false;
        QTest::newRow("imported diode curve") << shippedTable() << false;
        QTest::newRow("rising sensor") << risingTable() << false;
        QTest::newRow("factory table, CSV") << factoryTable() << true;
        QTest::newRow("rising sensor, CSV") << risingTable() << true;
    }

    // The window's import of an exported file rebuilds the table the instrument held: the
    // same temperatures, and voltages within one step of single precision (the import
    // resamples, so a row's voltage is interpolated at its temperature as the import
    // computes it, which may differ from the exported one by rounding).
    void importGivesTheTableBack()
    {
        QFETCH(Rows, table);
        QFETCH(bool, csv);

        QCOMPARE(table.size(), TableRows);
        const curveexport::Text written = csv ? curveexport::Text{curveexport::toCsv(table), QString()}
                                              : curveexport::to340(table, {"SD-7", "A1"});
        QVERIFY2(written.ok(), qPrintable(written.error));
        const curveimport::Result imported = importBytes(written.text);
        QVERIFY2(imported.ok(), qPrintable(imported.error));
        const QVector<QPair<float, float>> expected = asFloats(table);
        const QVector<QPair<float, float>> actual = asFloats(imported.rows);
        QCOMPARE(actual.size(), expected.size());
        for (int row = 0; row < actual.size(); ++row) {
            QCOMPARE(actual[row].second, expected[row].second);
            QVERIFY2(floatSteps(actual[row].first, expected[row].first) <= 1,
                     qPrintable(QStringLiteral("row %1: %2 V instead of %3 V")
                                    .arg(row + 1).arg(double(actual[row].first), 0, 'g', 9)
                                    .arg(double(expected[row].first), 0, 'g', 9)));
        }
    }

    void notMonotonicIsRefused_data()
    {
        QTest::addColumn<Rows>("table");
        QTest::addColumn<QString>("reason");

        Rows repeatedVoltage = factoryTable();
        repeatedVoltage[40].first = repeatedVoltage[39].first;
        Rows temperatureBack = factoryTable();
        std::swap(temperatureBack[70].second, temperatureBack[71].second);
        Rows voltageTurns = factoryTable();
        voltageTurns[99].first = voltageTurns[98].first + 0.01;
        Rows sameAsFloats = factoryTable();
        sameAsFloats[5].second = sameAsFloats[4].second * (1 + 1e-12);
        Rows notFinite = factoryTable();
        notFinite[12].first = std::nan("");

        QTest::newRow("repeated voltage") << repeatedVoltage << "voltages are not strictly monotonic at row 41 (";
        QTest::newRow("temperature steps back") << temperatureBack << "temperatures are not strictly monotonic at row 72";
        QTest::newRow("voltage turns at the top") << voltageTurns << "voltages are not strictly monotonic at row 100";
        QTest::newRow("equal once narrowed to float") << sameAsFloats << "temperatures are not strictly monotonic at row 6";
        QTest::newRow("not a number") << notFinite << "row 13 (nan V";
        QTest::newRow("one row") << Rows{{1.0, 10}} << "has 1 rows";
    }

    void notMonotonicIsRefused()
    {
        QFETCH(Rows, table);
        QFETCH(QString, reason);

        const curveexport::Text written = curveexport::to340(table, {});
        QVERIFY(!written.ok());
        QVERIFY(written.text.isEmpty());
        QVERIFY2(written.error.contains(reason), qPrintable(written.error));
    }
};

QTEST_GUILESS_MAIN(TestCurveExport)
#include "tst_curveexport.moc"
