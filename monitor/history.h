#pragma once

#include "stripchart.h"

#include <QVector>

#include <optional>

// One instrument's temperatures over the whole run in bounded memory: the most recent
// readings at full resolution, older ones summed up per stretch of time as their lowest,
// highest and last value. When the summaries fill their room, neighbouring stretches merge,
// so a run of any length fits; only the resolution of its oldest part falls.
class History
{
public:
    static constexpr int DefaultRecentCapacity = 1 << 17;  // 3.6 h at 10 readings a second
    static constexpr int DefaultSummaryCapacity = 1 << 20; // 12 days at one stretch a second
    static constexpr qint32 DefaultStretchMs = 1000;

    explicit History(int recentCapacity = DefaultRecentCapacity, int summaryCapacity = DefaultSummaryCapacity,
                     qint32 stretchMs = DefaultStretchMs);

    // A reading at `timeMs` (rising); no temperature for a reading without an answer.
    void add(qint64 timeMs, std::optional<float> temperature);

    // The samples that touch fromMs..toMs, rising in time: summaries, then single readings.
    QVector<stripchart::Sample> samples(qint64 fromMs, qint64 toMs) const;
    // The same, summed up into stretches of `resolutionMs` from `fromMs` (such as one per
    // pixel column of a chart): lowest, highest and last value of each stretch that holds
    // anything, so a frame costs its width rather than the readings in it.
    QVector<stripchart::Sample> samples(qint64 fromMs, qint64 toMs, qint64 resolutionMs) const;
    // Everything kept.
    QVector<stripchart::Sample> samples() const;

    bool isEmpty() const { return m_recentCount == 0 && m_summaries.isEmpty(); }
    qint64 firstMs() const;
    qint64 lastMs() const;
    qint32 stretchMs() const { return m_stretchMs; }
    qint64 readings() const { return m_readings; }

private:
    struct Recent
    {
        qint64 timeMs;
        float temperature; // NaN without an answer
    };

    const Recent &recentAt(int index) const;
    // Calls `visit` with each kept sample that touches fromMs..toMs, in time order.
    template<typename Visit>
    void visit(qint64 fromMs, qint64 toMs, Visit visit) const;
    qint64 stretchStart(qint64 timeMs) const;
    void summarise(const Recent &reading);
    void mergeSummaries();

    QVector<Recent> m_recent;      // a ring of m_recentCount readings from m_recentStart
    int m_recentStart = 0;
    int m_recentCount = 0;
    QVector<stripchart::Sample> m_summaries;
    int m_summaryCapacity;
    qint32 m_stretchMs;
    qint64 m_readings = 0;
};
