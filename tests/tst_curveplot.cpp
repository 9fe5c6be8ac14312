#include "curveplot.h"
#include "decimation.h"
#include "stripchart.h"
#include "demofirmware.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <random>

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

QImage blank(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
}

bool inked(const QImage &image, int x, int y)
{
    const QRgb pixel = image.pixel(x, y);
    return qRed(pixel) + qGreen(pixel) + qBlue(pixel) < 3 * 255 - 96;
}

// Inked pixels of both pictures, and those inked in one with no ink in the other within one
// pixel: a line one pixel off is the same line, a missing stretch or spike is not.
QPair<int, int> inkAndDifference(const QImage &a, const QImage &b)
{
    int ink = 0;
    int differing = 0;
    for (int y = 1; y + 1 < a.height(); ++y) {
        for (int x = 1; x + 1 < a.width(); ++x) {
            for (const auto &pair : {qMakePair(&a, &b), qMakePair(&b, &a)}) {
                if (!inked(*pair.first, x, y))
                    continue;
                ++ink;
                bool near = false;
                for (int dy = -1; dy <= 1 && !near; ++dy) {
                    for (int dx = -1; dx <= 1 && !near; ++dx)
                        near = inked(*pair.second, x + dx, y + dy);
                }
                differing += near ? 0 : 1;
            }
        }
    }
    return {ink, differing};
}

} // namespace

class TestCurvePlot : public QObject
{
    Q_OBJECT

private slots:
    // A million points drawn from their column extremes look as when drawn all: at most one
    // inked pixel in a thousand lacks ink within one pixel in the other picture, and at most
    // four points per column are kept.
    void reducedLineMatchesTheWholeOne_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<bool>("antialiased");
        QTest::addColumn<double>("penWidth");
        QTest::newRow("noisy random walk, thin") << "walk" << false << 0.0;
        QTest::newRow("slow wave with spikes, as plotted") << "spikes" << true << 1.6;
        QTest::newRow("slow wave with spikes, thin") << "spikes" << false << 0.0;
    }

    void reducedLineMatchesTheWholeOne()
    {
        QFETCH(QString, shape);
        QFETCH(bool, antialiased);
        QFETCH(double, penWidth);
        constexpr int Count = 1000000;
        const QSize size(900, 600);
        QRandomGenerator random(7);
        QVector<QPointF> points;
        points.reserve(Count);
        double level = 300.0;
        for (int index = 0; index < Count; ++index) {
            const double x = 20.0 + 860.0 * index / Count;
            double y;
            if (shape == QLatin1String("walk")) {
                level += random.bounded(2.0) - 1.0;
                level = std::clamp(level, 50.0, 550.0);
                y = level + random.bounded(20.0);
            } else {
                y = 300.0 + 200.0 * std::sin(index * 2e-5) + (index % 99991 == 0 ? -250.0 : 0.0);
            }
            points << QPointF(x, y);
        }
        const QPolygonF reduced = curveplot::reduceToColumns(points);
        QVERIFY2(reduced.size() <= 4 * size.width(), qPrintable(QString::number(reduced.size())));
        QCOMPARE(reduced.first(), points.first());
        QCOMPARE(reduced.last(), points.last());
        // Points in any order reduce to the same line, so a curve is drawn without sorting it.
        QVector<QPointF> shuffled = points;
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
        curveplot::UnorderedColumnReducer unordered(0, size.width() - 1);
        for (const QPointF &point : qAsConst(shuffled))
            unordered.add(point);
        QCOMPARE(unordered.finish(), reduced);

        QImage whole = blank(size);
        QImage fromReduced = blank(size);
        for (auto pair : {qMakePair(&whole, QPolygonF(points)), qMakePair(&fromReduced, reduced)}) {
            QPainter painter(pair.first);
            painter.setRenderHint(QPainter::Antialiasing, antialiased);
            painter.setPen(QPen(Qt::blue, penWidth));
            painter.drawPolyline(pair.second);
        }
        const auto counted = inkAndDifference(whole, fromReduced);
        QVERIFY(counted.first > 1000);
        QVERIFY2(counted.second * 1000 <= counted.first,
                 qPrintable(QStringLiteral("%1 of %2 inked pixels differ").arg(counted.second).arg(counted.first)));
    }

    // A missing reading leaves a gap in the trace; readings on either side are drawn.
    void stripChartLeavesGaps()
    {
        QVector<stripchart::Sample> samples;
        const qint64 start = 1765000000000;
        for (int second = 0; second <= 600; ++second) {
            stripchart::Sample sample;
            sample.timeMs = start + second * 1000;
            const float value = (second >= 280 && second < 320) ? std::nanf("") : 77.0f;
            sample.low = sample.high = sample.last = value;
            samples << sample;
        }
        // A stretch with no readings at all, beyond the join distance.
        samples.erase(samples.begin() + 400, samples.begin() + 450);
        QImage image = blank(QSize(900, 400));
        {
            QPainter painter(&image);
            stripchart::draw(painter, QRectF(0, 0, 900, 400), {{QStringLiteral("ttyACM0"), samples, 2500}},
                             {start, start + 600 * 1000}, QStringLiteral("Temperature (K)"));
        }
        // The trace's row: the colour of the first trace at the middle of the frame.
        const QColor colour = curveplot::colourOf(0);
        const auto traced = [&](double share) {
            // Columns of the frame are found from the trace's own extent.
            int first = -1;
            int last = -1;
            int row = -1;
            for (int y = 0; y < image.height() && row < 0; ++y) {
                for (int x = 200; x < 800; ++x) {
                    if (QColor(image.pixel(x, y)) == colour) {
                        row = y;
                        break;
                    }
                }
            }
            for (int x = 0; x < image.width(); ++x) {
                if (QColor(image.pixel(x, row)) == colour) {
                    if (first < 0)
                        first = x;
                    last = x;
                }
            }
            const int x = first + int(share * (last - first));
            for (int dy = -2; dy <= 2; ++dy) {
                if (QColor(image.pixel(x, row + dy)) == colour)
                    return true;
            }
            return false;
        };
        QVERIFY(traced(0.1));
        QVERIFY(!traced(0.5));    // missing readings
        QVERIFY(traced(0.6));
        QVERIFY(!traced(0.708));  // no readings at all
        QVERIFY(traced(0.9));
    }

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
        // Named as the system names it: with backslashes on Windows.
        QVERIFY2(written.error.contains(QDir::toNativeSeparators(path)), qPrintable(written.error));
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
