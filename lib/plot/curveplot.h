#pragma once

#include "curveimport.h"

#include <QByteArray>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

class QColor;
class QFontMetricsF;
class QPainter;
class QPointF;

// Draws sensor curves with QPainter on any paint device: an image, an SVG file, a printer
// or a widget. Needs a QGuiApplication (text is drawn with the platform's fonts) but no
// widgets, so the command line can draw without a display.
namespace curveplot {

using curveimport::Point; // (voltage in V, temperature in K)

// The default picture's size in pixels.
constexpr int DefaultWidth = 900;
constexpr int DefaultHeight = 600;

struct Series
{
    QString name;          // shown in the legend
    QVector<Point> points; // any order
    // Mark each point: a curve file's own points, rather than a table. Only while the points
    // are no more than the plot's pixel columns; denser marks would merge into a band.
    bool markers = false;
    // Mode::Errors: the half-length of each point's vertical bar (an uncertainty), in y units.
    QVector<double> bars = {};
};

enum class Mode {
    Curves,     // voltage against temperature
    Difference, // each curve's temperature error in mK against the first, over temperature
    Errors,     // points as given, (error, temperature), marked, with their bars
};

// The axes' titles; empty ones take the mode's own.
struct Titles
{
    QString x;
    QString y;
};

// Each curve's temperature error in mK against the reference curve at the curve's own
// points within the reference's temperatures, as (mK, K) pairs in rising temperature: the
// voltage difference over the reference's slope, the error a reading through the reference
// would have.
QVector<Point> differenceInMillikelvin(const QVector<Point> &reference, const QVector<Point> &curve);

// Tick values of a logarithmic axis: each power of ten from the decade at or below `low` to
// the one at or above `high`; `minor` gets 2..9 times each decade within that span.
QVector<double> decadeTicks(double low, double high, QVector<double> *minor = nullptr);
// Evenly spaced round values (steps of 1, 2 or 5 times a power of ten) covering low..high,
// about `count` of them; the first and last bound the axis.
QVector<double> niceTicks(double low, double high, int count = 6);

// The colour of the series at `index`: colours that stay apart for colour-blind readers too.
QColor colourOf(int index);
// Places for legend entries side by side in rows from (left, top), wrapping before `right`.
QVector<QPointF> legendPlaces(const QFontMetricsF &metrics, const QStringList &names, double left, double right,
                              double top);
// Each name with a line sample in its series' colour at its place.
void drawLegend(QPainter &painter, const QFontMetricsF &metrics, const QStringList &names,
                const QVector<QPointF> &places);

// Draws the plot into `area` of the painter's device. Each series becomes exactly one path
// (plus markers), so an SVG holds one path element per curve.
void draw(QPainter &painter, const QRectF &area, const QVector<Series> &series, Mode mode, const Titles &titles = {});

struct Written
{
    QString error; // non-empty when the file could not be written
    bool ok() const { return error.isEmpty(); }
};

// The plot as a PNG picture or an SVG drawing of the given size in pixels.
Written writePng(const QString &path, const QVector<Series> &series, Mode mode, const QSize &size);
Written writeSvg(const QString &path, const QVector<Series> &series, Mode mode, const QSize &size);

} // namespace curveplot
