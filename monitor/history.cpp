#include "history.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

bool hasValue(const stripchart::Sample &sample)
{
    return !std::isnan(sample.last);
}

// `into` and `from` as one stretch; `from` is the later one.
void merge(stripchart::Sample &into, const stripchart::Sample &from)
{
    if (!hasValue(from))
        return;
    if (!hasValue(into)) {
        into.low = from.low;
        into.high = from.high;
    } else {
        into.low = std::min(into.low, from.low);
        into.high = std::max(into.high, from.high);
    }
    into.last = from.last;
}

} // namespace

History::History(int recentCapacity, int summaryCapacity, qint32 stretchMs)
    : m_recent(std::max(1, recentCapacity))
    , m_summaryCapacity(std::max(2, summaryCapacity))
    , m_stretchMs(std::max(1, stretchMs))
{
}

const History::Recent &History::recentAt(int index) const
{
    return m_recent.at((m_recentStart + index) % m_recent.size());
}

void History::add(qint64 timeMs, std::optional<float> temperature)
{
    ++m_readings;
    const Recent reading{timeMs, temperature ? *temperature : std::numeric_limits<float>::quiet_NaN()};
    if (m_recentCount == m_recent.size()) {
        summarise(m_recent.at(m_recentStart));
        m_recent[m_recentStart] = reading;
        m_recentStart = (m_recentStart + 1) % m_recent.size();
        return;
    }
    m_recent[(m_recentStart + m_recentCount) % m_recent.size()] = reading;
    ++m_recentCount;
}

qint64 History::stretchStart(qint64 timeMs) const
{
    return timeMs - ((timeMs % m_stretchMs) + m_stretchMs) % m_stretchMs;
}

void History::summarise(const Recent &reading)
{
    stripchart::Sample one;
    one.low = one.high = one.last = reading.temperature;
    for (;;) {
        if (!m_summaries.isEmpty()) {
            stripchart::Sample &latest = m_summaries.last();
            if (reading.timeMs < latest.timeMs + latest.spanMs) {
                merge(latest, one);
                return;
            }
        }
        if (m_summaries.size() < m_summaryCapacity)
            break;
        mergeSummaries();
    }
    one.timeMs = stretchStart(reading.timeMs);
    one.spanMs = m_stretchMs;
    m_summaries.append(one);
}

// Doubles the stretch: each summary joins the one that shares its new, longer stretch.
void History::mergeSummaries()
{
    m_stretchMs *= 2;
    int kept = 0;
    for (int index = 0; index < m_summaries.size(); ++index) {
        stripchart::Sample one = m_summaries.at(index);
        const qint64 start = stretchStart(one.timeMs);
        if (kept > 0 && m_summaries.at(kept - 1).timeMs == start) {
            merge(m_summaries[kept - 1], one);
            continue;
        }
        one.timeMs = start;
        one.spanMs = m_stretchMs;
        m_summaries[kept++] = one;
    }
    m_summaries.resize(kept);
}

template<typename Visit>
void History::visit(qint64 fromMs, qint64 toMs, Visit visit) const
{
    const auto firstSummary = std::lower_bound(m_summaries.cbegin(), m_summaries.cend(), fromMs,
                                               [](const stripchart::Sample &sample, qint64 time) {
                                                   return sample.timeMs + sample.spanMs < time;
                                               });
    for (auto summary = firstSummary; summary != m_summaries.cend() && summary->timeMs <= toMs; ++summary)
        visit(*summary);
    // The ring in time order: a binary search over its logical indices.
    int low = 0;
    int high = m_recentCount;
    while (low < high) {
        const int middle = (low + high) / 2;
        if (recentAt(middle).timeMs < fromMs)
            low = middle + 1;
        else
            high = middle;
    }
    stripchart::Sample one;
    for (int index = low; index < m_recentCount; ++index) {
        const Recent &reading = recentAt(index);
        if (reading.timeMs > toMs)
            break;
        one.timeMs = reading.timeMs;
        one.low = one.high = one.last = reading.temperature;
        visit(one);
    }
}

QVector<stripchart::Sample> History::samples(qint64 fromMs, qint64 toMs) const
{
    QVector<stripchart::Sample> result;
    visit(fromMs, toMs, [&result](const stripchart::Sample &sample) { result.append(sample); });
    return result;
}

QVector<stripchart::Sample> History::samples(qint64 fromMs, qint64 toMs, qint64 resolutionMs) const
{
    if (resolutionMs <= 1)
        return samples(fromMs, toMs);
    QVector<stripchart::Sample> result;
    qint64 stretch = std::numeric_limits<qint64>::min();
    visit(fromMs, toMs, [&](const stripchart::Sample &sample) {
        // Stretches counted from fromMs; a sample before it joins the first.
        const qint64 at = std::max<qint64>(0, sample.timeMs - fromMs) / resolutionMs;
        if (at != stretch || result.isEmpty()) {
            stretch = at;
            stripchart::Sample fresh = sample;
            fresh.timeMs = std::max(sample.timeMs, fromMs + at * resolutionMs);
            fresh.spanMs = qint32(std::max<qint64>(sample.spanMs, resolutionMs));
            result.append(fresh);
            return;
        }
        merge(result.last(), sample);
    });
    return result;
}

QVector<stripchart::Sample> History::samples() const
{
    return samples(std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max());
}

qint64 History::firstMs() const
{
    if (!m_summaries.isEmpty())
        return m_summaries.first().timeMs;
    return m_recentCount > 0 ? recentAt(0).timeMs : 0;
}

qint64 History::lastMs() const
{
    return m_recentCount > 0 ? recentAt(m_recentCount - 1).timeMs : 0;
}
