#pragma once

#include "benchworker.h"

#include <QWidget>

#include <optional>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class RunChart;

namespace pages {

// The run step: the point in progress with its live chart, the judge's figures, the list of
// points and the run's messages, and the operator's capture, skip and stop. All the run says
// is handled here, in the slots below; the window only starts the run and hears it end.
class RunPage : public QWidget
{
    Q_OBJECT

public:
    RunPage(BenchWorker &worker, QWidget *parent = nullptr);

    // A run of `procedure` starts: the page starts empty.
    void begin(const procedure::Procedure &procedure);
    // Capture and stop while a run goes; skip once an as-left point is in progress.
    void setRunning(bool running);
    // Asks whether to stop the run, as when the window is closed during it.
    bool confirmStop();

signals:
    // The operator asked the run to stop.
    void stopping();
    // Something the operator asked was refused, with why.
    void problem(const QString &text);

private slots:
    void showProgress(const procedure::Progress &progress);
    void showSaid(const QString &text, bool status);
    void ask(const QString &prompt);
    void showEnd(const RunEnd &end);

private:
    // The operator's reason for a departure from the method; nothing when cancelled or left
    // empty (then `refusal` is told).
    std::optional<QString> askReason(const QString &title, const QString &question, const QString &refusal);

    BenchWorker &m_worker;
    std::optional<procedure::Procedure> m_procedure;
    QLabel *m_phase;
    QLabel *m_readings;
    QLabel *m_judge;
    QListWidget *m_points;
    RunChart *m_chart;
    QPlainTextEdit *m_log;
    QPushButton *m_captureNow;
    QPushButton *m_skip;
    QPushButton *m_stop;
};

} // namespace pages
