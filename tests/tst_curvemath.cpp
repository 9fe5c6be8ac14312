#include "curvemath.h"
#include "demofirmware.h"
#include "monotonecubic.h"

#include <QtTest>

#include <cmath>

using curvemath::Point;
using curvemath::ReferencePoint;
using Points = QVector<Point>;
using References = QVector<ReferencePoint>;
Q_DECLARE_METATYPE(ReferencePoint)

namespace {

// The demo diode's curve at a few dozen temperatures, listed from hot to cold.
Points standardCurve()
{
    Points points;
    for (double kelvin = 500.0; kelvin > 1.3; kelvin *= 0.8)
        points << Point(sim::DemoFirmware::diodeVoltage(kelvin), kelvin);
    points << Point(sim::DemoFirmware::diodeVoltage(77.35), 77.35);
    return points;
}

double standardVolts(double kelvin)
{
    return *curvemath::voltageAt(curveimport::sortedAndMerged(standardCurve()), kelvin);
}

// The expected correction, written out: measured minus standard at each reference point,
// a straight line between them, flat beyond.
double expectedCorrection(const References &references, double kelvin)
{
    References sorted = references;
    std::sort(sorted.begin(), sorted.end(), [](auto a, auto b) { return a.kelvin < b.kelvin; });
    const auto offset = [](const ReferencePoint &p) { return p.volts - standardVolts(p.kelvin); };
    if (kelvin <= sorted.first().kelvin)
        return offset(sorted.first());
    if (kelvin >= sorted.last().kelvin)
        return offset(sorted.last());
    for (int i = 1; i < sorted.size(); ++i) {
        if (kelvin <= sorted[i].kelvin) {
            const double share = (kelvin - sorted[i - 1].kelvin) / (sorted[i].kelvin - sorted[i - 1].kelvin);
            return offset(sorted[i - 1]) + share * (offset(sorted[i]) - offset(sorted[i - 1]));
        }
    }
    return NAN;
}

constexpr double Tolerance = 1e-12;

} // namespace

class TestCurveMath : public QObject
{
    Q_OBJECT

private slots:
    void softcal_data()
    {
        QTest::addColumn<References>("references");

        // Reference temperatures sit on points of the standard curve, where the corrected
        // curve must pass exactly through the measured voltage.
        const double nitrogen = 77.35;
        const double cold = 500.0 * std::pow(0.8, 20);
        const double warm = 500.0 * std::pow(0.8, 2);
        QTest::newRow("one point, 10 mV above") << References{{nitrogen, standardVolts(nitrogen) + 0.010}};
        QTest::newRow("one point, below") << References{{nitrogen, standardVolts(nitrogen) - 0.0042}};
        QTest::newRow("one point between curve points") << References{{150.0, standardVolts(150.0) + 0.003}};
        QTest::newRow("two points") << References{{warm, standardVolts(warm) - 0.003}, {cold, standardVolts(cold) + 0.005}};
        QTest::newRow("three points")
            << References{{cold, standardVolts(cold) + 0.002}, {nitrogen, standardVolts(nitrogen) + 0.010},
                          {warm, standardVolts(warm) + 0.001}};
        QTest::newRow("at the curve's ends") << References{{500.0, standardVolts(500.0) + 0.001},
                                                           {500.0 * std::pow(0.8, 26), standardVolts(500.0 * std::pow(0.8, 26))}};
    }

