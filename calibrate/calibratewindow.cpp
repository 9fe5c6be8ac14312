#include "calibratewindow.h"

#include "checkspage.h"
#include "fitpage.h"
#include "pagetools.h"
#include "procedureform.h"
#include "procedurepage.h"
#include "resultspage.h"
#include "runpage.h"
#include "steplist.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int DefaultWidth = 1100; // fits a 1280 x 800 screen
constexpr int DefaultHeight = 760;

} // namespace

CalibrateWindow::CalibrateWindow(const QString &port, QWidget *parent)
    : QWidget(parent)
    , m_steps(new StepList({tr("1  Procedure"), tr("2  Checks"), tr("3  Run"), tr("4  Fit"), tr("5  Results")}, this))
    , m_pages(new QStackedWidget(this))
    , m_message(pagetools::resultLabel(QStringLiteral("lbMessage"), this))
    , m_procedurePage(new pages::ProcedurePage(this))
    , m_checksPage(new pages::ChecksPage(port, this))
    , m_runPage(new pages::RunPage(m_worker, this))
    , m_fitPage(new pages::FitPage(this))
    , m_resultsPage(new pages::ResultsPage(this))
{
    setWindowTitle(tr("thermocal calibrate"));
    resize(DefaultWidth, DefaultHeight);
    auto *layout = new QHBoxLayout(this);
    layout->addWidget(m_steps);
    auto *right = new QVBoxLayout;
    right->addWidget(m_pages, 1);
    right->addWidget(m_message);
    layout->addLayout(right, 1);
    for (QWidget *page : std::initializer_list<QWidget *>{m_procedurePage, m_checksPage, m_runPage, m_fitPage, m_resultsPage})
        m_pages->addWidget(page);
    connect(m_steps, &StepList::chosen, this, [this](int step) { showPage(Page(step)); });

    connect(m_procedurePage, &pages::ProcedurePage::openAsked, this, &CalibrateWindow::openFile);
    connect(m_procedurePage, &pages::ProcedurePage::saveAsked, this, [this](const QString &path, const QJsonObject &procedure) {
        beginJob(State::SavingProcedure);
        m_worker.saveProcedure(path, procedure);
    });
    connect(m_procedurePage, &pages::ProcedurePage::nextAsked, this, &CalibrateWindow::goToChecks);
    connect(m_procedurePage, &pages::ProcedurePage::problem, this, [this](const QString &text) { tell(text, true); });
    connect(m_procedurePage, &pages::ProcedurePage::testAsked, this, [this](const procedure::Procedure &procedure) {
        if (jobRunning())
            return m_procedurePage->form()->showReferenceTest(tr("The bench is busy."), false);
        m_procedurePage->form()->showReferenceTest(tr("Asking the reference..."), true);
        beginJob(State::TestingReference);
        m_worker.check(procedure, QString(), false);
    });
    connect(m_checksPage, &pages::ChecksPage::backAsked, this, [this] { showPage(ProcedurePage); });
    connect(m_checksPage, &pages::ChecksPage::checkAsked, this, &CalibrateWindow::runChecks);
    connect(m_checksPage, &pages::ChecksPage::startAsked, this,
            [this] { startRun(m_resume && m_resume->value(QStringLiteral("write")).toBool()); });
    connect(m_runPage, &pages::RunPage::stopping, this, [this] {
        if (m_state == State::Running)
            setState(State::Stopping);
    });
    connect(m_runPage, &pages::RunPage::problem, this, [this](const QString &text) { tell(text, true); });
    connect(m_fitPage, &pages::FitPage::finishAsked, this, &CalibrateWindow::showResults);
    connect(m_fitPage, &pages::FitPage::writeAsked, this, &CalibrateWindow::writeToInstrument);
    connect(m_resultsPage, &pages::ResultsPage::saveCertificateAsked, this, &CalibrateWindow::saveCertificate);
    connect(m_resultsPage, &pages::ResultsPage::saveRecordAsked, this, &CalibrateWindow::saveRecord);

    connect(&m_worker, &BenchWorker::opened, this, &CalibrateWindow::opened);
    connect(&m_worker, &BenchWorker::curveRead, this, &CalibrateWindow::curveRead);
    connect(&m_worker, &BenchWorker::checked, this, &CalibrateWindow::showChecks);
    connect(&m_worker, &BenchWorker::calibrated, this, &CalibrateWindow::runEnded);
    connect(&m_worker, &BenchWorker::certified, this, &CalibrateWindow::certified);
    connect(&m_worker, &BenchWorker::saved, this, &CalibrateWindow::saved);
    // Each job's own answer is ignored once the window is closing; the window closes when
    // the worker has nothing left.
    connect(&m_worker, &BenchWorker::idle, this, [this] {
        if (m_state == State::Closing)
            close();
    });
    showPage(ProcedurePage);
    setState(State::Editing);
}

CalibrateWindow::Page CalibrateWindow::page() const
{
    return Page(m_pages->currentIndex());
}

