#include "stripchart.h"

#include "decimation.h"
#include "numbers.h"

#include <QColor>
#include <QCoreApplication>
#include <QDateTime>
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

namespace stripchart {

namespace {

constexpr double Gap = 6.0;            // between labels, ticks and frame, in pixels
constexpr double TracePenWidth = 1.6;
constexpr double TickLength = 6.0;
constexpr int SvgResolution = 96;
constexpr int PieceLength = 32;        // points per stroke of a long trace
constexpr qint64 MsPerSecond = qint64(numbers::MsPerSecond);
constexpr qint64 MsPerMinute = 60 * MsPerSecond;
constexpr qint64 MsPerHour = 60 * MsPerMinute;
constexpr qint64 MsPerDay = 24 * MsPerHour;
constexpr int BandAlpha = 40; // a band shades, and the traces stay readable over it
const QColor GridColour(0xdd, 0xdd, 0xdd);
const QColor FrameColour(0x40, 0x40, 0x40);

QString message(const char *text)
{
    return QCoreApplication::translate("stripchart", text);
}

// Steps a time axis can take, smallest first.
const qint64 TimeSteps[] = {MsPerSecond, 2 * MsPerSecond, 5 * MsPerSecond, 10 * MsPerSecond,
                            15 * MsPerSecond, 30 * MsPerSecond, MsPerMinute, 2 * MsPerMinute,
                            5 * MsPerMinute, 10 * MsPerMinute, 15 * MsPerMinute, 30 * MsPerMinute,
                            MsPerHour, 2 * MsPerHour, 3 * MsPerHour, 6 * MsPerHour, 12 * MsPerHour,
                            MsPerDay, 2 * MsPerDay, 7 * MsPerDay};

qint64 stepFor(qint64 spanMs, int count)
{
    for (qint64 step : TimeSteps) {
        if (step * count >= spanMs)
            return step;
    }
    return TimeSteps[sizeof TimeSteps / sizeof TimeSteps[0] - 1];
}

QString timeText(qint64 timeMs, qint64 stepMs)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(timeMs);
    if (stepMs >= MsPerDay)
        return local.toString(QStringLiteral("d MMM"));
    if (stepMs >= 12 * MsPerHour || local.time() == QTime(0, 0))
        return local.toString(QStringLiteral("d MMM HH:mm"));
    if (stepMs >= MsPerMinute)
        return local.toString(QStringLiteral("HH:mm"));
    return local.toString(QStringLiteral("HH:mm:ss"));
}

struct Axes
{
    QRectF frame;
    Window window;
    double lowY = 0.0;
    double highY = 1.0;

