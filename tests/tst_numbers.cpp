#include "numbers.h"

#include <QtTest>

#include <optional>

// How the window shows numbers, and which texts it lets leave for the instrument or a file.
class TestNumbers : public QObject
{
    Q_OBJECT

private slots:
    // Every text here is C-locale whatever the system's locale; German uses a decimal comma
    // and a point for grouping, so code that followed the default locale would show.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }

    void formatting_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("float nearest 0.1") << double(0.1f) << "0.1";
        QTest::newRow("float nearest 273.15") << double(273.15f) << "273.15";
        QTest::newRow("300") << 300.0 << "300";
        QTest::newRow("seven digits") << 0.123456789 << "0.123457";
        QTest::newRow("twelve million") << 12e6 << "1.2e+07";
        QTest::newRow("small") << 0.00001 << "1e-05";
        QTest::newRow("negative") << -1.0 << "-1";
    }

    void formatting()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(numbers::format(value), text);
    }

    void parsing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("asFloat");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<double>("value");
        QTest::newRow("empty is 0") << "" << false << true << 0.0;
        QTest::newRow("blank is 0") << "   " << true << true << 0.0;
        QTest::newRow("spaces around") << " 2.5 " << false << true << 2.5;
        QTest::newRow("exponent") << "-1.5e3" << true << true << -1500.0;
        QTest::newRow("decimal comma") << "1,5" << false << false << 0.0;
        QTest::newRow("decimal comma as float") << "1,5" << true << false << 0.0;
        QTest::newRow("point between thousands") << "1.500" << true << true << 1.5;
        QTest::newRow("letters") << "abc" << true << false << 0.0;
        QTest::newRow("lone minus") << "-" << false << false << 0.0;
        QTest::newRow("bare exponent") << "1e" << false << false << 0.0;
        QTest::newRow("nan") << "nan" << false << false << 0.0;
        QTest::newRow("inf") << "inf" << true << false << 0.0;
        QTest::newRow("beyond float range") << "1e39" << true << false << 0.0;
        QTest::newRow("beyond float range as double") << "1e39" << false << true << 1e39;
        // The largest float's shortest decimal lies just above it as a double.
        QTest::newRow("largest float's shortest decimal") << "3.4028235e+38" << true << true << 3.4028235e+38;
        QTest::newRow("rounds to infinity as float") << "3.4028236e+38" << true << false << 0.0;
    }

    // The shortest decimal that gives back the very same single-precision value.
    void shortest_data()
    {
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("0.1") << 0.1f << "0.1";
        QTest::newRow("300") << 300.0f << "300";
        QTest::newRow("2.5/65536") << 2.5f / 65536.0f << "3.8146973e-05";
        QTest::newRow("largest float") << 3.40282347e+38f << "3.4028235e+38";
        QTest::newRow("smallest normal float") << 1.17549435e-38f << "1.1754944e-38";
        QTest::newRow("1e-5") << 1e-5f << "1e-05";
        QTest::newRow("float nearest 77.35") << 77.35f << "77.35";
    }

    void shortest()
    {
        QFETCH(float, value);
        QFETCH(QString, text);
        QCOMPARE(numbers::shortest(value), text);
        QCOMPARE(float(numbers::shortestAsDouble(value)), value);
        QCOMPARE(numbers::shortestAsDouble(value), text.toDouble());
    }

    void parsing()
    {
        QFETCH(QString, text);
        QFETCH(bool, asFloat);
        QFETCH(bool, accepted);
        QFETCH(double, value);
        const std::optional<double> parsed =
            numbers::parse(text, asFloat ? numbers::Precision::Float : numbers::Precision::Double);
        QCOMPARE(parsed.has_value(), accepted);
        if (accepted)
            QCOMPARE(*parsed, value);
    }

    void readerNamesTheFirstBadField()
    {
        numbers::FieldReader reader(numbers::Precision::Float);
        QCOMPARE(reader.read(QStringLiteral("ADC slope"), QStringLiteral("2")), 2.0);
        QVERIFY(reader.ok());
        QCOMPARE(reader.read(QStringLiteral("ADC intercept"), QStringLiteral("1,5")), 0.0);
        reader.read(numbers::cellName(11, QStringLiteral("Voltage(V)")), QStringLiteral("-"));
        QVERIFY(!reader.ok());
        QCOMPARE(reader.problem(), QStringLiteral("ADC intercept: '1,5' is not a number."));

        numbers::FieldReader cells(numbers::Precision::Float);
        cells.read(numbers::cellName(11, QStringLiteral("Voltage(V)")), QStringLiteral("-"));
        QCOMPARE(cells.problem(), QStringLiteral("Table row 12, Voltage(V): '-' is not a number."));

        numbers::FieldReader range(numbers::Precision::Float);
        range.read(QStringLiteral("DAC slope"), QStringLiteral("1e39"));
        QCOMPARE(range.problem(), QStringLiteral("DAC slope: '1e39' is too large for the instrument."));
    }
};

QTEST_GUILESS_MAIN(TestNumbers)
#include "tst_numbers.moc"