void CalibrateWindow::showPage(Page shown)
{
    m_pages->setCurrentIndex(int(shown));
    m_steps->reach(int(shown));
}

bool CalibrateWindow::jobRunning() const
{
    const State resting[] = {State::Editing, State::ChecksFailed, State::Ready, State::Stopped, State::Fitted, State::Finished};
    return std::find(std::begin(resting), std::end(resting), m_state) == std::end(resting);
}

// Every page's buttons follow from the state: what would start a job is offered only while
// none goes.
void CalibrateWindow::setState(State state)
{
    m_state = state;
    const bool busy = jobRunning();
    m_steps->setLocked(busy);
    const bool running = state == State::Running || state == State::Stopping || state == State::Closing;
    m_procedurePage->setState(running, busy);
    m_checksPage->setState(state == State::Ready || state == State::Stopped, busy, m_resume.has_value());
    if (state == State::Running)
        m_runPage->setRunning(true);
    const bool resting = state == State::Fitted || state == State::Finished;
    m_fitPage->setState(resting, m_record && !m_record->asLeft);
    m_resultsPage->setState(state == State::Finished);
}

void CalibrateWindow::beginJob(State job)
{
    m_afterJob = m_state;
    setState(job);
}

void CalibrateWindow::tell(const QString &text, bool problem)
{
    m_message->setStyleSheet(problem ? pagetools::ProblemStyle : QString());
    m_message->setText(text);
}

// ---- Procedure ----

bool CalibrateWindow::openFile(const QString &path)
{
    if (jobRunning())
        return false;
    beginJob(State::Opening);
    m_worker.open(path);
    return true;
}

void CalibrateWindow::opened(const OpenedFile &file)
{
    if (m_state == State::Closing)
        return;
    setState(m_afterJob);
    const auto refuse = [this, &file](const QString &why) {
        QMessageBox::critical(this, tr("Error"), tr("%1: %2").arg(QDir::toNativeSeparators(file.path), why));
    };
    if (!file.difference.isEmpty())
        return refuse(tr("the record does not verify, so it is not resumed: %1").arg(file.difference));
    if (!file.procedure)
        return refuse(file.error);
    m_procedurePage->showOpened(file);
    if (file.isRecord) {
        m_procedure = file.procedure;
        m_resume = file.object;
        m_resumedPath = file.path;
        m_checksPage->setRecordPath(file.path);
        tell(tr("Record %1: the run goes on from its last captured point.").arg(QDir::toNativeSeparators(file.path)));
        showPage(ChecksPage);
        runChecks();
        return;
    }
    m_resume.reset();
    m_record.reset();
    m_procedureDirectory = QFileInfo(file.path).absolutePath();
    m_checksPage->setRecordPath(QString());
    tell(tr("Procedure %1").arg(QDir::toNativeSeparators(file.path)));
    showPage(ProcedurePage);
    setState(State::Editing);
}

void CalibrateWindow::saved(const QString &path, const QString &error)
{
    if (m_state == State::Closing)
        return;
    const bool procedureFile = m_state == State::SavingProcedure;
    setState(procedureFile ? m_afterJob : State::Finished);
    if (!error.isEmpty()) {
        QMessageBox::critical(this, tr("Error"), procedureFile ? tr("Couldn't write %1: %2").arg(QDir::toNativeSeparators(path), error) : error);
        return;
    }
    if (procedureFile) {
        m_procedureDirectory = QFileInfo(path).absolutePath();
        tell(tr("Procedure saved: %1").arg(QDir::toNativeSeparators(path)));
    } else {
        tell(tr("Record saved: %1").arg(QDir::toNativeSeparators(path)));
    }
}

void CalibrateWindow::goToChecks()
{
    if (jobRunning())
        return;
    // The form is locked only for a record opened to resume; otherwise it starts a new run.
    if (!m_procedurePage->resuming()) {
        m_resume.reset();
        m_record.reset();
        QString error;
        const std::optional<QJsonObject> object = m_procedurePage->form()->procedure(&error);
        const std::optional<procedure::Procedure> parsed = object ? procedure::parse(*object).procedure : std::nullopt;
        if (!parsed) {
            tell(error, true);
            return;
        }
        // A sensor curve the procedure names is read now, relative to the procedure's file; the
        // record keeps it whole from the run's start.
        beginJob(State::ReadingCurve);
        m_worker.readCurve(*parsed, m_procedureDirectory.isEmpty() ? QDir::currentPath() : m_procedureDirectory);
        return;
    }
    tell(QString());
    showPage(ChecksPage);
    runChecks();
}

void CalibrateWindow::curveRead(const procedure::Procedure &procedure, const QString &error)
{
    if (m_state == State::Closing)
        return;
    setState(m_afterJob);
    if (!error.isEmpty()) {
        tell(error, true);
        return;
    }
    m_procedure = procedure;
    if (m_checksPage->recordPath().isEmpty())
        m_checksPage->setRecordPath(QDir::current().filePath(record::defaultFileName(*m_procedure)));
    tell(QString());
    showPage(ChecksPage);
    runChecks();
}

