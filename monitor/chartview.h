#pragma once

#include <QWidget>

class MonitorSession;

// The strip chart of every instrument's temperature, the newest reading at the right edge.
class ChartView : public QWidget
{
    Q_OBJECT

public:
    // 0 shows the whole run.
    explicit ChartView(const MonitorSession &session, QWidget *parent = nullptr);

    void setSpanMs(qint64 spanMs);
    qint64 spanMs() const { return m_spanMs; }

    // The window of time shown now.
    qint64 fromMs() const;
    qint64 toMs() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const MonitorSession &m_session;
    qint64 m_spanMs;
};
