#include "curveplot.h"
#include "demofirmware.h"

#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using curveplot::Point;
using curveplot::Series;
using Points = QVector<Point>;
using Ticks = QVector<double>;
Q_DECLARE_METATYPE(curveplot::Mode)

namespace {

// The demo diode's curve, `offset` volts above the standard one.
Points diode(int count, double offset)
{
    Points points;
    for (int i = 0; i < count; ++i) {
        const double kelvin = 1.4 * std::pow(500.0 / 1.4, double(i) / (count - 1));
        points << Point(sim::DemoFirmware::diodeVoltage(kelvin) + offset, kelvin);
    }
    return points;
}

QVector<Series> sources(int count)
{
    QVector<Series> series{{QStringLiteral("standard curve"), diode(300, 0.0), true},
                           {QStringLiteral("sensor 2"), diode(100, 0.010), false},
                           {QStringLiteral("sensor 3"), diode(100, -0.004), false}};
    return series.mid(0, count);
}

} // namespace

class TestCurvePlot : public QObject
{
    Q_OBJECT

private slots:
    void png_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("curves");
        QTest::addColumn<curveplot::Mode>("mode");

        QTest::newRow("default size, one curve") << QSize(curveplot::DefaultWidth, curveplot::DefaultHeight) << 1
                                                 << curveplot::Mode::Curves;
        QTest::newRow("small, three curves") << QSize(320, 200) << 3 << curveplot::Mode::Curves;
        QTest::newRow("wide, difference") << QSize(1600, 500) << 3 << curveplot::Mode::Difference;
    }

    // A picture of the requested size, with each curve's colour on it.
    void png()
    {
        QFETCH(QSize, size);
        QFETCH(int, curves);
        QFETCH(curveplot::Mode, mode);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("plot.png"));
        const curveplot::Written written = curveplot::writePng(path, sources(curves), mode, size);
        QVERIFY2(written.ok(), qPrintable(written.error));
        QImage image(path);
        QCOMPARE(image.size(), size);
        image = image.convertToFormat(QImage::Format_RGB32);
        int inked = 0;
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb pixel = image.pixel(x, y);
                inked += pixel != qRgb(255, 255, 255);
                colours.insert(pixel);
            }
        }
        QVERIFY2(inked > image.width() * image.height() / 100, qPrintable(QString::number(inked)));
        // Each curve has its own colour; anti-aliasing adds shades of each.
        QVERIFY2(colours.size() > 10 * curves, qPrintable(QString::number(colours.size())));
    }

    void svgHasOnePathPerCurve_data()
    {
        QTest::addColumn<int>("curves");
        QTest::addColumn<curveplot::Mode>("mode");

        QTest::newRow("one") << 1 << curveplot::Mode::Curves;
        QTest::newRow("three") << 3 << curveplot::Mode::Curves;
        QTest::newRow("difference of two") << 2 << curveplot::Mode::Difference;
        QTest::newRow("difference of three") << 3 << curveplot::Mode::Difference;
    }

    void svgHasOnePathPerCurve()
    {
        QFETCH(int, curves);
        QFETCH(curveplot::Mode, mode);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("plot.svg"));
        const curveplot::Written written = curveplot::writeSvg(path, sources(curves), mode, QSize(640, 480));
        QVERIFY2(written.ok(), qPrintable(written.error));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray svg = file.readAll();
        QVERIFY(svg.contains("<svg"));
        QVERIFY(svg.contains("viewBox=\"0 0 640 480\""));
        QCOMPARE(svg.count("<path"), curves);
        for (const Series &series : sources(curves))
            QVERIFY2(svg.contains(series.name.toUtf8()), qPrintable(series.name));
    }

    void unwritableFileIsReported()
    {
        const QString path = QStringLiteral("/nonexistent-directory/plot.png");
        const curveplot::Written written = curveplot::writePng(path, sources(1), curveplot::Mode::Curves, QSize(100, 100));
        QVERIFY(!written.ok());
        QVERIFY2(written.error.contains(path), qPrintable(written.error));
    }

    // A curve 10 mV above a diode's standard one, read through the standard curve: a
    // diode's voltage falls with temperature, so it reads colder by 10 mV over the slope.
    void differenceIsTheTemperatureError()
    {
        const Points line{{1.2 - 0.002 * 10, 10}, {1.2 - 0.002 * 300, 300}};
        Points shifted;
        for (double kelvin : {5.0, 10.0, 77.35, 150.0, 300.0, 400.0})
            shifted << Point(1.2 - 0.002 * kelvin + 0.010, kelvin);
        const Points errors = curveplot::differenceInMillikelvin(line, shifted);
        QCOMPARE(errors.size(), 4);
        for (const Point &error : errors)
            QVERIFY2(std::fabs(error.first - -5000.0) < 1e-6, qPrintable(QString::number(error.first)));
        QCOMPARE(errors.first().second, 10.0);
        QCOMPARE(errors.last().second, 300.0);
    }

    void ticks_data()
    {
        QTest::addColumn<double>("low");
        QTest::addColumn<double>("high");
        QTest::addColumn<Ticks>("decades");
        QTest::addColumn<Ticks>("nice");

        QTest::newRow("diode range") << 1.4 << 500.0 << Ticks{1, 10, 100, 1000} << Ticks{0, 100, 200, 300, 400, 500};
        QTest::newRow("within a decade") << 20.0 << 30.0 << Ticks{10, 100} << Ticks{20, 22, 24, 26, 28, 30};
        QTest::newRow("volts") << 0.1427 << 1.6898 << Ticks{0.1, 1, 10} << Ticks{0, 0.5, 1, 1.5, 2};
        QTest::newRow("errors in mK") << -4650.0 << 0.0 << Ticks{} << Ticks{-5000, -4000, -3000, -2000, -1000, 0};
    }

    void ticks()
    {
        QFETCH(double, low);
        QFETCH(double, high);
        QFETCH(Ticks, decades);
        QFETCH(Ticks, nice);

        // A logarithmic axis has no place for values at or below 0.
        QCOMPARE(curveplot::decadeTicks(low, high), decades);
        const Ticks ticks = curveplot::niceTicks(low, high);
        QCOMPARE(ticks.size(), nice.size());
        for (int i = 0; i < ticks.size(); ++i)
            QVERIFY2(std::fabs(ticks[i] - nice[i]) < 1e-9, qPrintable(QString::number(ticks[i])));
    }
};

QTEST_MAIN(TestCurvePlot)
#include "tst_curveplot.moc"