    void softcal()
    {
        QFETCH(References, references);

        const Points standard = standardCurve();
        const curvemath::Softcal fit = curvemath::softcal(standard, references);
        QVERIFY2(fit.ok(), qPrintable(fit.error));
        QCOMPARE(fit.points.size(), standard.size());
        for (int i = 0; i < standard.size(); ++i) {
            QCOMPARE(fit.points[i].second, standard[i].second);
            const double shift = fit.points[i].first - standard[i].first;
            QVERIFY2(std::fabs(shift - expectedCorrection(references, standard[i].second)) < Tolerance,
                     qPrintable(QStringLiteral("%1 K shifted by %2 V").arg(standard[i].second).arg(shift)));
        }

        // At each reference point: the correction is measured minus standard, its error in
        // mK is that over the standard curve's slope, and the fitted curve gives the measured
        // voltage.
        const Points sortedStandard = curveimport::sortedAndMerged(standard);
        const Points fitted = curveimport::sortedAndMerged(fit.points);
        QCOMPARE(fit.corrections.size(), references.size());
        for (const curvemath::Correction &correction : fit.corrections) {
            const auto reference = std::find_if(references.begin(), references.end(),
                                                [&](auto p) { return p.kelvin == correction.kelvin; });
            QVERIFY(reference != references.end());
            QCOMPARE(correction.volts, reference->volts - standardVolts(reference->kelvin));
            const double slope = curvemath::slopeAt(sortedStandard, reference->kelvin);
            QCOMPARE(correction.millikelvin, correction.volts / slope * 1000.0);
            QVERIFY(std::fabs(*curvemath::voltageAt(fitted, reference->kelvin) - reference->volts) < Tolerance);
        }
        for (int i = 1; i < fit.corrections.size(); ++i)
            QVERIFY(fit.corrections[i - 1].kelvin < fit.corrections[i].kelvin);
        QVERIFY(curveimport::resample(fit.points).ok());
    }

    // A diode's voltage falls with temperature: 10 mV above the standard reads as colder.
    void correctionInMillikelvin()
    {
        const Points line{{1.2 - 0.002 * 10, 10}, {1.2 - 0.002 * 300, 300}};
        const curvemath::Softcal fit = curvemath::softcal(line, {{100, 1.2 - 0.002 * 100 + 0.010}});
        QVERIFY2(fit.ok(), qPrintable(fit.error));
        QVERIFY(std::fabs(fit.corrections[0].millikelvin - -5000.0) < 1e-6);
    }

    void softcalRefused_data()
    {
        QTest::addColumn<References>("references");
        QTest::addColumn<QString>("reason");

        const double lowest = 500.0 * std::pow(0.8, 26);
        QTest::newRow("none") << References{} << "one to three reference points, not 0";
        QTest::newRow("four") << References{{10, 1.3}, {20, 1.2}, {30, 1.1}, {40, 1.0}}
                              << "one to three reference points, not 4";
        QTest::newRow("below the curve") << References{{lowest * 0.99, 1.7}} << "outside the standard curve's temperatures";
        QTest::newRow("above the curve") << References{{500.5, 0.1}} << "at 500.5 K lies outside";
        QTest::newRow("not a voltage") << References{{77.35, NAN}} << "at 77.35 K";
        QTest::newRow("one temperature twice") << References{{77.35, 1.0}, {77.35, 1.01}} << "share the temperature 77.35 K";
    }

    void softcalRefused()
    {
        QFETCH(References, references);
        QFETCH(QString, reason);

        const curvemath::Softcal fit = curvemath::softcal(standardCurve(), references);
        QVERIFY(!fit.ok());
        QVERIFY(fit.points.isEmpty());
        QVERIFY2(fit.error.contains(reason), qPrintable(fit.error));
    }

    void largestError_data()
    {
        QTest::addColumn<Points>("source");
        QTest::addColumn<double>("millikelvin");
        QTest::addColumn<double>("kelvin");

        QTest::newRow("on the table") << Points{{1.0, 10}, {0.75, 15}, {0.5, 20}} << 0.0 << 0.0;
        QTest::newRow("one point off") << Points{{0.75, 15}, {0.9, 12.5}, {0.6, 18.1}} << -500.0 << 12.5;
        QTest::newRow("beyond the table") << Points{{1.2, 9.0}, {0.6, 18.1}} << 1000.0 << 9.0;
    }

    // The table rows are in falling voltage, as a diode's; the error is signed.
    void largestError()
    {
        QFETCH(Points, source);
        QFETCH(double, millikelvin);
        QFETCH(double, kelvin);

        const curvemath::WorstError worst = curvemath::largestError({{1.0, 10}, {0.5, 20}}, source);
        QVERIFY2(std::fabs(worst.millikelvin - millikelvin) < 1e-9, qPrintable(QString::number(worst.millikelvin)));
        QCOMPARE(worst.kelvin, kelvin);
    }

