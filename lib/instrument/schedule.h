#pragma once

#include <QtGlobal>

// When readings are due: at fixed times from the start, so that a late reading does not
// shift the ones after it. Times that passed while a reading was still busy (a silent
// instrument, the drain after a late reply, a lost connection) are skipped rather than made
// up for in a burst of readings a moment apart. Times are nanoseconds on a monotonic clock.
class ReadingSchedule
{
public:
    ReadingSchedule(qint64 intervalNs, qint64 startNs);

    // The due time of the next reading when asked at `nowNs`: the first time on the grid that
    // comes after the last one handed out and is not already past. The first call gives the
    // start, or `nowNs` when that is later, and the grid then counts from there.
    qint64 next(qint64 nowNs);
    // How many due times were skipped so far because they had passed.
    qint64 skipped() const { return m_skipped; }
    qint64 intervalNs() const { return m_intervalNs; }

private:
    qint64 m_intervalNs;
    qint64 m_startNs;
    qint64 m_index = -1; // the grid index last handed out
    qint64 m_skipped = 0;
};

// Nanoseconds on the monotonic clock that the schedule counts on.
qint64 monotonicNs();