    double x(qint64 timeMs) const
    {
        return frame.left() + double(timeMs - window.fromMs) / double(window.toMs - window.fromMs) * frame.width();
    }
    double y(double value) const { return frame.bottom() - (value - lowY) / (highY - lowY) * frame.height(); }
};

// The samples of `trace` that touch the window: a binary search on the rising times.
std::pair<const Sample *, const Sample *> visible(const Trace &trace, const Window &window)
{
    const Sample *begin = trace.samples.constData();
    const Sample *end = begin + trace.samples.size();
    const Sample *first = std::lower_bound(begin, end, window.fromMs, [](const Sample &sample, qint64 time) {
        return sample.timeMs + sample.spanMs < time;
    });
    // One sample on either side, so the line runs to the frame's edge.
    if (first != begin)
        --first;
    const Sample *last = std::upper_bound(first, end, window.toMs, [](qint64 time, const Sample &sample) {
        return time < sample.timeMs;
    });
    if (last != end)
        ++last;
    return {first, last};
}

void drawTrace(QPainter &painter, const Axes &axes, const Trace &trace, int index)
{
    const auto range = visible(trace, axes.window);
    curveplot::ColumnReducer reducer;
    qint64 joinUntil = std::numeric_limits<qint64>::min();
    for (const Sample *sample = range.first; sample != range.second; ++sample) {
        if (std::isnan(sample->last)) {
            reducer.breakLine();
            continue;
        }
        if (sample->timeMs > joinUntil)
            reducer.breakLine();
        const double x = axes.x(sample->timeMs);
        if (sample->spanMs == 0 || sample->low == sample->high) {
            reducer.add(QPointF(x, axes.y(sample->last)));
        } else {
            reducer.add(QPointF(x, axes.y(sample->low)));
            reducer.add(QPointF(x, axes.y(sample->high)));
            reducer.add(QPointF(x, axes.y(sample->last)));
        }
        joinUntil = sample->timeMs + sample->spanMs + trace.joinMs;
    }
    const QVector<QPolygonF> lines = reducer.finish();
    int points = 0;
    for (const QPolygonF &line : lines)
        points += line.size();
    // A trace with more points than the frame has columns folds over itself in every column:
    // a hairline draws it at a fraction of the cost of a wide stroke, and looks the same.
    const bool dense = points > axes.frame.width();
    painter.setPen(QPen(curveplot::colourOf(index), dense ? 0.0 : TracePenWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    for (const QPolygonF &line : lines) {
        if (line.size() == 1) {
            painter.drawPoint(line.first());
            continue;
        }
        // In short pieces that share their end points: a noisy trace folds over itself in
        // every column, and the antialiased stroke of one long folded line costs far more
        // than the sum of its pieces.
        for (int first = 0; first + 1 < line.size(); first += PieceLength - 1)
            painter.drawPolyline(line.constData() + first, std::min(PieceLength, int(line.size()) - first));
    }
}

} // namespace

QVector<qint64> timeTicks(qint64 fromMs, qint64 toMs, int count)
{
    QVector<qint64> ticks;
    if (toMs <= fromMs || count < 1)
        return ticks;
    const qint64 step = stepFor(toMs - fromMs, count);
    // Round in local time, so an hour tick falls on the hour of the wall clock.
    const qint64 offset = qint64(QDateTime::fromMSecsSinceEpoch(fromMs).offsetFromUtc()) * MsPerSecond;
    qint64 tick = ((fromMs + offset + step - 1) / step) * step - offset;
    // Days and weeks begin at local midnight.
    if (step >= MsPerDay)
        tick = QDateTime(QDateTime::fromMSecsSinceEpoch(tick).date(), QTime(0, 0)).toMSecsSinceEpoch();
    for (; tick <= toMs; tick += step) {
        if (tick >= fromMs)
            ticks.append(tick);
    }
    return ticks;
}

void draw(QPainter &painter, const QRectF &area, const QVector<Trace> &traces, const Window &window,
          const QString &valueTitle, const QVector<Band> &bands)
{
    Window shown = window;
    if (shown.toMs <= shown.fromMs)
        shown.toMs = shown.fromMs + MsPerMinute;
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    for (const Trace &trace : traces) {
        const auto range = visible(trace, shown);
        for (const Sample *sample = range.first; sample != range.second; ++sample) {
            if (std::isnan(sample->last) || sample->timeMs + sample->spanMs < shown.fromMs || sample->timeMs > shown.toMs)
                continue;
            low = std::min(low, double(sample->low));
            high = std::max(high, double(sample->high));
        }
    }
    for (const Band &band : bands) {
        if (band.toMs >= shown.fromMs && band.fromMs <= shown.toMs && std::isfinite(band.low) && std::isfinite(band.high)) {
            low = std::min(low, band.low);
            high = std::max(high, band.high);
        }
    }
    if (!std::isfinite(low) || !std::isfinite(high)) {
        low = 0.0;
        high = 1.0;
    }
    const QVector<double> yTicks = curveplot::niceTicks(low, high);
    const qint64 stepMs = stepFor(shown.toMs - shown.fromMs, 6);
    const QVector<qint64> xTicks = timeTicks(shown.fromMs, shown.toMs);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QFontMetricsF metrics(painter.font());
    double widestLabel = 0.0;
    for (double tick : yTicks)
        widestLabel = std::max(widestLabel, metrics.horizontalAdvance(QString::number(tick, 'g', 6)));
    const double left = area.left() + metrics.height() + widestLabel + 3 * Gap;
    const double right = area.right() - metrics.horizontalAdvance(timeText(shown.toMs, stepMs)) / 2 - Gap;
    QStringList names;
    for (const Trace &trace : traces)
        names << trace.name;
    const QVector<QPointF> places = curveplot::legendPlaces(metrics, names, left, right, area.top() + Gap);
    const double legendBottom = places.isEmpty() ? area.top() : places.last().y() + metrics.height();

    Axes axes;
    axes.window = shown;
    axes.frame = QRectF(QPointF(left, legendBottom + Gap), QPointF(right, area.bottom() - 2 * metrics.height() - 3 * Gap));
    axes.lowY = yTicks.first();
    axes.highY = yTicks.last();

    painter.setPen(QPen(GridColour, 1.0));
    for (qint64 tick : xTicks)
        painter.drawLine(QPointF(axes.x(tick), axes.frame.top()), QPointF(axes.x(tick), axes.frame.bottom()));
    for (double value : yTicks)
        painter.drawLine(QPointF(axes.frame.left(), axes.y(value)), QPointF(axes.frame.right(), axes.y(value)));
    painter.setPen(QPen(FrameColour, 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(axes.frame);
    for (qint64 tick : xTicks) {
        const double x = axes.x(tick);
        painter.drawLine(QPointF(x, axes.frame.bottom()), QPointF(x, axes.frame.bottom() - TickLength));
        const QString label = timeText(tick, stepMs);
        const double width = metrics.horizontalAdvance(label);
        painter.drawText(QRectF(x - width / 2, axes.frame.bottom() + Gap, width, metrics.height()), Qt::AlignCenter,
                         label);
    }
    for (double value : yTicks) {
        const double y = axes.y(value);
        painter.drawLine(QPointF(axes.frame.left(), y), QPointF(axes.frame.left() + TickLength, y));
        painter.drawText(QRectF(axes.frame.left() - Gap - widestLabel, y - metrics.height() / 2, widestLabel,
                                metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, QString::number(value, 'g', 6));
    }
    painter.drawText(QRectF(axes.frame.left(), area.bottom() - metrics.height() - Gap, axes.frame.width(),
                            metrics.height()),
                     Qt::AlignCenter, message(QT_TRANSLATE_NOOP("stripchart", "Local time")));
    painter.save();
    painter.translate(area.left() + Gap, axes.frame.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-axes.frame.height() / 2, 0, axes.frame.height(), metrics.height()), Qt::AlignCenter,
                     valueTitle);
    painter.restore();

    painter.setClipRect(axes.frame.adjusted(-TracePenWidth, -TracePenWidth, TracePenWidth, TracePenWidth));
    for (const Band &band : bands) {
        if (!std::isfinite(band.low) || !std::isfinite(band.high))
            continue;
        QColor fill = curveplot::colourOf(band.trace);
        painter.setPen(QPen(fill, 1.0, Qt::DashLine));
        fill.setAlpha(BandAlpha);
        painter.setBrush(fill);
        painter.drawRect(QRectF(QPointF(axes.x(band.fromMs), axes.y(band.high)), QPointF(axes.x(band.toMs), axes.y(band.low))));
    }
    painter.setBrush(Qt::NoBrush);
    for (int index = 0; index < traces.size(); ++index)
        drawTrace(painter, axes, traces.at(index), index);
    painter.setClipping(false);
    curveplot::drawLegend(painter, metrics, names, places);
    painter.restore();
}

curveplot::Written writePng(const QString &path, const QVector<Trace> &traces, const Window &window,
                            const QString &valueTitle, const QSize &size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {message(QT_TRANSLATE_NOOP("stripchart", "A picture of %1 × %2 pixels cannot be made.")).arg(size.width()).arg(size.height())};
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        draw(painter, QRectF(QPointF(0, 0), QSizeF(size)), traces, window, valueTitle);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit())
        return {message(QT_TRANSLATE_NOOP("stripchart", "Couldn't write \"%1\": %2.")).arg(QDir::toNativeSeparators(path), file.errorString())};
    return {};
}

curveplot::Written writeSvg(const QString &path, const QVector<Trace> &traces, const Window &window,
                            const QString &valueTitle, const QSize &size)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {message(QT_TRANSLATE_NOOP("stripchart", "Couldn't write \"%1\": %2.")).arg(QDir::toNativeSeparators(path), file.errorString())};
    QSvgGenerator generator;
    generator.setOutputDevice(&file);
    generator.setSize(size);
    generator.setViewBox(QRect(QPoint(0, 0), size));
    generator.setResolution(SvgResolution);
    generator.setTitle(valueTitle);
    {
        QPainter painter;
        if (!painter.begin(&generator))
            return {message(QT_TRANSLATE_NOOP("stripchart", "Couldn't draw into \"%1\".")).arg(QDir::toNativeSeparators(path))};
        painter.fillRect(QRectF(QPointF(0, 0), QSizeF(size)), Qt::white);
        draw(painter, QRectF(QPointF(0, 0), QSizeF(size)), traces, window, valueTitle);
    }
    if (file.error() != QFileDevice::NoError || !file.commit())
        return {message(QT_TRANSLATE_NOOP("stripchart", "Couldn't write \"%1\": %2.")).arg(QDir::toNativeSeparators(path), file.errorString())};
    return {};
}

} // namespace stripchart
