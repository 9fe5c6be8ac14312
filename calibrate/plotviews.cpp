#include "plotviews.h"

#include <QPainter>

#include <cmath>

namespace {
constexpr int SmallestWidth = 360;
constexpr int SmallestHeight = 200;
// Readings further apart than this leave a gap: the run paused (a slow answer, a stop).
constexpr qint64 JoinMs = 10000;
} // namespace

RunChart::RunChart(QWidget *parent)
    : QWidget(parent)
    , m_traces(2)
{
    setMinimumSize(SmallestWidth, SmallestHeight);
    setAttribute(Qt::WA_OpaquePaintEvent);
    clear(QString());
}

void RunChart::clear(const QString &valueTitle)
{
    m_title = valueTitle;
    m_traces[0] = {tr("reference"), {}, JoinMs};
    m_traces[1] = {tr("instrument"), {}, JoinMs};
    m_bands.clear();
    update();
}

void RunChart::add(qint64 ms, double reference, double instrument)
{
    const float values[] = {float(reference), float(instrument)};
    for (int channel = 0; channel < 2; ++channel)
        m_traces[channel].samples.append({ms, 0, values[channel], values[channel], values[channel]});
    update();
}

void RunChart::setBands(qint64 fromMs, qint64 toMs, double referenceMean, double instrumentMean, double sdLimit)
{
    m_bands.clear();
    const double means[] = {referenceMean, instrumentMean};
    for (int channel = 0; channel < 2; ++channel) {
        if (std::isfinite(means[channel]))
            m_bands.append({fromMs, toMs, means[channel] - sdLimit, means[channel] + sdLimit, channel});
    }
    update();
}

void RunChart::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    const QVector<stripchart::Sample> &samples = m_traces.at(0).samples;
    stripchart::Window window;
    window.toMs = samples.isEmpty() ? 0 : samples.last().timeMs;
    window.fromMs = samples.isEmpty() ? 0 : samples.first().timeMs;
    for (const stripchart::Band &band : qAsConst(m_bands))
        window.fromMs = std::min(window.fromMs, band.fromMs);
    stripchart::draw(painter, QRectF(rect()), m_traces, window, m_title, m_bands);
}

PlotView::PlotView(QWidget *parent)
    : QWidget(parent)
{
    setMinimumSize(SmallestWidth, SmallestHeight);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PlotView::setPlot(const QVector<curveplot::Series> &series, curveplot::Mode mode, const curveplot::Titles &titles)
{
    m_series = series;
    m_mode = mode;
    m_titles = titles;
    update();
}

void PlotView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    if (!m_series.isEmpty())
        curveplot::draw(painter, QRectF(rect()), m_series, m_mode, m_titles);
}
