#include "curveplot.h"

#include "curvemath.h"
#include "decimation.h"

#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
#include <QSvgGenerator>

#include <algorithm>
#include <cmath>
#include <limits>

namespace curveplot {

namespace {

constexpr double Decade = 10.0;
constexpr double MarkerRadius = 2.5;
constexpr double CurvePenWidth = 1.6;
constexpr double MajorTickLength = 6.0;
constexpr double MinorTickLength = 3.0;
constexpr double Gap = 6.0;           // between labels, ticks and frame, in pixels
constexpr double LegendSwatch = 24.0; // length of a legend's line sample
constexpr int SvgResolution = 96;     // dots per inch an SVG of `size` pixels is meant for
constexpr int MostTicks = 100;        // an axis never needs more; beyond, rounding has won

// Colours that stay apart for colour-blind readers too, in the order curves get them.
const QColor Palette[] = {QColor(0x00, 0x72, 0xb2), QColor(0xd5, 0x5e, 0x00), QColor(0x00, 0x9e, 0x73),
                          QColor(0xcc, 0x79, 0xa7), QColor(0x56, 0xb4, 0xe9), QColor(0xe6, 0x9f, 0x00),
                          QColor(0x00, 0x00, 0x00)};
const QColor GridColour(0xdd, 0xdd, 0xdd);
const QColor FrameColour(0x40, 0x40, 0x40);

QString message(const char *text)
{
    return QCoreApplication::translate("curveplot", text);
}

// What one series shows: x is the temperature, y the voltage or the error in mK.
struct Drawn
{
    QString name;
    QVector<QPointF> points; // (K, y), in the order given
    QVector<double> bars;    // beside points, for Mode::Errors
    bool markers = false;
};

QVector<Drawn> drawnSeries(const QVector<Series> &series, Mode mode)
{
    QVector<Drawn> drawn;
    for (int index = 0; index < series.size(); ++index) {
        Drawn one;
        one.name = series.at(index).name;
        one.markers = series.at(index).markers || mode == Mode::Errors;
        // Curves are drawn as given, in any order (the line is reduced to pixel columns, which
        // orders it): a million-point curve is held once more, not twice, and never sorted.
        const QVector<Point> shown = mode == Mode::Difference
                                         ? differenceInMillikelvin(series.first().points, series.at(index).points)
                                         : series.at(index).points;
        one.points.reserve(shown.size());
        for (const Point &point : shown) {
            // The temperature axis is logarithmic: only temperatures above 0 K have a place.
            if (point.second > 0.0 && std::isfinite(point.first) && std::isfinite(point.second)) {
                if (mode == Mode::Errors)
                    one.bars.append(std::fabs(series.at(index).bars.value(int(&point - shown.constData()))));
                one.points.append(QPointF(point.second, point.first));
            }
        }
        drawn.append(one);
    }
    return drawn;
}

// Maps temperatures (log) and values (linear) into the plot's frame.
struct Axes
{
    QRectF frame;
    double lowKelvin = 1.0;
    double highKelvin = Decade;
    double lowY = 0.0;
    double highY = 1.0;

