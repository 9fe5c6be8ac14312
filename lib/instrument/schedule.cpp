#include "schedule.h"

#include <QDeadlineTimer>
#include <QtGlobal>

ReadingSchedule::ReadingSchedule(qint64 intervalNs, qint64 startNs)
    : m_intervalNs(qMax<qint64>(1, intervalNs))
    , m_startNs(startNs)
{
}

qint64 ReadingSchedule::next(qint64 nowNs)
{
    // The first reading is taken as soon as it is asked for, and the grid counts from it:
    // opening a port first must not cost a whole interval.
    if (m_index < 0) {
        m_startNs = qMax(m_startNs, nowNs);
        m_index = 0;
        return m_startNs;
    }
    qint64 index = m_index + 1;
    if (nowNs > m_startNs + index * m_intervalNs) {
        // The first grid time at or after now.
        const qint64 reached = (nowNs - m_startNs + m_intervalNs - 1) / m_intervalNs;
        m_skipped += reached - index;
        index = reached;
    }
    m_index = index;
    return m_startNs + index * m_intervalNs;
}

qint64 monotonicNs()
{
    // CLOCK_MONOTONIC on Linux, the performance counter on Windows.
    return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
}