    void monotoneCubic_data()
    {
        QTest::addColumn<Points>("points");

        // A step: a cubic spline through it rings above and below the levels.
        QTest::newRow("step") << Points{{0.0, 1}, {0.0, 2}, {0.0, 3}, {1.0, 4}, {1.0, 5}, {1.0, 6}};
        QTest::newRow("steep, then flat")
            << Points{{1.7, 1.4}, {1.5, 5}, {1.2, 20}, {1.12, 25}, {1.10, 30}, {1.03, 77}, {0.56, 300}, {0.09, 500}};
        QTest::newRow("uneven widths") << Points{{1.0, 1}, {0.9, 1.01}, {0.2, 40}, {0.19, 41}, {0.0, 500}};
        QTest::newRow("rising") << Points{{0.1, 10}, {0.2, 20}, {0.8, 30}, {0.81, 40}};
        QTest::newRow("two points") << Points{{1.6, 1.5}, {0.1, 500}};
    }

    // Through every point, and within each piece between its two points' voltages, moving one
    // way only: no overshoot for a table row to pick up. The voltage read back finds its
    // temperature again.
    void monotoneCubic()
    {
        QFETCH(Points, points);

        const MonotoneCubic cubic(points);
        QVERIFY(cubic.ok());
        for (int index = 0; index < points.size(); ++index)
            QCOMPARE(cubic.voltsAt(points.at(index).second), points.at(index).first);
        constexpr int Samples = 1000;
        for (int piece = 0; piece < cubic.pieces(); ++piece) {
            const double low = std::min(points.at(piece).first, points.at(piece + 1).first);
            const double high = std::max(points.at(piece).first, points.at(piece + 1).first);
            const double direction = points.at(piece + 1).first - points.at(piece).first;
            double previous = points.at(piece).first;
            for (int sample = 1; sample < Samples; ++sample) {
                const double kelvin = points.at(piece).second
                                      + (points.at(piece + 1).second - points.at(piece).second) * sample / Samples;
                const double volts = cubic.voltsIn(piece, kelvin);
                QVERIFY2(volts >= low - 1e-15 && volts <= high + 1e-15,
                         qPrintable(QStringLiteral("%1 V at %2 K").arg(volts, 0, 'g', 17).arg(kelvin)));
                QVERIFY2((volts - previous) * direction >= -1e-15, qPrintable(QStringLiteral("turns at %1 K").arg(kelvin)));
                previous = volts;
                if (direction != 0.0 && sample % 97 == 0)
                    QVERIFY(std::fabs(cubic.kelvinIn(piece, volts) - kelvin) < 1e-9);
            }
        }
    }

    // Collinear points make a straight line, exactly as far as doubles go.
    void monotoneCubicOfALine()
    {
        Points points;
        for (int kelvin = 2; kelvin <= 500; kelvin += 7)
            points << Point(1.2 - 0.002 * kelvin, kelvin);
        const MonotoneCubic cubic(points);
        for (double kelvin = 2.0; kelvin <= points.last().second; kelvin += 0.37) {
            QVERIFY(std::fabs(cubic.voltsAt(kelvin) - (1.2 - 0.002 * kelvin)) < 1e-13);
            QVERIFY(std::fabs(cubic.slopeIn(cubic.pieceOf(kelvin), kelvin) + 0.002) < 1e-12);
            QVERIFY(std::fabs(cubic.curvatureIn(cubic.pieceOf(kelvin), kelvin)) < 1e-9);
        }
        QCOMPARE(cubic.largestDeviation(0, 2.0, cubic.pieces() - 1, points.last().second, 2.0, 1.196, -0.002) < 1e-13,
                 true);
    }

