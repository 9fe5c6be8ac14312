#include "decimation.h"

#include <algorithm>
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

namespace {

// The order of a sorted line: by x, then by y.
bool before(const QPointF &a, const QPointF &b)
{
    return a.x() < b.x() || (a.x() == b.x() && a.y() < b.y());
}

} // namespace

UnorderedColumnReducer::UnorderedColumnReducer(qint64 firstColumn, qint64 lastColumn)
    : m_firstColumn(firstColumn)
    , m_columns(int(std::max<qint64>(1, lastColumn - firstColumn + 1)))
{
}

void UnorderedColumnReducer::add(const QPointF &point)
{
    const qint64 index = std::clamp<qint64>(qint64(std::floor(point.x())) - m_firstColumn, 0, m_columns.size() - 1);
    Column &column = m_columns[int(index)];
    if (column.count++ == 0) {
        column.first = column.low = column.high = column.last = point;
        return;
    }
    if (before(point, column.first))
        column.first = point;
    if (before(column.last, point))
        column.last = point;
    // Of equal extremes, the one a sorted line reaches first.
    if (point.y() < column.low.y() || (point.y() == column.low.y() && point.x() < column.low.x()))
        column.low = point;
    if (point.y() > column.high.y() || (point.y() == column.high.y() && point.x() < column.high.x()))
        column.high = point;
}

QPolygonF UnorderedColumnReducer::finish() const
{
    QPolygonF line;
    for (const Column &column : m_columns) {
        if (column.count == 0)
            continue;
        line << column.first;
        if (column.count == 1)
            continue;
        // The extremes between the first and the last, each once, in the line's order.
        QPointF middle[2] = {column.low, column.high};
        if (before(middle[1], middle[0]))
            std::swap(middle[0], middle[1]);
        for (int index = 0; index < 2; ++index) {
            const QPointF &point = middle[index];
            if (point != column.first && point != column.last && (index == 0 || point != middle[0]))
                line << point;
        }
        line << column.last;
    }
    return line;
}

} // namespace curveplot
