#include "calibrationfile.h"
#include "demofirmware.h"
#include "windowsupport.h"
#include "widget.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <limits>

using testsupport::Bench;

namespace {

const QString Examples = QStringLiteral(THERMOCAL_EXAMPLES);

// The diode curve the demo instrument is documented to follow, written out again here so
// that a change to the firmware's curve cannot go unnoticed.
double documentedDiodeVolts(double kelvin)
{
    return 1.165 - 0.00215 * kelvin + 0.52 * std::exp(-kelvin / 15.0);
}

using Rows = QVector<QPair<double, double>>;  // (voltage, temperature), rising temperature

// Linear interpolation by voltage in a table whose voltage falls as temperature rises.
double temperatureFor(const Rows &rows, double volts)
{
    for (int i = 0; i + 1 < rows.size(); ++i) {
        const auto &cold = rows[i];
        const auto &warm = rows[i + 1];
        if (volts <= cold.first && volts >= warm.first)
            return cold.second + (volts - cold.first) * (warm.second - cold.second) / (warm.first - cold.first);
    }
    return std::numeric_limits<double>::quiet_NaN();
}

Rows windowRows(const Bench &bench)
{
    Rows rows;
    for (int row = 0; row < 100; ++row) {
        const QPair<float, float> values = bench.window->temperatureData(row);
        rows.append({double(values.first), double(values.second)});
    }
    return rows;
}

double shownNumber(const Bench &bench, const char *field)
{
    bool ok = false;
    const double value = bench.field(field)->text().toDouble(&ok);
    if (!ok)
        qWarning("%s shows \"%s\"", field, qPrintable(bench.field(field)->text()));
    return ok ? value : std::numeric_limits<double>::quiet_NaN();
}

template <typename Access>
void withDemo(Bench &bench, Access access)
{
    bench.instrument.withFirmware([&](sim::Firmware &firmware) {
        access(dynamic_cast<sim::DemoFirmware &>(firmware));
    });
}

double trueTemperature(Bench &bench)
{
    double kelvin = 0.0;
    withDemo(bench, [&](sim::DemoFirmware &demo) { kelvin = demo.sensorTemperature(); });
    return kelvin;
}

float reportedVoltage(Bench &bench)
{
    float volts = 0.0f;
    withDemo(bench, [&](sim::DemoFirmware &demo) { volts = demo.reportedVoltage(); });
    return volts;
}

// A clock the test moves by hand, so a reading and its expected value belong to one moment.
sim::DemoFirmware::Clock heldClock(const std::atomic<double> &seconds)
{
    return [&seconds] { return seconds.load(); };
}

} // namespace

// The demo's simulated instrument and the example files, through the window.
class TestDemo : public QObject
{
    Q_OBJECT

private slots:
    void factoryCalibrationIsTheDiodeCurve()
    {
        const sim::Constants factory = sim::DemoFirmware::factoryConstants();
        QCOMPARE(factory.adcSlope, float(2.5 / 65536));
        QCOMPARE(factory.adcIntercept, 0.0f);
        QVERIFY(factory.dacSlope > 0.0f);

        QVERIFY(std::fabs(factory.table.front().second - 1.4f) < 1e-4f);
        QVERIFY(std::fabs(factory.table.back().second - 500.0f) < 1e-3f);
        const double ratio = std::pow(500.0 / 1.4, 1.0 / 99);
        for (int row = 0; row < 100; ++row) {
            const auto &[volts, kelvin] = factory.table[size_t(row)];
            QVERIFY2(std::fabs(volts - documentedDiodeVolts(kelvin)) < 1e-6,
                     qPrintable(QStringLiteral("row %1: %2 V at %3 K").arg(row).arg(volts).arg(kelvin)));
            if (row > 0) {
                const auto &previous = factory.table[size_t(row - 1)];
                QVERIFY2(kelvin > previous.second && volts < previous.first, qPrintable(QString::number(row)));
                // Geometric spacing: every step is the same ratio.
                QVERIFY(std::fabs(kelvin / previous.second - ratio) < 1e-5);
            }
        }

        const sim::DemoFirmware firmware;
        QVERIFY(firmware.constants == factory);
        QVERIFY(firmware.eeprom == factory);
    }

    void tableTemperatureInterpolatesInEitherOrder()
    {
        std::array<std::pair<float, float>, sim::TableRows> rising{};
        for (int row = 0; row < sim::TableRows; ++row)
            rising[size_t(row)] = {2.0f - 0.01f * float(row), 10.0f + float(row)};
        auto falling = rising;
        std::reverse(falling.begin(), falling.end());

        // Between rows 20 (1.8 V, 30 K) and 21 (1.79 V, 31 K), a quarter of the way.
        QVERIFY(std::fabs(sim::DemoFirmware::tableTemperature(rising, 1.7975) - 30.25) < 1e-3);
        QVERIFY(std::fabs(sim::DemoFirmware::tableTemperature(falling, 1.7975) - 30.25) < 1e-3);
        // Beyond the table: the end rows.
        QCOMPARE(sim::DemoFirmware::tableTemperature(rising, 2.5), 10.0);
        QCOMPARE(sim::DemoFirmware::tableTemperature(rising, 0.5), 109.0);

        const std::array<std::pair<float, float>, sim::TableRows> zeros{};
        QVERIFY(std::isnan(sim::DemoFirmware::tableTemperature(zeros, 1.0)));
    }

