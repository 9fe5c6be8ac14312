#pragma once

#include "calibrationrun.h"

#include <functional>

// A calibration run's events in the window's words: a line for the run page's log for each
// event, a question for the operator's dialog, and each reading passed on for the live chart.
// Called on the run's thread; the callbacks hand everything to the window's.
class RunLog : public procedure::RunObserver
{
public:
    struct Callbacks
    {
        std::function<void(const QString &line)> log;
        std::function<void(const procedure::Progress &progress)> progress;
        std::function<std::optional<QString>(const QString &question)> ask;
    };

    RunLog(const procedure::Procedure &procedure, Callbacks callbacks);

    void resumed(int keptPoints) override;
    void pointStarted(const procedure::PointStarted &started) override;
    void judged(const procedure::Progress &progress) override;
    void stale(const procedure::StaleReference &stale) override;
    void deviation(const procedure::RunDeviation &deviation) override;
    void captured(const procedure::PointRef &point) override;
    void fitReady(const procedure::FitReady &fit) override;
    void backedUp(const QString &path) override;
    void written(const QString &outcome) override;
    std::optional<QString> ask(const procedure::Question &question) override;

private:
    QString pointName(const procedure::PointRef &point) const;

    const procedure::Procedure &m_procedure;
    Callbacks m_callbacks;
};