// ---- Checks ----

void CalibrateWindow::runChecks()
{
    if (!m_procedure || jobRunning())
        return;
    m_checksPage->checking(*m_procedure);
    setState(State::Checking);
    m_worker.check(*m_procedure, m_checksPage->port());
}

void CalibrateWindow::showChecks(const BenchCheck &check)
{
    if (m_state == State::Closing)
        return;
    if (m_state == State::TestingReference) {
        setState(m_afterJob);
        m_procedurePage->form()->showReferenceTest(
            check.referenceError.isEmpty() ? pages::ChecksPage::referenceText(check) : check.referenceError, check.referenceError.isEmpty());
        return;
    }
    setState(m_checksPage->showChecks(check) ? State::Ready : State::ChecksFailed);
}

// ---- Run ----

void CalibrateWindow::startRun(bool write)
{
    if (!m_procedure || jobRunning())
        return;
    QString refusal;
    std::optional<procedure::RunOptions> options = m_checksPage->runOptions(m_resume.has_value(), m_resumedPath, write, &refusal);
    if (!options) {
        tell(refusal, true);
        return;
    }
    m_runRecordPath = options->recordPath;
    options->resume = m_resume;
    tell(QString());
    m_runPage->begin(*m_procedure);
    m_worker.calibrate(*m_procedure, m_checksPage->port(), *options);
    setState(State::Running);
    showPage(RunPage);
}

void CalibrateWindow::runEnded(const RunEnd &end)
{
    const bool recorded = !end.record.started.isEmpty();
    if (recorded) {
        m_record = end.record;
        m_resume = end.json;
        m_resumedPath = m_runRecordPath;
    }
    if (m_state == State::Closing)
        return;
    if (end.outcome.ending != procedure::Ending::Complete || !recorded) {
        setState(State::Stopped);
        tell(end.outcome.message + (recorded ? tr(" Start again on the checks page, or open the record later, to resume.") : QString()), true);
        return;
    }
    m_analysis = end.analysis;
    if (m_record->asLeft) {
        tell(end.outcome.message);
        showResults();
    } else {
        tell(tr("As found: the proposed set is in the record %1; nothing has been sent to the instrument.")
                 .arg(QDir::toNativeSeparators(m_checksPage->recordPath())));
        showFit();
    }
}

// ---- Fit ----

void CalibrateWindow::showFit()
{
    m_fitPage->showFit(*m_procedure, *m_record, m_analysis);
    setState(State::Fitted);
    showPage(FitPage);
}

void CalibrateWindow::writeToInstrument()
{
    if (!m_record || !m_analysis.fitted || jobRunning())
        return;
    if (m_fitPage->confirmWrite(m_record->asFound, m_analysis.proposed, QFileInfo(m_checksPage->recordPath()).dir()))
        startRun(true);
}

// ---- Results ----

void CalibrateWindow::showResults()
{
    if (!m_record)
        return;
    m_resultsPage->showResults(*m_procedure, m_analysis, m_checksPage->recordPath());
    if (!m_record->asLeft)
        m_message->setText(tr("As found; the proposed adjustment was not made, and the certificate says so."));
    setState(State::Certifying);
    m_worker.certify(*m_record, QString(), pages::ResultsPage::PreviewWidth);
    showPage(ResultsPage);
}

void CalibrateWindow::certified(const QString &error, const QImage &preview, const QString &dccPath)
{
    if (m_state == State::Closing)
        return;
    setState(State::Finished);
    if (!error.isEmpty())
        tell(error, true);
    else if (!m_pendingCertificate.isEmpty())
        tell(tr("Certificate saved: %1, its digital certificate (DCC) beside it: %2")
                 .arg(QDir::toNativeSeparators(m_pendingCertificate), QDir::toNativeSeparators(dccPath)));
    m_pendingCertificate.clear();
    m_resultsPage->setPreview(preview);
}

void CalibrateWindow::saveCertificate(const QString &path)
{
    if (!m_record || jobRunning())
        return;
    m_pendingCertificate = path;
    tell(tr("Writing the certificate..."));
    setState(State::Certifying);
    m_worker.certify(*m_record, path, 0);
}

void CalibrateWindow::saveRecord(const QString &path)
{
    if (!m_record || jobRunning())
        return;
    setState(State::SavingRecord);
    m_worker.saveRecord(path, *m_record);
}

void CalibrateWindow::closeEvent(QCloseEvent *event)
{
    if (!m_worker.busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_state == State::Closing)
        return;
    if (m_state == State::Running && !m_runPage->confirmStop())
        return;
    // The run may have ended while the question was asked.
    if (!m_worker.busy()) {
        event->accept();
        return;
    }
    // The window closes once the job has ended, the record written.
    setState(State::Closing);
    m_worker.stop();
}