    void updateDataReadsTheSensorWithTheFactoryCalibration()
    {
        Bench bench(std::make_unique<sim::DemoFirmware>());
        bench.click("pbUpdateData");
        const double kelvin = trueTemperature(bench);

        QVERIFY2(bench.modals.boxes.isEmpty(), qPrintable(bench.modals.boxTexts().join('\n')));
        const double shown = shownNumber(bench, "leTemperature");
        QVERIFY2(std::fabs(shown - kelvin) < 1.0, qPrintable(QStringLiteral("shows %1 K, sensor at %2 K").arg(shown).arg(kelvin)));
        QVERIFY2(std::fabs(shownNumber(bench, "leVoltage") - documentedDiodeVolts(kelvin)) < 1e-3,
                 qPrintable(bench.field("leVoltage")->text()));
    }

    void readingsDriftButRepeatAtTheSameMoment()
    {
        std::atomic<double> now{0.0};
        Bench bench(std::make_unique<sim::DemoFirmware>(heldClock(now)));

        bench.click("pbUpdateData");
        const QString first = bench.field("leTemperature")->text();
        bench.field("leTemperature")->clear();
        bench.click("pbUpdateData");
        QCOMPARE(bench.field("leTemperature")->text(), first);

        now = 30.0;
        bench.click("pbUpdateData");
        const QString later = bench.field("leTemperature")->text();
        QVERIFY2(later != first, qPrintable(later));

        double lowest = 1e9;
        double highest = -1e9;
        for (double seconds = 0.0; seconds < 300.0; seconds += 0.5) {
            const double kelvin = sim::DemoFirmware::sensorTemperatureAt(seconds);
            lowest = std::min(lowest, kelvin);
            highest = std::max(highest, kelvin);
        }
        QVERIFY2(highest - lowest > 0.2 && lowest > 77.0 && highest < 77.7,
                 qPrintable(QStringLiteral("%1 to %2 K").arg(lowest).arg(highest)));
    }

    void anotherTableChangesTheReading()
    {
        std::atomic<double> now{5.0};
        Bench bench(std::make_unique<sim::DemoFirmware>(heldClock(now)));
        bench.click("pbGetConstants");
        bench.click("pbUpdateData");
        const double factoryReading = shownNumber(bench, "leTemperature");

        // A sensor whose curve lies 50 mV above the factory one.
        const sim::Constants factory = sim::DemoFirmware::factoryConstants();
        for (int row = 0; row < 100; ++row) {
            const float kelvin = factory.table[size_t(row)].second;
            bench.window->setTemepratureData(row, float(documentedDiodeVolts(kelvin) + 0.05), kelvin);
        }
        bench.click("pbSetConstants");
        QVERIFY2(bench.modals.boxes.isEmpty(), qPrintable(bench.modals.boxTexts().join('\n')));

        bench.click("pbUpdateData");
        const double volts = reportedVoltage(bench);
        const double expected = temperatureFor(windowRows(bench), volts);
        const double shown = shownNumber(bench, "leTemperature");
        QVERIFY2(std::fabs(shown - expected) < 1e-3,
                 qPrintable(QStringLiteral("shows %1 K, the table gives %2 K at %3 V").arg(shown).arg(expected).arg(volts)));
        QVERIFY2(shown - factoryReading > 10.0, qPrintable(QStringLiteral("%1 -> %2").arg(factoryReading).arg(shown)));
    }

    void adcConstantsConvertTheRawReading()
    {
        std::atomic<double> now{40.0};
        Bench bench(std::make_unique<sim::DemoFirmware>(heldClock(now)));
        bench.click("pbGetConstants");
        bench.click("pbUpdateData");
        const double factoryVolts = shownNumber(bench, "leVoltage");
        int raw = 0;
        withDemo(bench, [&](sim::DemoFirmware &demo) { raw = demo.rawReading(); });
        QVERIFY(std::fabs(factoryVolts - raw * 2.5 / 65536) < 1e-5);

        bench.field("leADCslope")->setText(QStringLiteral("5e-05"));
        bench.field("leADCintercept")->setText(QStringLiteral("0.01"));
        bench.click("pbSetConstants");
        QVERIFY2(bench.modals.boxes.isEmpty(), qPrintable(bench.modals.boxTexts().join('\n')));
        bench.click("pbUpdateData");
        const double volts = shownNumber(bench, "leVoltage");
        QVERIFY2(std::fabs(volts - (5e-05 * raw + 0.01)) < 1e-5,
                 qPrintable(QStringLiteral("%1 V from %2 counts").arg(volts).arg(raw)));
    }