    double x(double kelvin) const
    {
        const double share = std::log10(kelvin / lowKelvin) / std::log10(highKelvin / lowKelvin);
        return frame.left() + share * frame.width();
    }
    double y(double value) const
    {
        return frame.bottom() - (value - lowY) / (highY - lowY) * frame.height();
    }
    QPointF at(const QPointF &point) const { return QPointF(x(point.x()), y(point.y())); }
};

QString tickText(double value)
{
    return QString::number(value, 'g', 6);
}

QStringList legendNames(const QVector<Drawn> &drawn, Mode mode)
{
    QStringList names;
    for (int index = 0; index < drawn.size(); ++index) {
        names << (mode == Mode::Difference && index == 0 ? message(QT_TRANSLATE_NOOP("curveplot", "%1 (reference)")).arg(drawn.at(index).name)
                                                         : drawn.at(index).name);
    }
    return names;
}

} // namespace

QColor colourOf(int index)
{
    return Palette[size_t(index) % (sizeof Palette / sizeof Palette[0])];
}

// Legend entries side by side in rows above the frame, so they never hide a curve.
QVector<QPointF> legendPlaces(const QFontMetricsF &metrics, const QStringList &names, double left, double right,
                              double top)
{
    QVector<QPointF> places;
    QPointF next(left, top);
    for (const QString &name : names) {
        const double width = LegendSwatch + Gap + metrics.horizontalAdvance(name) + 3 * Gap;
        if (next.x() > left && next.x() + width > right)
            next = QPointF(left, next.y() + metrics.height());
        places << next;
        next.rx() += width;
    }
    return places;
}

void drawLegend(QPainter &painter, const QFontMetricsF &metrics, const QStringList &names,
                const QVector<QPointF> &places)
{
    for (int index = 0; index < names.size(); ++index) {
        const QPointF place = places.at(index);
        const double middle = place.y() + metrics.height() / 2;
        painter.setPen(QPen(colourOf(index), CurvePenWidth));
        painter.drawLine(QPointF(place.x(), middle), QPointF(place.x() + LegendSwatch, middle));
        painter.setPen(FrameColour);
        painter.drawText(QRectF(place.x() + LegendSwatch + Gap, place.y(), metrics.horizontalAdvance(names.at(index)) + Gap,
                                metrics.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, names.at(index));
    }
}

QVector<Point> differenceInMillikelvin(const QVector<Point> &reference, const QVector<Point> &curve)
{
    const QVector<Point> sortedReference = curveimport::sortedAndMerged(reference);
    QVector<Point> errors;
    for (const Point &point : curveimport::sortedAndMerged(curve)) {
        const std::optional<double> volts = curvemath::voltageAt(sortedReference, point.second);
        if (!volts)
            continue;
        errors.append(Point(curvemath::millikelvinFor(point.first - *volts, curvemath::slopeAt(sortedReference, point.second)),
                            point.second));
    }
    return errors;
}

QVector<double> decadeTicks(double low, double high, QVector<double> *minor)
{
    QVector<double> ticks;
    if (!(low > 0.0) || !(high >= low) || !std::isfinite(high))
        return ticks;
    const int first = int(std::floor(std::log10(low)));
    const int last = std::max(first + 1, int(std::ceil(std::log10(high))));
    for (int exponent = first; exponent <= last; ++exponent) {
        const double decade = std::pow(Decade, exponent);
        ticks.append(decade);
        for (int step = 2; minor && exponent < last && step < Decade; ++step)
            minor->append(step * decade);
    }
    return ticks;
}

QVector<double> niceTicks(double low, double high, int count)
{
    if (!std::isfinite(low) || !std::isfinite(high) || count < 2)
        return {};
    if (high - low <= std::numeric_limits<double>::epsilon() * std::max(1.0, std::fabs(low))) {
        // A flat line still gets an axis around it.
        const double margin = low == 0.0 ? 1.0 : std::fabs(low) * 0.1;
        low -= margin;
        high += margin;
    }
    const double rough = (high - low) / (count - 1);
    const double power = std::pow(Decade, std::floor(std::log10(rough)));
    double step = 10.0 * power;
    for (double factor : {1.0, 2.0, 5.0}) {
        if (factor * power >= rough) {
            step = factor * power;
            break;
        }
    }
    const double first = std::floor(low / step);
    const double last = std::ceil(high / step);
    // Far from zero, a range narrow against its values has more steps than a double counts.
    if (!(last - first < MostTicks) || first + 1 == first)
        return {low, high};
    QVector<double> ticks;
    for (double index = first; index <= last; ++index)
        ticks.append(index == 0.0 ? 0.0 : index * step);
    return ticks;
}

void draw(QPainter &painter, const QRectF &area, const QVector<Series> &series, Mode mode, const Titles &titles)
{
    const QVector<Drawn> drawn = drawnSeries(series, mode);
    double lowKelvin = std::numeric_limits<double>::infinity();
    double highKelvin = 0.0;
    double lowY = std::numeric_limits<double>::infinity();
    double highY = -std::numeric_limits<double>::infinity();
    for (const Drawn &one : drawn) {
        for (int i = 0; i < one.points.size(); ++i) {
            const QPointF &point = one.points.at(i);
            const double bar = one.bars.value(i);
            lowKelvin = std::min(lowKelvin, point.x());
            highKelvin = std::max(highKelvin, point.x());
            lowY = std::min(lowY, point.y() - bar);
            highY = std::max(highY, point.y() + bar);
        }
    }
    if (!std::isfinite(lowKelvin)) {
        lowKelvin = 1.0;
        highKelvin = Decade;
        lowY = 0.0;
        highY = 1.0;
    }
    QVector<double> minorKelvin;
    const QVector<double> kelvinTicks = decadeTicks(lowKelvin, highKelvin, &minorKelvin);
    const QVector<double> yTicks = niceTicks(lowY, highY);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QFontMetricsF metrics(painter.font());
    double widestLabel = 0.0;
    for (double tick : yTicks)
        widestLabel = std::max(widestLabel, metrics.horizontalAdvance(tickText(tick)));

    // Room on the right for half of the last temperature label, which centres on the frame's edge.
    const double left = area.left() + metrics.height() + widestLabel + 3 * Gap;
    const double right = area.right() - metrics.horizontalAdvance(tickText(kelvinTicks.last())) / 2 - Gap;
    const QStringList names = legendNames(drawn, mode);
    const QVector<QPointF> places = legendPlaces(metrics, names, left, right, area.top() + Gap);
    const double legendBottom = places.isEmpty() ? area.top() : places.last().y() + metrics.height();

    Axes axes;
    axes.frame = QRectF(QPointF(left, legendBottom + Gap),
                        QPointF(right, area.bottom() - 2 * metrics.height() - 3 * Gap));
    axes.lowKelvin = kelvinTicks.first();
    axes.highKelvin = kelvinTicks.last();
    axes.lowY = yTicks.first();
    axes.highY = yTicks.last();

    // Grid first, so the curves lie on top of it.
    painter.setPen(QPen(GridColour, 0.5));
    for (double kelvin : minorKelvin)
        painter.drawLine(QPointF(axes.x(kelvin), axes.frame.top()), QPointF(axes.x(kelvin), axes.frame.bottom()));
    painter.setPen(QPen(GridColour.darker(115), 1.0));
    for (double kelvin : kelvinTicks)
        painter.drawLine(QPointF(axes.x(kelvin), axes.frame.top()), QPointF(axes.x(kelvin), axes.frame.bottom()));
    for (double value : yTicks)
        painter.drawLine(QPointF(axes.frame.left(), axes.y(value)), QPointF(axes.frame.right(), axes.y(value)));

    painter.setPen(QPen(FrameColour, 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(axes.frame);
    for (double kelvin : minorKelvin) {
        const double x = axes.x(kelvin);
        painter.drawLine(QPointF(x, axes.frame.bottom()), QPointF(x, axes.frame.bottom() - MinorTickLength));
    }
    for (double kelvin : kelvinTicks) {
        const double x = axes.x(kelvin);
        painter.drawLine(QPointF(x, axes.frame.bottom()), QPointF(x, axes.frame.bottom() - MajorTickLength));
        const QString label = tickText(kelvin);
        const double width = metrics.horizontalAdvance(label);
        painter.drawText(QRectF(x - width / 2, axes.frame.bottom() + Gap, width, metrics.height()),
                         Qt::AlignCenter, label);
    }
    for (double value : yTicks) {
        const double y = axes.y(value);
        painter.drawLine(QPointF(axes.frame.left(), y), QPointF(axes.frame.left() + MajorTickLength, y));
        painter.drawText(QRectF(axes.frame.left() - Gap - widestLabel, y - metrics.height() / 2, widestLabel,
                                metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, tickText(value));
    }

    painter.drawText(QRectF(axes.frame.left(), area.bottom() - metrics.height() - Gap, axes.frame.width(),
                            metrics.height()),
                     Qt::AlignCenter, titles.x.isEmpty() ? message(QT_TRANSLATE_NOOP("curveplot", "Temperature (K)")) : titles.x);
    painter.save();
    painter.translate(area.left() + Gap, axes.frame.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-axes.frame.height() / 2, 0, axes.frame.height(), metrics.height()), Qt::AlignCenter,
                     !titles.y.isEmpty() ? titles.y
                     : mode == Mode::Curves ? message(QT_TRANSLATE_NOOP("curveplot", "Voltage (V)"))
                                            : message(QT_TRANSLATE_NOOP("curveplot", "Temperature error (mK)")));
    painter.restore();

    // One path per curve; markers as separate ellipses.
    for (int index = 0; index < drawn.size(); ++index) {
        const Drawn &one = drawn.at(index);
        if (one.points.isEmpty())
            continue;
        UnorderedColumnReducer reducer(qint64(std::floor(axes.frame.left())), qint64(std::floor(axes.frame.right())));
        for (const QPointF &point : one.points)
            reducer.add(axes.at(point));
        const QPolygonF reduced = reducer.finish();
        QPainterPath path(reduced.first());
        for (int point = 1; point < reduced.size(); ++point)
            path.lineTo(reduced.at(point));
        painter.setPen(QPen(colourOf(index), CurvePenWidth));
        painter.setBrush(Qt::NoBrush);
        // Errors at separate points are not a curve: bars, not a line between them.
        if (mode != Mode::Errors)
            painter.drawPath(path);
        for (int point = 0; point < one.bars.size(); ++point) {
            const QPointF centre = axes.at(one.points.at(point));
            const double top = axes.y(one.points.at(point).y() + one.bars.at(point));
            const double bottom = axes.y(one.points.at(point).y() - one.bars.at(point));
            painter.drawLine(QPointF(centre.x(), top), QPointF(centre.x(), bottom));
            painter.drawLine(QPointF(centre.x() - MarkerRadius * 1.5, top), QPointF(centre.x() + MarkerRadius * 1.5, top));
            painter.drawLine(QPointF(centre.x() - MarkerRadius * 1.5, bottom), QPointF(centre.x() + MarkerRadius * 1.5, bottom));
        }
        if (one.markers && one.points.size() <= axes.frame.width()) {
            painter.setBrush(colourOf(index));
            painter.setPen(Qt::NoPen);
            for (const QPointF &point : one.points)
                painter.drawEllipse(axes.at(point), MarkerRadius, MarkerRadius);
        }
    }
    painter.setBrush(Qt::NoBrush);
    drawLegend(painter, metrics, names, places);
    painter.restore();
}

Written writePng(const QString &path, const QVector<Series> &series, Mode mode, const QSize &size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {message(QT_TRANSLATE_NOOP("curveplot", "A picture of %1 × %2 pixels cannot be made.")).arg(size.width()).arg(size.height())};
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        draw(painter, QRectF(QPointF(0, 0), QSizeF(size)), series, mode);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit())
        return {message(QT_TRANSLATE_NOOP("curveplot", "Couldn't write \"%1\": %2.")).arg(QDir::toNativeSeparators(path), file.errorString())};
    return {};
}

Written writeSvg(const QString &path, const QVector<Series> &series, Mode mode, const QSize &size)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {message(QT_TRANSLATE_NOOP("curveplot", "Couldn't write \"%1\": %2.")).arg(QDir::toNativeSeparators(path), file.errorString())};
    QSvgGenerator generator;
    generator.setOutputDevice(&file);
    generator.setSize(size);
    generator.setViewBox(QRect(QPoint(0, 0), size));
    generator.setResolution(SvgResolution);
    generator.setTitle(mode == Mode::Difference ? message(QT_TRANSLATE_NOOP("curveplot", "Temperature error against the first curve"))
                                                : message(QT_TRANSLATE_NOOP("curveplot", "Sensor curves")));
    {
        QPainter painter;
        if (!painter.begin(&generator))
            return {message(QT_TRANSLATE_NOOP("curveplot", "Couldn't draw into \"%1\".")).arg(QDir::toNativeSeparators(path))};
        painter.fillRect(QRectF(QPointF(0, 0), QSizeF(size)), Qt::white);
        draw(painter, QRectF(QPointF(0, 0), QSizeF(size)), series, mode);
    }
    if (file.error() != QFileDevice::NoError || !file.commit())
        return {message(QT_TRANSLATE_NOOP("curveplot", "Couldn't write \"%1\": %2.")).arg(QDir::toNativeSeparators(path), file.errorString())};
    return {};
}

} // namespace curveplot
