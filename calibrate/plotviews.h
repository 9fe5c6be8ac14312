#pragma once

#include "curveplot.h"
#include "stripchart.h"

#include <QWidget>

// The run's live chart: both channels of the point in progress against clock time, with the
// stability limits as bands over the window being judged.
class RunChart : public QWidget
{
    Q_OBJECT

public:
    explicit RunChart(QWidget *parent = nullptr);

    // A new point: the traces start again.
    void clear(const QString &valueTitle);
    void add(qint64 ms, double reference, double instrument);
    // The judged window and the SD limit around each channel's mean (NaN: no band yet).
    void setBands(qint64 fromMs, qint64 toMs, double referenceMean, double instrumentMean, double sdLimit);

    const stripchart::Trace &reference() const { return m_traces.at(0); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVector<stripchart::Trace> m_traces;
    QVector<stripchart::Band> m_bands;
    QString m_title;
};

// A plot of curves or errors drawn by the project's plotting, sized to the widget.
class PlotView : public QWidget
{
    Q_OBJECT

public:
    explicit PlotView(QWidget *parent = nullptr);

    void setPlot(const QVector<curveplot::Series> &series, curveplot::Mode mode, const curveplot::Titles &titles = {});
    int seriesCount() const { return m_series.size(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVector<curveplot::Series> m_series;
    curveplot::Mode m_mode = curveplot::Mode::Curves;
    curveplot::Titles m_titles;
};
