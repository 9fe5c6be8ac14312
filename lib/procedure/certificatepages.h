#pragma once

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QPaintDevice>
#include <QPainter>
#include <QString>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <functional>

// The certificate's page layout, for its renderer only.
namespace certificate {

constexpr double BodyPoints = 9.0;
constexpr double SmallPoints = 7.5;
constexpr double HeadingPoints = 12.0;
constexpr double TitlePoints = 18.0;

// Lays text and tables out down the pages, starting a new page when a block would not fit;
// each page gets the header (lab, certificate number) and the footer (page X of Y).
class Pages
{
public:
    // `newPage` turns the painter to a fresh page: the PDF's next, or a scratch picture when
    // only the first page is wanted.
    Pages(QPaintDevice &device, const std::function<void(QPainter &)> &newPage, const QString &lab,
          const QString &number, int total)
        : m_newPage(newPage), m_lab(lab), m_number(number), m_total(total)
    {
        m_painter.begin(&device);
        m_body = QRectF(QPointF(0, 0), QSizeF(device.width(), device.height()));
        startPage();
    }
    ~Pages() { m_painter.end(); }

    bool ok() const { return m_painter.isActive(); }
    int pages() const { return m_page; }
    QPainter &painter() { return m_painter; }
    double width() const { return m_body.width(); }

    void title(const QString &text) { block(text, TitlePoints, true, Qt::AlignLeft); }
    // A heading stays on the page of what follows it: `keep` is how much of that must fit.
    void heading(const QString &text, double keep = 0.0)
    {
        m_y += lineHeight(BodyPoints) * 0.6;
        block(text, HeadingPoints, true, Qt::AlignLeft, std::max(keep, lineHeight(HeadingPoints) * 3));
    }
    void paragraph(const QString &text, double points = BodyPoints) { block(text, points, false, Qt::AlignLeft); }
    void centred(const QString &text) { block(text, BodyPoints, true, Qt::AlignHCenter); }

    // Label: value lines, the labels in a column of their own.
    void fields(const QVector<QPair<QString, QString>> &rows)
    {
        // The labels are bold: measured so.
        setFont(BodyPoints, true);
        const QFontMetricsF metrics(m_painter.font());
        double labelWidth = 0.0;
        for (const auto &row : rows)
            labelWidth = std::max(labelWidth, metrics.horizontalAdvance(row.first + QStringLiteral(":  ")));
        for (const auto &row : rows) {
            const QRectF valueRect(m_body.left() + labelWidth, 0, m_body.width() - labelWidth, 1e6);
            const double height = m_painter.boundingRect(valueRect, Qt::TextWordWrap, row.second.isEmpty() ? QStringLiteral("-") : row.second).height();
            room(height);
            setFont(BodyPoints, true);
            m_painter.drawText(QRectF(m_body.left(), m_y, labelWidth, height), Qt::AlignLeft | Qt::AlignTop, row.first + QLatin1Char(':'));
            setFont(BodyPoints, false);
            m_painter.drawText(QRectF(valueRect.left(), m_y, valueRect.width(), height), Qt::TextWordWrap,
                               row.second.isEmpty() ? QStringLiteral("-") : row.second);
            m_y += height;
        }
    }

    // A table with a header row; column widths in shares of the body's width.
    void table(const QStringList &header, const QVector<QStringList> &rows, const QVector<double> &shares,
               double points = SmallPoints)
    {
        const double height = lineHeight(points) * 1.25;
        room(height * std::min(int(rows.size()) + 1, 4));
        const auto drawRow = [&](const QStringList &cells, bool bold) {
            room(height);
            setFont(points, bold);
            double x = m_body.left();
            for (int c = 0; c < cells.size() && c < shares.size(); ++c) {
                const double w = shares.at(c) * m_body.width();
                m_painter.drawText(QRectF(x + 2, m_y, w - 4, height), (c == 0 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter,
                                   cells.at(c));
                x += w;
            }
            m_y += height;
            m_painter.setPen(QPen(Qt::gray, 1));
            m_painter.drawLine(QPointF(m_body.left(), m_y), QPointF(m_body.right(), m_y));
            m_painter.setPen(Qt::black);
        };
        drawRow(header, true);
        for (const QStringList &row : rows)
            drawRow(row, false);
        m_y += height / 2;
    }

    // A drawing of the given height, drawn by `draw` into its rectangle.
    void figure(double height, const std::function<void(QPainter &, const QRectF &)> &draw)
    {
        room(height);
        draw(m_painter, QRectF(m_body.left(), m_y, m_body.width(), height));
        m_y += height;
    }

    double bodyHeight() const { return m_body.height(); }

private:
    void setFont(double points, bool bold)
    {
        QFont font = m_painter.font();
        font.setPointSizeF(points);
        font.setBold(bold);
        m_painter.setFont(font);
    }

    double lineHeight(double points)
    {
        setFont(points, false);
        return QFontMetricsF(m_painter.font()).lineSpacing();
    }

    void block(const QString &text, double points, bool bold, Qt::Alignment alignment, double keepWithNext = 0.0)
    {
        setFont(points, bold);
        const QRectF bounds = m_painter.boundingRect(QRectF(m_body.left(), 0, m_body.width(), 1e6),
                                                     Qt::TextWordWrap | alignment, text);
        room(bounds.height() + keepWithNext);
        setFont(points, bold);
        m_painter.drawText(QRectF(m_body.left(), m_y, m_body.width(), bounds.height()), Qt::TextWordWrap | alignment, text);
        m_y += bounds.height() + lineHeight(points) * 0.25;
    }

    void room(double height)
    {
        if (m_y + height > m_bottom) {
            m_newPage(m_painter);
            ++m_page;
            startPage();
        }
    }

    void startPage()
    {
        const double small = lineHeight(SmallPoints);
        setFont(SmallPoints, false);
        const QString header = QCoreApplication::translate("certificate", "%1 - Calibration certificate %2").arg(m_lab, m_number);
        const QString footer = QCoreApplication::translate("certificate", "Certificate %1 - page %2 of %3")
                                   .arg(m_number).arg(m_page).arg(m_total > 0 ? QString::number(m_total) : QStringLiteral("?"));
        m_painter.drawText(QRectF(m_body.left(), m_body.top(), m_body.width(), small), Qt::AlignLeft, header);
        m_painter.drawLine(QPointF(m_body.left(), m_body.top() + small * 1.2), QPointF(m_body.right(), m_body.top() + small * 1.2));
        m_painter.drawText(QRectF(m_body.left(), m_body.bottom() - small, m_body.width(), small), Qt::AlignHCenter, footer);
        m_y = m_body.top() + small * 2;
        m_bottom = m_body.bottom() - small * 2;
    }

    std::function<void(QPainter &)> m_newPage;
    QPainter m_painter;
    QString m_lab;
    QString m_number;
    int m_total;
    int m_page = 1;
    QRectF m_body;
    double m_y = 0.0;
    double m_bottom = 0.0;
};

} // namespace certificate
