#include "chartview.h"

#include "frontend.h"
#include "monitorsession.h"
#include "stripchart.h"

#include <QDateTime>
#include <QPainter>

namespace {
constexpr int SmallestWidth = 480;
constexpr int SmallestHeight = 260;
} // namespace

ChartView::ChartView(const MonitorSession &session, QWidget *parent)
    : QWidget(parent)
    , m_session(session)
    , m_spanMs(frontend::defaultChartSpanMs())
{
    setMinimumSize(SmallestWidth, SmallestHeight);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ChartView::setSpanMs(qint64 spanMs)
{
    m_spanMs = spanMs;
    update();
}

qint64 ChartView::toMs() const
{
    const qint64 newest = m_session.newestMs();
    return newest > 0 ? newest : QDateTime::currentMSecsSinceEpoch();
}

qint64 ChartView::fromMs() const
{
    if (m_spanMs > 0)
        return toMs() - m_spanMs;
    const qint64 oldest = m_session.oldestMs();
    return oldest > 0 && oldest < toMs() ? oldest : toMs() - frontend::defaultChartSpanMs();
}

void ChartView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    const qint64 from = fromMs();
    const qint64 to = toMs();
    stripchart::draw(painter, QRectF(rect()), m_session.traces(from, to, width()), {from, to}, tr("Temperature (K)"));
}
