#pragma once

#include "analysis.h"
#include "benchworker.h"
#include "record.h"

#include <QJsonObject>
#include <QWidget>

#include <optional>

class QLabel;
class QStackedWidget;
class StepList;

namespace pages {
class ChecksPage;
class FitPage;
class ProcedurePage;
class ResultsPage;
class RunPage;
} // namespace pages

// The calibration bench in a window: a page per step, listed down the side. Procedure (the
// file as a form), Checks (each device answers; an expired reference stops here), Run (the
// live chart and judge of each point, as found and later as left), Fit (what would change,
// and the write), Results (decisions, budgets, the certificate). Every device and file
// action runs on the bench worker's thread, one at a time; the window only shows and asks,
// and goes from state to state as the pages ask and the worker answers.
class CalibrateWindow : public QWidget
{
    Q_OBJECT

public:
    enum Page { ProcedurePage, ChecksPage, RunPage, FitPage, ResultsPage };

    // Where the calibration is, and what the worker does for it. In every state but Editing,
    // ChecksFailed, Ready, Stopped, Fitted and Finished a job of the worker's goes, and
    // nothing that would start another is offered.
    enum class State {
        Editing,          // a procedure in the form, for a new run
        Opening,          // a procedure file or a record read (and a record verified)
        SavingProcedure,
        ReadingCurve,     // the sensor curve the procedure names, read on the way to the checks
        TestingReference, // the procedure page's test of the reference alone
        Checking,
        ChecksFailed,     // a device did not answer: the run cannot start
        Ready,            // the checks passed: the run may start
        Running,
        Stopping,         // the operator stopped the run; it ends at its next wait
        Stopped,          // a run ended short, its record kept to resume from
        Fitted,           // a complete as-found record: its fit shown, the write offered
        Certifying,       // the certificate drawn for the preview, or written
        Finished,         // a complete record: its results shown, its files offered
        SavingRecord,
        Closing,          // the window closes once the job in progress has ended
    };

    // `port`: the instrument's, as --port names it; empty for the only one present.
    explicit CalibrateWindow(const QString &port, QWidget *parent = nullptr);

    // Opens a procedure file or a record (which resumes its run) on the worker; what it
    // was, or why it is neither (in a message box), is told when it has been read. False
    // when a job is in progress.
    bool openFile(const QString &path);

    Page page() const;
    State state() const { return m_state; }
    BenchWorker &worker() { return m_worker; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void showPage(Page page);
    void setState(State state);
    // A job aside from the calibration begins; when it ends, the window is back in the state it left.
    void beginJob(State job);
    bool jobRunning() const;

    void opened(const OpenedFile &file);
    void goToChecks();
    void curveRead(const procedure::Procedure &procedure, const QString &error);
    void runChecks();
    void showChecks(const BenchCheck &check);
    void startRun(bool write);
    void runEnded(const RunEnd &end);
    void showFit();
    void writeToInstrument();
    void showResults();
    void certified(const QString &error, const QImage &preview, const QString &dccPath);
    void saveCertificate(const QString &path);
    void saveRecord(const QString &path);
    void saved(const QString &path, const QString &error);
    // The line under the pages; a problem in red.
    void tell(const QString &text, bool problem = false);

    BenchWorker m_worker;
    State m_state = State::Editing;
    State m_afterJob = State::Editing; // where a job begun by beginJob() returns
    std::optional<procedure::Procedure> m_procedure;
    QString m_procedureDirectory; // where the procedure's file is: its curve file is named from there
    std::optional<QJsonObject> m_resume;   // the record a run goes on from
    QString m_resumedPath;                 // and its file, the only one a resumed run may replace
    QString m_runRecordPath;               // the record of the run in progress
    std::optional<record::Record> m_record; // the last run's
    analysis::Analysis m_analysis;
    QString m_pendingCertificate;           // the PDF being written

    StepList *m_steps;
    QStackedWidget *m_pages;
    QLabel *m_message;
    pages::ProcedurePage *m_procedurePage;
    pages::ChecksPage *m_checksPage;
    pages::RunPage *m_runPage;
    pages::FitPage *m_fitPage;
    pages::ResultsPage *m_resultsPage;
};
