#pragma once

#include <QPointF>
#include <QPolygonF>
#include <QVector>

namespace curveplot {

// Reduces a line, given point by point in device coordinates with x never falling, to at
// most four points per pixel column: the first, the lowest and the highest (in the order
// they came) and the last. Drawn, the reduced line covers the same pixels as the whole one
// within antialiasing, so the cost of a picture follows its width rather than the number of
// points.
class ColumnReducer
{
public:
    void add(const QPointF &point);
    // A gap: the next point starts a new line, never joined to the one before.
    void breakLine();
    // The reduced lines, each with at least one point.
    QVector<QPolygonF> finish();

private:
    void closeColumn();

    QVector<QPolygonF> m_lines;
    QPolygonF m_line;
    bool m_inColumn = false;
    qint64 m_column = 0;
    QPointF m_first, m_low, m_high, m_last;
    int m_lowOrder = 0;
    int m_highOrder = 0;
    int m_count = 0;
};

// One line reduced as above.
QPolygonF reduceToColumns(const QVector<QPointF> &points);

// The same reduction for points given in any order, as if sorted by x (then y) first: each
// column keeps its first and last point in that order and its lowest and highest, so a
// large curve is drawn without sorting it. Columns are the whole numbers from `firstColumn`
// to `lastColumn`; points beyond them count in the nearest one.
class UnorderedColumnReducer
{
public:
    UnorderedColumnReducer(qint64 firstColumn, qint64 lastColumn);
    void add(const QPointF &point);
    QPolygonF finish() const;

private:
    struct Column
    {
        int count = 0;
        QPointF first, low, high, last;
    };
    qint64 m_firstColumn;
    QVector<Column> m_columns;
};

} // namespace curveplot