    void writeEepromCopiesWhatWasSent()
    {
        std::atomic<double> now{0.0};
        Bench bench(std::make_unique<sim::DemoFirmware>(heldClock(now)));
        bench.click("pbGetConstants");
        bench.cell(50, 1)->setText(QStringLiteral("123.5"));
        bench.field("leDACintercept")->setText(QStringLiteral("0.25"));
        bench.click("pbSetConstants");
        QVERIFY2(bench.modals.boxes.isEmpty(), qPrintable(bench.modals.boxTexts().join('\n')));

        QVERIFY(bench.instrument.eeprom() == sim::DemoFirmware::factoryConstants());
        const int before = bench.instrument.requests().size();
        bench.click("pbWriteEeprom");
        QVERIFY(bench.instrument.waitForRequests(before + 1, 2000));
        const sim::Constants eeprom = bench.instrument.eeprom();
        QVERIFY(eeprom == bench.instrument.constants());
        QCOMPARE(eeprom.table[50].second, 123.5f);
        QCOMPARE(eeprom.dacIntercept, 0.25f);
    }

    void exampleCurveImportsAndReadsTheSensor_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("two columns") << "sample-curve.txt";
        QTest::newRow("standard curve file") << "standard-curve.340";
    }

    void exampleCurveImportsAndReadsTheSensor()
    {
        QFETCH(QString, name);
        Bench bench(std::make_unique<sim::DemoFirmware>());
        bench.click("pbGetConstants");
        for (int row = 0; row < 100; ++row)
            bench.window->setTemepratureData(row, 0.0f, 0.0f);

        bench.modals.answerFileDialog(Examples + QLatin1Char('/') + name);
        bench.click("pbOpenTable");
        QVERIFY2(bench.modals.boxes.isEmpty(), qPrintable(bench.modals.boxTexts().join('\n')));
        QCOMPARE(bench.modals.fileDialogs.size(), 1);
        QCOMPARE(bench.cellText(0, 1), QStringLiteral("1.4"));
        QCOMPARE(bench.cellText(99, 1), QStringLiteral("500"));
        const Rows rows = windowRows(bench);
        for (int row = 0; row < 100; ++row) {
            QVERIFY2(std::fabs(rows[row].first - documentedDiodeVolts(rows[row].second)) < 1e-4,
                     qPrintable(QStringLiteral("row %1: %2 V at %3 K").arg(row).arg(rows[row].first).arg(rows[row].second)));
        }

        bench.click("pbSetConstants");
        QVERIFY2(bench.modals.boxes.isEmpty(), qPrintable(bench.modals.boxTexts().join('\n')));
        bench.click("pbUpdateData");
        const double kelvin = trueTemperature(bench);
        const double shown = shownNumber(bench, "leTemperature");
        QVERIFY2(std::fabs(shown - kelvin) < 0.1, qPrintable(QStringLiteral("shows %1 K, sensor at %2 K").arg(shown).arg(kelvin)));
    }

    void exampleCalibrationLoadsAsTheProgramSavesIt()
    {
        QFile file(Examples + QStringLiteral("/sample-calibration.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const auto parsed = calibrationfile::parse(bytes);
        QVERIFY(parsed);
        QCOMPARE(parsed->table.size(), 100);
        QCOMPARE(calibrationfile::serialize(*parsed), bytes);

        std::atomic<double> now{12.0};
        Bench bench(std::make_unique<sim::DemoFirmware>(heldClock(now)));
        bench.modals.answerFileDialog(file.fileName());
        bench.click("pbLoad");
        QVERIFY2(bench.modals.boxes.isEmpty(), qPrintable(bench.modals.boxTexts().join('\n')));

        const QJsonObject root = QJsonDocument::fromJson(bytes).object();
        const auto shows = [](double value) { return QString::number(value, 'g', 6); };
        QCOMPARE(bench.field("leADCslope")->text(), shows(root["ADCCoeffs"].toArray().at(0).toDouble()));
        QCOMPARE(bench.field("leADCintercept")->text(), shows(root["ADCCoeffs"].toArray().at(1).toDouble()));
        QCOMPARE(bench.field("leDACslope")->text(), shows(root["DACCoeffs"].toArray().at(0).toDouble()));
        QCOMPARE(bench.field("leDACintercept")->text(), shows(root["DACCoeffs"].toArray().at(1).toDouble()));
        const QJsonArray table = root["TempTable"].toArray();
        for (int row = 0; row < 100; ++row) {
            QCOMPARE(bench.cellText(row, 0), shows(table.at(row).toArray().at(0).toDouble()));
            QCOMPARE(bench.cellText(row, 1), shows(table.at(row).toArray().at(1).toDouble()));
        }

        // The example belongs to a sensor whose curve lies 10 mV above the instrument's, so
        // once sent it makes the instrument read about 4 K high at 77 K.
        bench.click("pbSetConstants");
        QVERIFY2(bench.modals.boxes.isEmpty(), qPrintable(bench.modals.boxTexts().join('\n')));
        bench.click("pbUpdateData");
        const double offset = shownNumber(bench, "leTemperature") - trueTemperature(bench);
        QVERIFY2(offset > 3.5 && offset < 5.0, qPrintable(QString::number(offset)));
    }
};

QTEST_MAIN(TestDemo)
#include "tst_demo.moc"
