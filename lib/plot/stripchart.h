#pragma once

#include "curveplot.h"

#include <QRectF>
#include <QSize>
#include <QString>
#include <QVector>

class QPainter;

// A strip chart: values against local clock time, one trace per source, with a gap wherever
// readings are missing. Long traces are drawn through the column reduction, so a week of
// readings costs what a screenful does.
namespace stripchart {

// One reading, or a stretch of readings summed up: the lowest, highest and last value over
// `spanMs` from `timeMs`. A stretch without any value has NaN in all three.
struct Sample
{
    qint64 timeMs = 0;  // milliseconds since the epoch, UTC
    qint32 spanMs = 0;  // 0 for a single reading
    float low = 0.0f;
    float high = 0.0f;
    float last = 0.0f;
};

struct Trace
{
    QString name;             // shown in the legend
    QVector<Sample> samples;  // rising in time
    // Samples further apart than this (beyond the first one's span) are not joined: the
    // readings between them are missing.
    qint64 joinMs = 0;
};

struct Window
{
    qint64 fromMs = 0;
    qint64 toMs = 0;  // the right edge: the newest reading
};

// The value axis' title, such as "Temperature (K)".
void draw(QPainter &painter, const QRectF &area, const QVector<Trace> &traces, const Window &window,
          const QString &valueTitle);

curveplot::Written writePng(const QString &path, const QVector<Trace> &traces, const Window &window,
                            const QString &valueTitle, const QSize &size);
curveplot::Written writeSvg(const QString &path, const QVector<Trace> &traces, const Window &window,
                            const QString &valueTitle, const QSize &size);

// Tick times for a time axis from `fromMs` to `toMs`: round clock times (seconds, minutes,
// hours or days in local time), about `count` of them.
QVector<qint64> timeTicks(qint64 fromMs, qint64 toMs, int count = 6);

} // namespace stripchart
