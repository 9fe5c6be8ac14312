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

// A shaded stretch of values over a stretch of time, in the colour of a trace: a limit drawn
// around the readings it applies to.
struct Band
{
    qint64 fromMs = 0;
    qint64 toMs = 0;
    double low = 0.0;
    double high = 0.0;
    int trace = 0; // whose colour
};

struct Window
{
    qint64 fromMs = 0;
    qint64 toMs = 0;  // the right edge: the newest reading
};

// The value axis' title, such as "Temperature (K)". Bands lie under the traces, and the value
// axis takes them in.
void draw(QPainter &painter, const QRectF &area, const QVector<Trace> &traces, const Window &window,
          const QString &valueTitle, const QVector<Band> &bands = {});

curveplot::Written writePng(const QString &path, const QVector<Trace> &traces, const Window &window,
                            const QString &valueTitle, const QSize &size);
curveplot::Written writeSvg(const QString &path, const QVector<Trace> &traces, const Window &window,
                            const QString &valueTitle, const QSize &size);

// Tick times for a time axis from `fromMs` to `toMs`: round clock times (seconds, minutes,
// hours or days in local time), about `count` of them.
QVector<qint64> timeTicks(qint64 fromMs, qint64 toMs, int count = 6);

} // namespace stripchart