    void largestErrorAlongCurve_data()
    {
        QTest::addColumn<Points>("table");
        QTest::addColumn<Points>("curve");
        QTest::addColumn<double>("lowKelvin");
        QTest::addColumn<double>("highKelvin");

        const double all = std::numeric_limits<double>::infinity();
        const Points bent{{1.0, 10}, {0.9, 11}, {0.5, 20}, {0.45, 40}};
        Points demo;
        for (double kelvin = 1.4; kelvin < 500; kelvin *= 1.25)
            demo << Point(sim::DemoFirmware::diodeVoltage(kelvin), kelvin);
        demo << Point(sim::DemoFirmware::diodeVoltage(500), 500);
        Points coarse;
        for (int index = 0; index < demo.size(); index += 3)
            coarse << demo.at(index);
        coarse << demo.last();
        Points rising = bent;
        for (Point &point : rising)
            point.first = 2.0 - point.first;

        QTest::newRow("the curve's own points") << bent << bent << -all << all;
        QTest::newRow("every third point of the demo diode") << coarse << demo << -all << all;
        QTest::newRow("the same, 20 K to 60 K") << coarse << demo << 20.0 << 60.0;
        QTest::newRow("rising voltage") << rising << rising << -all << all;
        QTest::newRow("table shorter than the curve") << Points{{0.9, 11}, {0.5, 20}} << bent << -all << all;
        QTest::newRow("table in rising order") << Points{{0.45, 40}, {1.0, 10}} << bent << -all << all;
    }

    // The error found is the largest one a fine scan of the curve meets, and no smaller: each
    // piece's extremes are found exactly, not by sampling.
    void largestErrorAlongCurve()
    {
        QFETCH(Points, table);
        QFETCH(Points, curve);
        QFETCH(double, lowKelvin);
        QFETCH(double, highKelvin);

        const Points sorted = curveimport::sortedAndMerged(curve);
        const MonotoneCubic cubic(sorted);
        double scanned = 0.0;
        constexpr int Samples = 20000;
        for (int sample = 0; sample <= Samples; ++sample) {
            const double kelvin = sorted.first().second + (sorted.last().second - sorted.first().second) * sample / Samples;
            if (kelvin < lowKelvin || kelvin > highKelvin)
                continue;
            const double error = (curvemath::tableTemperature(table, cubic.voltsAt(kelvin)) - kelvin) * 1000.0;
            scanned = std::max(scanned, std::fabs(error));
        }
        const curvemath::WorstError worst = curvemath::largestErrorAlongCurve(table, sorted, lowKelvin, highKelvin);
        QVERIFY2(std::fabs(worst.millikelvin) >= scanned - 1e-9 && std::fabs(worst.millikelvin) <= scanned * 1.001 + 1e-9,
                 qPrintable(QStringLiteral("%1 mK, scanned %2 mK").arg(worst.millikelvin).arg(scanned)));
        QVERIFY(worst.kelvin >= std::max(lowKelvin, sorted.first().second) && worst.kelvin <= std::min(highKelvin, sorted.last().second));
        const double there = (curvemath::tableTemperature(table, cubic.voltsAt(worst.kelvin)) - worst.kelvin) * 1000.0;
        QVERIFY2(std::fabs(there - worst.millikelvin) < 1e-6, qPrintable(QString::number(there)));
        // At the points alone the table may look better, never worse.
        if (std::isinf(lowKelvin))
            QVERIFY(std::fabs(curvemath::largestError(table, curve).millikelvin) <= std::fabs(worst.millikelvin) + 1e-9);
    }

    void millikelvinAt_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<double>("volts");
        QTest::addColumn<double>("millikelvin");

        QTest::newRow("first row") << 0 << 0.001 << -500.0;
        QTest::newRow("inside") << 2 << -0.002 << 1000.0;
        QTest::newRow("last row") << 4 << 0.001 << -500.0;
        QTest::newRow("outside the table") << 5 << 0.001 << double(NAN);
    }

    void millikelvinAt()
    {
        QFETCH(int, row);
        QFETCH(double, volts);
        QFETCH(double, millikelvin);

        Points table;
        for (int kelvin : {10, 20, 40, 80, 160})
            table << Point(1.2 - 0.002 * kelvin, kelvin);
        const double error = curvemath::millikelvinAt(table, row, volts);
        if (std::isnan(millikelvin))
            QVERIFY(std::isnan(error));
        else
            QVERIFY2(std::fabs(error - millikelvin) < 1e-9, qPrintable(QString::number(error)));
    }
};

QTEST_GUILESS_MAIN(TestCurveMath)
#include "tst_curvemath.moc"
