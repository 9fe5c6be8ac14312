#pragma once

#include "analysis.h"
#include "benchworker.h"
#include "record.h"

#include <QJsonObject>
#include <QWidget>

#include <optional>

class PlotView;
class ProcedureForm;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QTableWidget;
class RunChart;

// The calibration bench in a window: a page per step, listed down the side. Procedure (the
// file as a form), Checks (each device answers; an expired reference stops here), Run (the
// live chart and judge of each point, as found and later as left), Fit (what would change,
// and the write), Results (decisions, budgets, the certificate). Every device and file
// action runs on the bench worker's thread; the window only shows and asks.
class CalibrateWindow : public QWidget
{
    Q_OBJECT

public:
    enum Page { ProcedurePage, ChecksPage, RunPage, FitPage, ResultsPage };

    // `port`: the instrument's, as --port names it; empty for the only one present.
    explicit CalibrateWindow(const QString &port, QWidget *parent = nullptr);

    // Opens a procedure file or a record (which resumes its run); false with a message box
    // when it is neither.
    bool openFile(const QString &path);

    Page page() const;
    BenchWorker &worker() { return m_worker; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *makeProcedurePage();
    QWidget *makeChecksPage();
    QWidget *makeRunPage();
    QWidget *makeFitPage();
    QWidget *makeResultsPage();
    void showPage(Page page);

    void openProcedure();
    void saveProcedure();
    void goToChecks();
    void runChecks();
    void showChecks(const BenchCheck &check);
    void updateStart();
    void startRun(bool write);
    void showProgress(const procedure::Progress &progress);
    void showSaid(const QString &text, bool status);
    void answerRun(const QString &prompt);
    void runEnded(const procedure::Outcome &outcome, const record::Record &record);
    void showFit();
    void writeToInstrument();
    void showResults();
    void showBudget();
    void saveCertificate();
    void saveRecord();
    void setRunning(bool running);
    void problem(const QString &text);
    // The operator's reason for a departure from the method; nothing when cancelled or left
    // empty (then `refusal` is shown).
    std::optional<QString> askReason(const QString &title, const QString &question, const QString &refusal);

    BenchWorker m_worker;
    QString m_port;
    std::optional<procedure::Procedure> m_procedure;
    QString m_procedureDirectory; // where the procedure's file is: its curve file is named from there
    std::optional<QJsonObject> m_resume;   // the record a run goes on from
    QString m_resumedPath;                 // and its file, the only one a resumed run may replace
    QString m_runRecordPath;               // the record of the run in progress
    std::optional<record::Record> m_record; // the last run's
    analysis::Analysis m_analysis;
    bool m_checksPassed = false;
    bool m_closeWhenStopped = false;
    bool m_testingReference = false;
    QString m_pendingCertificate;

    QListWidget *m_steps;
    QStackedWidget *m_pages;
    QLabel *m_message;
    ProcedureForm *m_form;
    // Checks
    QLineEdit *m_portEdit;
    QLineEdit *m_recordEdit;
    QLabel *m_instrumentCheck;
    QLabel *m_referenceCheck;
    QLabel *m_sourceCheck;
    QLabel *m_dueCheck;
    QCheckBox *m_allowExpired;
    QLineEdit *m_expiredReason;
    QPushButton *m_checkAgain;
    QPushButton *m_start;
    // Run
    QLabel *m_phase;
    QLabel *m_readings;
    QLabel *m_judge;
    QListWidget *m_pointList;
    RunChart *m_chart;
    QPlainTextEdit *m_log;
    QPushButton *m_captureNow;
    QPushButton *m_skip;
    QPushButton *m_stop;
    // Fit
    PlotView *m_fitPlot;
    PlotView *m_changePlot;
    PlotView *m_interpolationPlot;
    QLabel *m_fitSummary;
    QTableWidget *m_fitTable;
    QPushButton *m_write;
    QPushButton *m_finish;
    // Results
    QTableWidget *m_results;
    QTableWidget *m_budget;
    QLabel *m_preview;
    QPushButton *m_saveCertificate;
    QPushButton *m_saveRecord;
};
