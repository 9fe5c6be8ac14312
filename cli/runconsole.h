#pragma once

#include "calibrationrun.h"

#include <QElapsedTimer>

#include <atomic>

namespace cli {

// A calibration run told on the console: sentences and the change table on standard error, a
// waiting point's status rewritten in place on a terminal (and written now and then
// elsewhere), and the operator's answers read from standard input.
class RunConsole : public procedure::RunObserver
{
public:
    RunConsole(const procedure::Procedure &procedure, const std::atomic<bool> &stop);

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
    void say(const QString &text);
    void status(const QString &text);

    const procedure::Procedure &m_procedure;
    const std::atomic<bool> &m_stop;
    QElapsedTimer m_sinceStatus;
};

} // namespace cli
