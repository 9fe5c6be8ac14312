#include "decimation.h"

#include <cmath>

namespace curveplot {

void ColumnReducer::add(const QPointF &point)
{
    const qint64 column = qint64(std::floor(point.x()));
    if (m_inColumn && column != m_column)
        closeColumn();
    if (!m_inColumn) {
        m_inColumn = true;
        m_column = column;
        m_first = m_low = m_high = m_last = point;
        m_lowOrder = m_highOrder = m_count = 0;
        return;
    }
    ++m_count;
    // Screen y grows downwards, but lowest and highest only need to be the two extremes.
    if (point.y() < m_low.y()) {
        m_low = point;
        m_lowOrder = m_count;
    }
    if (point.y() > m_high.y()) {
        m_high = point;
        m_highOrder = m_count;
    }
    m_last = point;
}

void ColumnReducer::closeColumn()
{
    if (!m_inColumn)
        return;
    m_inColumn = false;
    m_line << m_first;
    // Each extreme once, in the order it was reached; the first and last points stand for
    // themselves when they are the extremes.
    const auto append = [this](const QPointF &point, int order) {
        if (order > 0 && order < m_count)
            m_line << point;
    };
    if (m_lowOrder <= m_highOrder) {
        append(m_low, m_lowOrder);
        if (m_highOrder != m_lowOrder)
            append(m_high, m_highOrder);
    } else {
        append(m_high, m_highOrder);
        append(m_low, m_lowOrder);
    }
    if (m_count > 0)
        m_line << m_last;
}

void ColumnReducer::breakLine()
{
    closeColumn();
    if (!m_line.isEmpty())
        m_lines << m_line;
    m_line = QPolygonF();
}

QVector<QPolygonF> ColumnReducer::finish()
{
    breakLine();
    QVector<QPolygonF> lines;
    lines.swap(m_lines);
    return lines;
}

QPolygonF reduceToColumns(const QVector<QPointF> &points)
{
    ColumnReducer reducer;
    for (const QPointF &point : points)
        reducer.add(point);
    const QVector<QPolygonF> lines = reducer.finish();
    return lines.isEmpty() ? QPolygonF() : lines.first();
}

} // namespace curveplot
