#include "calibratewindow.h"

#include "curvemath.h"
#include "device.h"
#include "plotviews.h"
#include "procedureform.h"
#include "sendset.h"
#include "stating.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cmath>

namespace {

constexpr double MillisPerUnit = 1000.0; // mK per K, mV per V
constexpr double MsPerSecond = 1000.0;
constexpr int FittedCurvePoints = 200;
constexpr int PreviewWidth = 420;
constexpr int DefaultWidth = 1100; // fits a 1280 x 800 screen
constexpr int DefaultHeight = 760;
constexpr int LogLines = 2000;     // the run's messages kept on its page
constexpr int ShownDifferences = 4;

const QColor PassColour(0xc8, 0xf0, 0xc8);
const QColor FailColour(0xf8, 0xc0, 0xc0);
const QColor ConditionalColour(0xf8, 0xe8, 0xa8);
const QString ProblemStyle = QStringLiteral("color: #b00000;");

QString fixed(double value, int decimals)
{
    return std::isfinite(value) ? QString::number(value, 'f', decimals) : QStringLiteral("-");
}

QString phaseName(analysis::Phase phase)
{
    return phase == analysis::Phase::AsLeft ? CalibrateWindow::tr("as left") : CalibrateWindow::tr("as found");
}

QTableWidget *table(QWidget *parent, const QStringList &header, const QString &name)
{
    auto *widget = new QTableWidget(0, header.size(), parent);
    widget->setObjectName(name);
    widget->setHorizontalHeaderLabels(header);
    widget->setEditTriggers(QAbstractItemView::NoEditTriggers);
    widget->setSelectionBehavior(QAbstractItemView::SelectRows);
    widget->setSelectionMode(QAbstractItemView::SingleSelection);
    widget->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    widget->horizontalHeader()->setStretchLastSection(true);
    widget->verticalHeader()->hide();
    return widget;
}

void addRow(QTableWidget *widget, const QStringList &cells, const QColor &colour = QColor())
{
    const int row = widget->rowCount();
    widget->insertRow(row);
    for (int column = 0; column < cells.size(); ++column) {
        auto *item = new QTableWidgetItem(cells.at(column));
        item->setTextAlignment(column == 0 ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter);
        if (colour.isValid())
            item->setBackground(colour);
        widget->setItem(row, column, item);
    }
}

QPushButton *button(const QString &text, const QString &name, QWidget *parent)
{
    auto *created = new QPushButton(text, parent);
    created->setObjectName(name);
    return created;
}

QVector<curveplot::Point> tableOf(const device::DeviceSet &set)
{
    return device::toCalibrationSet(set).table;
}

// The as-left points in the order of the run.
QVector<double> asLeftPoints(const procedure::Procedure &procedure)
{
    QVector<double> points;
    for (double point : procedure.points) {
        if (procedure.asLeftPoints.contains(point))
            points.append(point);
    }
    return points;
}

} // namespace

CalibrateWindow::CalibrateWindow(const QString &port, QWidget *parent)
    : QWidget(parent)
    , m_port(port)
    , m_steps(new QListWidget(this))
    , m_pages(new QStackedWidget(this))
    , m_message(new QLabel(this))
{
    setWindowTitle(tr("thermocal calibrate"));
    resize(DefaultWidth, DefaultHeight);
    auto *layout = new QHBoxLayout(this);
    m_steps->setObjectName(QStringLiteral("lwSteps"));
    m_steps->addItems({tr("1  Procedure"), tr("2  Checks"), tr("3  Run"), tr("4  Fit"), tr("5  Results")});
    m_steps->setFixedWidth(m_steps->sizeHintForColumn(0) + 4 * m_steps->frameWidth() + 24);
    m_steps->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(m_steps);
    auto *right = new QVBoxLayout;
    right->addWidget(m_pages, 1);
    m_message->setObjectName(QStringLiteral("lbMessage"));
    m_message->setWordWrap(true);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    right->addWidget(m_message);
    layout->addLayout(right, 1);

    m_pages->addWidget(makeProcedurePage());
    m_pages->addWidget(makeChecksPage());
    m_pages->addWidget(makeRunPage());
    m_pages->addWidget(makeFitPage());
    m_pages->addWidget(makeResultsPage());
    // A step already reached can be looked at again; none while a run goes.
    connect(m_steps, &QListWidget::itemClicked, this, [this](QListWidgetItem *item) {
        const Page wanted = Page(m_steps->row(item));
        if (!m_worker.busy() && (wanted == ProcedurePage || (item->flags() & Qt::ItemIsEnabled)))
            showPage(wanted);
        else
            m_steps->setCurrentRow(int(page()));
    });

    connect(&m_worker, &BenchWorker::checked, this, &CalibrateWindow::showChecks);
    connect(&m_worker, &BenchWorker::progressed, this, &CalibrateWindow::showProgress);
    connect(&m_worker, &BenchWorker::said, this, &CalibrateWindow::showSaid);
    connect(&m_worker, &BenchWorker::asked, this, &CalibrateWindow::answerRun);
    connect(&m_worker, &BenchWorker::calibrated, this, &CalibrateWindow::runEnded);
    connect(&m_worker, &BenchWorker::certified, this, [this](const QString &error, const QImage &preview) {
        if (m_closeWhenStopped) {
            close();
            return;
        }
        if (!error.isEmpty())
            problem(error);
        else if (!m_pendingCertificate.isEmpty())
            m_message->setText(tr("Certificate saved: %1").arg(QDir::toNativeSeparators(m_pendingCertificate)));
        m_pendingCertificate.clear();
        if (!preview.isNull())
            m_preview->setPixmap(QPixmap::fromImage(preview));
        m_saveCertificate->setEnabled(true);
    });
    showPage(ProcedurePage);
}

CalibrateWindow::Page CalibrateWindow::page() const
{
    return Page(m_pages->currentIndex());
}

void CalibrateWindow::showPage(Page shown)
{
    m_pages->setCurrentIndex(int(shown));
    for (int row = 0; row < m_steps->count(); ++row) {
        QListWidgetItem *item = m_steps->item(row);
        if (row <= int(shown))
            item->setFlags(item->flags() | Qt::ItemIsEnabled);
    }
    m_steps->setCurrentRow(int(shown));
}

void CalibrateWindow::problem(const QString &text)
{
    m_message->setStyleSheet(ProblemStyle);
    m_message->setText(text);
}

std::optional<QString> CalibrateWindow::askReason(const QString &title, const QString &question, const QString &refusal)
{
    bool ok = false;
    const QString reason = QInputDialog::getText(this, title, question, QLineEdit::Normal, QString(), &ok).trimmed();
    if (!ok)
        return std::nullopt;
    if (reason.isEmpty()) {
        problem(refusal);
        return std::nullopt;
    }
    return reason;
}

// ---- Procedure ----

QWidget *CalibrateWindow::makeProcedurePage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    auto *scroll = new QScrollArea(page);
    m_form = new ProcedureForm(scroll);
    scroll->setWidget(m_form);
    scroll->setWidgetResizable(true);
    layout->addWidget(scroll, 1);
    auto *buttons = new QHBoxLayout;
    auto *open = button(tr("&Open..."), QStringLiteral("pbOpen"), page);
    open->setShortcut(QKeySequence::Open);
    auto *save = button(tr("Sa&ve..."), QStringLiteral("pbSaveProcedure"), page);
    save->setShortcut(QKeySequence::Save);
    auto *next = button(tr("&Next: checks"), QStringLiteral("pbToChecks"), page);
    buttons->addWidget(open);
    buttons->addWidget(save);
    buttons->addStretch();
    buttons->addWidget(next);
    layout->addLayout(buttons);
    connect(open, &QPushButton::clicked, this, &CalibrateWindow::openProcedure);
    connect(save, &QPushButton::clicked, this, &CalibrateWindow::saveProcedure);
    connect(next, &QPushButton::clicked, this, &CalibrateWindow::goToChecks);
    connect(m_form, &ProcedureForm::testReference, this, [this] {
        QString error;
        const std::optional<QJsonObject> object = m_form->procedure(&error);
        const procedure::Parsed parsed = object ? procedure::parse(*object) : procedure::Parsed{};
        if (!parsed.procedure || m_worker.busy()) {
            m_form->showReferenceTest(m_worker.busy() ? tr("The bench is busy.") : error, false);
            return;
        }
        m_testingReference = true;
        m_form->showReferenceTest(tr("Asking the reference..."), true);
        m_worker.check(*parsed.procedure, QString(), false);
    });
    return page;
}

void CalibrateWindow::openProcedure()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open a procedure or a record"), QString(),
                                                      tr("Procedures and records (*.json);;All files (*)"));
    if (!path.isEmpty())
        openFile(path);
}

bool CalibrateWindow::openFile(const QString &path)
{
    procedure::Error error;
    const std::optional<QJsonObject> object = record::load(path, &error);
    const auto refuse = [this, &path](const QString &why) {
        QMessageBox::critical(this, tr("Error"), tr("%1: %2").arg(QDir::toNativeSeparators(path), why));
        return false;
    };
    if (!object)
        return refuse(error.message);
    // A record holds its procedure and a hash; a procedure file holds neither.
    if (object->contains(QStringLiteral("sha256")) && object->contains(QStringLiteral("procedure"))) {
        const record::Verified verified = record::verify(*object);
        if (!verified.ok)
            return refuse(tr("the record does not verify, so it is not resumed: %1").arg(verified.difference));
        const QJsonObject procedureJson = object->value(QStringLiteral("procedure")).toObject();
        const procedure::Parsed parsed = procedure::parse(procedureJson);
        if (!parsed.procedure)
            return refuse(parsed.error.message);
        m_form->setProcedure(procedureJson);
        m_form->setEnabled(false); // a resumed run keeps the procedure it was started with
        m_procedure = parsed.procedure;
        m_resume = object;
        m_resumedPath = path;
        m_recordEdit->setText(path);
        m_message->setStyleSheet(QString());
        m_message->setText(tr("Record %1: the run goes on from its last captured point.").arg(QDir::toNativeSeparators(path)));
        showPage(ChecksPage);
        runChecks();
        return true;
    }
    const procedure::Parsed parsed = procedure::parse(*object);
    if (!parsed.procedure)
        return refuse(parsed.error.message);
    m_resume.reset();
    m_record.reset();
    m_procedureDirectory = QFileInfo(path).absolutePath();
    m_form->setEnabled(true);
    m_form->setProcedure(*object);
    m_recordEdit->clear();
    m_message->setStyleSheet(QString());
    m_message->setText(tr("Procedure %1").arg(QDir::toNativeSeparators(path)));
    showPage(ProcedurePage);
    return true;
}

void CalibrateWindow::saveProcedure()
{
    QString error;
    const std::optional<QJsonObject> object = m_form->procedure(&error);
    if (!object) {
        problem(error);
        return;
    }
    const QString path = QFileDialog::getSaveFileName(this, tr("Save the procedure"), QString(), tr("Procedures (*.json)"));
    if (path.isEmpty())
        return;
    const QByteArray bytes = QJsonDocument(*object).toJson(QJsonDocument::Indented);
    QSaveFile file(path);
    // QSaveFile can report a commit after a failed final flush; each step is checked.
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() || !file.commit()) {
        file.cancelWriting();
        QMessageBox::critical(this, tr("Error"), tr("Couldn't write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return;
    }
    m_procedureDirectory = QFileInfo(path).absolutePath();
    m_message->setStyleSheet(QString());
    m_message->setText(tr("Procedure saved: %1").arg(QDir::toNativeSeparators(path)));
}

void CalibrateWindow::goToChecks()
{
    // The form is locked only for a record opened to resume; otherwise it starts a new run.
    if (m_form->isEnabledTo(m_form->parentWidget())) {
        m_resume.reset();
        m_record.reset();
        QString error;
        const std::optional<QJsonObject> object = m_form->procedure(&error);
        if (!object) {
            problem(error);
            return;
        }
        std::optional<procedure::Procedure> parsed = procedure::parse(*object).procedure;
        // A sensor curve the procedure names is read now, relative to the procedure's file; the
        // record keeps it whole from the run's start.
        const procedure::Error curveError = procedure::loadCurve(*parsed, m_procedureDirectory.isEmpty() ? QDir::currentPath() : m_procedureDirectory);
        if (curveError.failed()) {
            problem(curveError.message);
            return;
        }
        m_procedure = parsed;
        if (m_recordEdit->text().isEmpty())
            m_recordEdit->setText(QDir::current().filePath(record::defaultFileName(*m_procedure)));
    }
    m_message->setStyleSheet(QString());
    m_message->clear();
    showPage(ChecksPage);
    runChecks();
}

// ---- Checks ----

QWidget *CalibrateWindow::makeChecksPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    auto *form = new QFormLayout;
    m_portEdit = new QLineEdit(m_port, page);
    m_portEdit->setObjectName(QStringLiteral("lePort"));
    m_portEdit->setPlaceholderText(tr("the only instrument connected"));
    form->addRow(tr("Instrument &port:"), m_portEdit);
    auto *recordRow = new QHBoxLayout;
    m_recordEdit = new QLineEdit(page);
    m_recordEdit->setObjectName(QStringLiteral("leRecord"));
    recordRow->addWidget(m_recordEdit);
    auto *browse = button(tr("&Browse..."), QStringLiteral("pbBrowseRecord"), page);
    recordRow->addWidget(browse);
    auto *recordLabel = new QLabel(tr("&Record:"), page);
    recordLabel->setBuddy(m_recordEdit);
    form->addRow(recordLabel, recordRow);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, tr("The run's record"), m_recordEdit->text(), tr("Records (*.json)"));
        if (!path.isEmpty())
            m_recordEdit->setText(path);
    });
    const auto result = [page](const QString &name) {
        auto *label = new QLabel(page);
        label->setObjectName(name);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return label;
    };
    m_instrumentCheck = result(QStringLiteral("lbInstrument"));
    m_referenceCheck = result(QStringLiteral("lbReference"));
    m_sourceCheck = result(QStringLiteral("lbSource"));
    m_dueCheck = result(QStringLiteral("lbDue"));
    form->addRow(tr("Instrument:"), m_instrumentCheck);
    form->addRow(tr("Reference:"), m_referenceCheck);
    form->addRow(tr("Source:"), m_sourceCheck);
    form->addRow(tr("Reference certificate:"), m_dueCheck);
    m_allowExpired = new QCheckBox(tr("Run with the &expired reference; the certificate will say so"), page);
    m_allowExpired->setObjectName(QStringLiteral("cbAllowExpired"));
    m_allowExpired->hide();
    form->addRow(QString(), m_allowExpired);
    m_expiredReason = new QLineEdit(page);
    m_expiredReason->setObjectName(QStringLiteral("leExpiredReason"));
    m_expiredReason->setPlaceholderText(tr("Why, for the record and the certificate"));
    m_expiredReason->hide();
    form->addRow(QString(), m_expiredReason);
    connect(m_allowExpired, &QCheckBox::toggled, this, [this](bool allowed) {
        m_expiredReason->setVisible(allowed);
        updateStart();
    });
    connect(m_expiredReason, &QLineEdit::textChanged, this, &CalibrateWindow::updateStart);
    layout->addLayout(form);
    layout->addStretch();
    auto *buttons = new QHBoxLayout;
    auto *back = button(tr("Bac&k: procedure"), QStringLiteral("pbToProcedure"), page);
    m_checkAgain = button(tr("&Check again"), QStringLiteral("pbCheckAgain"), page);
    m_start = button(tr("&Start: as found"), QStringLiteral("pbStart"), page);
    buttons->addWidget(back);
    buttons->addStretch();
    buttons->addWidget(m_checkAgain);
    buttons->addWidget(m_start);
    layout->addLayout(buttons);
    connect(back, &QPushButton::clicked, this, [this] { showPage(ProcedurePage); });
    connect(m_checkAgain, &QPushButton::clicked, this, &CalibrateWindow::runChecks);
    connect(m_start, &QPushButton::clicked, this, [this] { startRun(m_resume && m_resume->value(QStringLiteral("write")).toBool()); });
    return page;
}

void CalibrateWindow::runChecks()
{
    if (!m_procedure || m_worker.busy())
        return;
    m_checksPassed = false;
    m_testingReference = false;
    for (QLabel *label : {m_instrumentCheck, m_referenceCheck, m_sourceCheck}) {
        label->setStyleSheet(QString());
        label->setText(tr("checking..."));
    }
    const procedure::ReferenceCertificate &certificate = m_procedure->reference.certificate;
    const bool expired = certificate.due < QDate::currentDate();
    m_dueCheck->setStyleSheet(expired ? ProblemStyle : QString());
    m_dueCheck->setText(expired ? tr("%1 was due on %2: it has expired. Recalibrate the reference, or run with it "
                                     "and the certificate will say so.")
                                      .arg(certificate.number, certificate.due.toString(Qt::ISODate))
                                : tr("%1, due on %2.").arg(certificate.number, certificate.due.toString(Qt::ISODate)));
    m_allowExpired->setVisible(expired);
    if (!expired)
        m_allowExpired->setChecked(false);
    m_expiredReason->setVisible(expired && m_allowExpired->isChecked());
    m_worker.check(*m_procedure, m_portEdit->text().trimmed());
    updateStart();
}

void CalibrateWindow::showChecks(const BenchCheck &check)
{
    if (m_closeWhenStopped) {
        close();
        return;
    }
    const auto show = [](QLabel *label, const QString &good, const QString &error) {
        label->setStyleSheet(error.isEmpty() ? QString() : ProblemStyle);
        label->setText(error.isEmpty() ? good : error);
    };
    const QString reference = tr("%1; reads %2").arg(check.referenceIdn.isEmpty() ? tr("(no identity)") : check.referenceIdn,
                                                     check.referenceReading.isEmpty() ? tr("nothing") : check.referenceReading);
    if (m_testingReference) {
        m_testingReference = false;
        m_form->showReferenceTest(check.referenceError.isEmpty() ? reference : check.referenceError, check.referenceError.isEmpty());
        return;
    }
    show(m_instrumentCheck,
         tr("%1, USB serial number %2; reads %3").arg(check.instrumentPort, check.serialNumber.isEmpty() ? tr("unknown") : check.serialNumber,
                                                      check.instrumentReading),
         check.instrumentError);
    show(m_referenceCheck, reference, check.referenceError);
    if (check.checkedSource)
        show(m_sourceCheck, check.sourceIdn.isEmpty() ? tr("answers") : check.sourceIdn, check.sourceError);
    else
        m_sourceCheck->setText(tr("none: the run asks you to set each point"));
    m_checksPassed = check.instrumentError.isEmpty() && check.referenceError.isEmpty() && check.sourceError.isEmpty();
    updateStart();
}

void CalibrateWindow::updateStart()
{
    const bool expired = m_procedure && m_procedure->reference.certificate.due < QDate::currentDate();
    m_start->setText(m_resume ? tr("&Start: resume the run") : tr("&Start: as found"));
    const bool allowed = m_allowExpired->isChecked() && !m_expiredReason->text().trimmed().isEmpty();
    m_start->setEnabled(m_checksPassed && !m_worker.busy() && (!expired || allowed));
    m_checkAgain->setEnabled(!m_worker.busy());
}

// ---- Run ----

QWidget *CalibrateWindow::makeRunPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    m_phase = new QLabel(page);
    m_phase->setObjectName(QStringLiteral("lbPhase"));
    QFont bold = m_phase->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    m_phase->setFont(bold);
    layout->addWidget(m_phase);
    auto *middle = new QHBoxLayout;
    m_chart = new RunChart(page);
    middle->addWidget(m_chart, 1);
    auto *side = new QVBoxLayout;
    m_readings = new QLabel(page);
    m_readings->setObjectName(QStringLiteral("lbReadings"));
    m_judge = new QLabel(page);
    m_judge->setObjectName(QStringLiteral("lbJudge"));
    m_judge->setWordWrap(true);
    m_pointList = new QListWidget(page);
    m_pointList->setObjectName(QStringLiteral("lwPoints"));
    m_pointList->setFocusPolicy(Qt::NoFocus);
    side->addWidget(m_readings);
    side->addWidget(m_judge);
    side->addWidget(new QLabel(tr("Points:"), page));
    side->addWidget(m_pointList, 1);
    middle->addLayout(side);
    layout->addLayout(middle, 3);
    m_log = new QPlainTextEdit(page);
    m_log->setObjectName(QStringLiteral("teLog"));
    m_log->setReadOnly(true);
    m_log->setMaximumBlockCount(LogLines);
    layout->addWidget(m_log, 1);
    auto *buttons = new QHBoxLayout;
    m_captureNow = button(tr("&Capture now..."), QStringLiteral("pbCaptureNow"), page);
    m_skip = button(tr("S&kip point..."), QStringLiteral("pbSkip"), page);
    m_skip->setToolTip(tr("As-left points only: the fit needs every as-found point."));
    m_stop = button(tr("S&top"), QStringLiteral("pbStop"), page);
    buttons->addWidget(m_captureNow);
    buttons->addWidget(m_skip);
    buttons->addStretch();
    buttons->addWidget(m_stop);
    layout->addLayout(buttons);
    connect(m_captureNow, &QPushButton::clicked, this, [this] {
        const std::optional<QString> reason = askReason(tr("Capture now"), tr("Why capture before the point is judged stable? (kept in the record)"),
                                                        tr("Nothing captured: the record needs a reason."));
        if (!reason)
            return;
        m_worker.captureNow(*reason);
        m_log->appendPlainText(tr("capture asked: %1").arg(*reason));
    });
    connect(m_skip, &QPushButton::clicked, this, [this] {
        const std::optional<QString> reason = askReason(tr("Skip point"), tr("Why skip this as-left point? (kept in the record)"),
                                                        tr("Nothing skipped: the record needs a reason."));
        if (!reason)
            return;
        m_worker.skipPoint(*reason);
        m_log->appendPlainText(tr("skip asked: %1").arg(*reason));
    });
    connect(m_stop, &QPushButton::clicked, this, [this] {
        m_worker.stop();
        m_stop->setEnabled(false);
        m_log->appendPlainText(tr("stopping..."));
    });
    setRunning(false);
    return page;
}

void CalibrateWindow::setRunning(bool running)
{
    m_captureNow->setEnabled(running);
    m_skip->setEnabled(false);
    m_stop->setEnabled(running);
    m_form->parentWidget()->setEnabled(!running);
    updateStart();
}

void CalibrateWindow::startRun(bool write)
{
    if (!m_procedure || m_worker.busy())
        return;
    procedure::RunOptions options;
    options.recordPath = m_recordEdit->text().trimmed();
    if (options.recordPath.isEmpty()) {
        problem(tr("Name the record first."));
        return;
    }
    // A record is the evidence of a calibration: a new run never replaces one, nor does a
    // resumed run replace any file but its own record.
    const bool elsewhere = m_resume && QFileInfo(options.recordPath).absoluteFilePath() != QFileInfo(m_resumedPath).absoluteFilePath();
    if ((!m_resume || elsewhere) && QFileInfo::exists(options.recordPath)) {
        problem(tr("The record %1 exists already; open it to go on with its run, or name another.")
                    .arg(QDir::toNativeSeparators(options.recordPath)));
        return;
    }
    m_runRecordPath = options.recordPath;
    options.write = write;
    if (write)
        options.backupPath = QFileInfo(options.recordPath).dir().filePath(sendset::defaultBackupName());
    if (m_allowExpired->isChecked())
        options.expiredReferenceReason = m_expiredReason->text().trimmed();
    options.resume = m_resume;
    options.software = QStringLiteral("%1 %2").arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion());
    options.today = QDate::currentDate();
    m_message->setStyleSheet(QString());
    m_message->clear();
    m_chart->clear(QString());
    m_pointList->clear();
    m_phase->setText(tr("Starting..."));
    m_readings->clear();
    m_judge->clear();
    m_worker.calibrate(*m_procedure, m_portEdit->text().trimmed(), options);
    setRunning(true);
    showPage(RunPage);
}

void CalibrateWindow::showProgress(const procedure::Progress &progress)
{
    const procedure::Procedure &p = *m_procedure;
    const QString unit = procedure::pointUnit(p.kind);
    const QString title = tr("%1: point %2 of %3, %4 %5").arg(phaseName(progress.phase)).arg(progress.index).arg(progress.count)
                              .arg(progress.nominal).arg(unit);
    if (m_phase->text() != title) {
        // A new point: its chart and the list of points start again.
        m_phase->setText(title);
        m_chart->clear(p.kind == procedure::Kind::Adc ? tr("Voltage (V)") : tr("Temperature (K)"));
        m_pointList->clear();
        const QVector<double> points = progress.phase == analysis::Phase::AsLeft ? asLeftPoints(p) : p.points;
        for (int i = 0; i < points.size(); ++i) {
            const QString state = i + 1 < progress.index ? tr("done") : i + 1 == progress.index ? tr("now") : tr("to come");
            m_pointList->addItem(QStringLiteral("%1 %2  %3").arg(points.at(i)).arg(unit, state));
        }
        m_skip->setEnabled(progress.phase == analysis::Phase::AsLeft);
    }
    const stability::Reading reading = analysis::judged(p, progress.sample);
    // The chart runs on the clock's time of day; the judge went by the monotonic clock.
    m_chart->add(progress.sample.ms, reading.reference, reading.instrument);
    const int decimals = p.kind == procedure::Kind::Adc ? 6 : 4;
    m_readings->setText(tr("Reference %1 %3\nInstrument %2 %3").arg(fixed(reading.reference, decimals), fixed(reading.instrument, decimals), unit));
    if (progress.captured >= 0) {
        m_judge->setText(tr("Capturing %1 of %2").arg(progress.captured).arg(p.stability.samples));
        return;
    }
    const stability::Judgement &judged = progress.judgement;
    const qint64 windowMs = qint64(p.stability.window * MsPerSecond);
    m_chart->setBands(progress.sample.ms - windowMs, progress.sample.ms, judged.reference.mean, judged.instrument.mean, p.stability.sd);
    QString state = judged.stable ? tr("stable")
                  : judged.stale  ? tr("stale: the reference repeats one reading")
                  : std::isfinite(judged.secondsToStable) ? tr("stable in about %1 s").arg(std::ceil(judged.secondsToStable))
                                                          : tr("not stable");
    m_judge->setText(tr("Over the last %1 s:\nslope, reference %2, instrument %3 %4/min (limit %5)\n"
                        "SD, reference %6, instrument %7 %4 (limit %8)\n%9")
                         .arg(p.stability.window)
                         .arg(fixed(judged.reference.slopePerMinute, decimals), fixed(judged.instrument.slopePerMinute, decimals), unit)
                         .arg(p.stability.slope)
                         .arg(fixed(judged.reference.sd, decimals), fixed(judged.instrument.sd, decimals))
                         .arg(p.stability.sd)
                         .arg(state));
}

void CalibrateWindow::showSaid(const QString &text, bool status)
{
    if (!status)
        m_log->appendPlainText(text);
}

void CalibrateWindow::answerRun(const QString &prompt)
{
    auto *dialog = new QInputDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("The run asks"));
    dialog->setLabelText(prompt);
    connect(dialog, &QInputDialog::accepted, this, [this, dialog] { m_worker.answer(dialog->textValue()); });
    connect(dialog, &QInputDialog::rejected, this, [this] { m_worker.answer(std::nullopt); });
    dialog->open();
}

void CalibrateWindow::runEnded(const procedure::Outcome &outcome, const record::Record &record)
{
    setRunning(false);
    if (!outcome.message.isEmpty())
        m_log->appendPlainText(outcome.message);
    const bool recorded = !record.started.isEmpty();
    if (recorded) {
        m_record = record;
        m_resume = record::toJson(record);
        m_resumedPath = m_runRecordPath;
    }
    if (m_closeWhenStopped) {
        close();
        return;
    }
    if (outcome.ending != procedure::Ending::Complete) {
        problem(outcome.message + (recorded ? tr(" Start again on the checks page, or open the record later, to resume.") : QString()));
        updateStart();
        return;
    }
    const procedure::Parsed parsed = record::procedureOf(record);
    m_analysis = analysis::analyse(*parsed.procedure, record.asFound, record.points);
    m_message->setStyleSheet(QString());
    if (record.asLeft) {
        m_message->setText(outcome.message);
        showResults();
    } else {
        m_message->setText(tr("As found: the proposed set is in the record %1; nothing has been sent to the instrument.")
                               .arg(QDir::toNativeSeparators(m_recordEdit->text())));
        showFit();
    }
}

// ---- Fit ----

QWidget *CalibrateWindow::makeFitPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    m_fitSummary = new QLabel(page);
    m_fitSummary->setObjectName(QStringLiteral("lbFitSummary"));
    m_fitSummary->setWordWrap(true);
    m_fitSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_fitSummary);
    auto *plots = new QHBoxLayout;
    m_fitPlot = new PlotView(page);
    m_changePlot = new PlotView(page);
    m_interpolationPlot = new PlotView(page);
    plots->addWidget(m_fitPlot);
    plots->addWidget(m_changePlot);
    plots->addWidget(m_interpolationPlot);
    layout->addLayout(plots, 2);
    m_fitTable = table(page, {}, QStringLiteral("twFit"));
    layout->addWidget(m_fitTable, 1);
    auto *buttons = new QHBoxLayout;
    m_finish = button(tr("&Finish without writing"), QStringLiteral("pbFinish"), page);
    m_write = button(tr("&Write to instrument..."), QStringLiteral("pbWrite"), page);
    buttons->addStretch();
    buttons->addWidget(m_finish);
    buttons->addWidget(m_write);
    layout->addLayout(buttons);
    connect(m_finish, &QPushButton::clicked, this, &CalibrateWindow::showResults);
    connect(m_write, &QPushButton::clicked, this, &CalibrateWindow::writeToInstrument);
    return page;
}

void CalibrateWindow::showFit()
{
    const procedure::Procedure &p = *m_procedure;
    const record::Record &record = *m_record;
    const bool adc = p.kind == procedure::Kind::Adc;
    QVector<double> expanded;
    for (const analysis::PointResult &point : qAsConst(m_analysis.points)) {
        if (point.phase == analysis::Phase::AsFound)
            expanded.append(point.budget.expanded);
    }
    // Errors and changes are stated to their point's U, in the unit the smallest U needs.
    const stating::Unit stated = stating::unitFor(p.kind, expanded);
    QVector<curveplot::Series> fitted;
    QString summary;
    m_fitTable->clear();
    m_fitTable->setRowCount(0);
    double largestAtPoints = 0.0;
    double largestU = 0.0;
    QVector<QStringList> rows;
    int index = 0;
    for (const analysis::PointResult &point : qAsConst(m_analysis.points)) {
        if (point.phase != analysis::Phase::AsFound)
            continue;
        const double u = point.budget.expanded;
        const double predicted = analysis::predictedError(p, m_analysis, point);
        const double change = predicted - point.error;
        if (std::fabs(change) >= largestAtPoints) {
            largestAtPoints = std::fabs(change);
            largestU = u;
        }
        const double residual = (adc ? m_analysis.adc.residuals : m_analysis.sensor.residuals).value(index) * MillisPerUnit;
        // The ADC's offset is its error, stated as such; the sensor's is a voltage the fit found.
        const QString offset = adc ? stating::value(point.error, u, stated)
                                   : fixed(m_analysis.sensor.offsets.value(index) * MillisPerUnit, 4);
        rows.append({QString::number(point.nominal), fixed(point.reference, 6), offset, fixed(residual, 4),
                     stating::value(point.error, u, stated), stating::value(predicted, u, stated), stating::value(change, u, stated)});
        ++index;
    }
    const QString largestStated = stating::value(largestAtPoints, largestU, stated);
    m_fitTable->setColumnCount(7);
    m_fitTable->setHorizontalHeaderLabels({tr("Nominal"), tr("Reference"), adc ? tr("Error (%1)").arg(stated.symbol) : tr("Offset (mV)"),
                                           tr("Residual (mV)"), tr("Error found (%1)").arg(stated.symbol),
                                           tr("Error with the new set (%1)").arg(stated.symbol), tr("Change (%1)").arg(stated.symbol)});
    for (const QStringList &row : qAsConst(rows))
        addRow(m_fitTable, row);

    if (adc) {
        curveplot::Series residuals{tr("residual"), {}, true, {}};
        for (int i = 0; i < m_analysis.adc.residuals.size(); ++i)
            residuals.points.append({m_analysis.adc.residuals.at(i) * MillisPerUnit, m_analysis.points.value(i).reference});
        residuals.bars = QVector<double>(residuals.points.size(), 0.0);
        m_fitPlot->setPlot({residuals}, curveplot::Mode::Errors, {tr("Reference voltage (V)"), tr("Residual of the line (mV)")});
        m_changePlot->hide();
        m_interpolationPlot->hide();
        summary = tr("ADC slope %1 -> %2 V per count, intercept %3 -> %4 V; the largest change at the points is %5 %6.")
                      .arg(double(record.asFound.adcSlope), 0, 'g', 9).arg(m_analysis.adc.slope, 0, 'g', 9)
                      .arg(double(record.asFound.adcIntercept), 0, 'g', 9).arg(m_analysis.adc.intercept, 0, 'g', 9)
                      .arg(largestStated, stated.symbol);
    } else {
        const fit::SensorFit &sensor = m_analysis.sensor;
        curveplot::Series measured{tr("measured offset"), {}, true, {}};
        for (int i = 0; i < sensor.kelvins.size(); ++i)
            measured.points.append({sensor.offsets.at(i) * MillisPerUnit, sensor.kelvins.at(i)});
        curveplot::Series line{sensor.degree > 0 ? tr("fitted polynomial") : tr("interpolated"), {}, false, {}};
        const QVector<curveplot::Point> old = tableOf(record.asFound);
        double low = std::numeric_limits<double>::infinity();
        double high = 0.0;
        for (const curveplot::Point &row : old) {
            if (row.second > 0.0) {
                low = std::min(low, row.second);
                high = std::max(high, row.second);
            }
        }
        for (int i = 0; i < FittedCurvePoints && high > low; ++i) {
            const double kelvin = low * std::pow(high / low, double(i) / (FittedCurvePoints - 1));
            line.points.append({fit::offsetAt(sensor, kelvin) * MillisPerUnit, kelvin});
        }
        m_fitPlot->setPlot({line, measured}, curveplot::Mode::Curves, {tr("Temperature (K)"), tr("Sensor offset from the table (mV)")});
        const QVector<curveplot::Point> proposed = tableOf(m_analysis.proposed);
        m_changePlot->setPlot({{tr("table as found"), old, false, {}}, {tr("new table"), proposed, false, {}}},
                              curveplot::Mode::Difference, {tr("Temperature (K)"), tr("New table against the old (mK)")});
        m_changePlot->show();
        // What reading through the table's rows costs against the curve they were taken from.
        m_interpolationPlot->setPlot({{tr("fitted curve"), sensor.curve, false, {}}, {tr("new table"), proposed, false, {}}},
                                     curveplot::Mode::Difference, {tr("Temperature (K)"), tr("Table's interpolation error (mK)")});
        m_interpolationPlot->show();
        double largest = 0.0;
        double at = 0.0;
        for (const curveplot::Point &difference : curveplot::differenceInMillikelvin(old, proposed)) {
            if (std::fabs(difference.first) > std::fabs(largest)) {
                largest = difference.first;
                at = difference.second;
            }
        }
        summary = tr("The new table changes readings by up to %1 mK (at %2 K); at the points by up to %3 %7. Calibrated "
                     "range %4 K to %5 K; the 100-row table (%8) follows the fit within %6 mK.")
                      .arg(fixed(largest, 2), fixed(at, 2), largestStated, fixed(sensor.low, 2), fixed(sensor.high, 2),
                           fixed(sensor.interpolationMk, 3), stated.symbol,
                           procedure::tableSpacing(p) == tablespacing::Spacing::Curvature ? tr("rows placed by curvature")
                                                                                           : tr("geometric rows"));
    }
    m_fitSummary->setText(summary);
    m_write->setEnabled(!record.asLeft);
    showPage(FitPage);
}

void CalibrateWindow::writeToInstrument()
{
    if (!m_record || !m_analysis.fitted || m_worker.busy())
        return;
    const QVector<device::Difference> changes = device::compare(m_record->asFound, m_analysis.proposed);
    QStringList named;
    for (const device::Difference &change : changes.mid(0, ShownDifferences))
        named << tr("%1: %2 -> %3").arg(change.name()).arg(double(change.first)).arg(double(change.second));
    if (changes.size() > ShownDifferences)
        named << tr("and %1 more").arg(changes.size() - ShownDifferences);
    const QString backup = QDir::toNativeSeparators(QFileInfo(m_recordEdit->text()).dir().filePath(QStringLiteral("thermocal-backup-<UTC time>.json")));
    const QString text = tr("%1 values change:\n%2\n\nThe instrument's present set is backed up first, to\n%3\nthen the new set "
                            "is written, read back, and committed to EEPROM only when it reads back whole. Then the "
                            "as-left points are measured.\n\nWrite to the instrument?")
                             .arg(changes.size()).arg(named.join(QLatin1Char('\n')), backup);
    if (QMessageBox::question(this, tr("Write to instrument"), text, QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel)
        != QMessageBox::Yes)
        return;
    startRun(true);
}

// ---- Results ----

QWidget *CalibrateWindow::makeResultsPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QHBoxLayout(page);
    auto *left = new QVBoxLayout;
    m_results = table(page, {tr("Phase"), tr("Nominal"), tr("Reference"), tr("Instrument"), tr("Error"), tr("U (k)"),
                             tr("Tolerance"), tr("Decision")},
                      QStringLiteral("twResults"));
    left->addWidget(m_results, 1);
    left->addWidget(new QLabel(tr("Uncertainty budget of the selected point:"), page));
    m_budget = table(page, {tr("Component"), tr("Type"), tr("Distribution"), tr("Value"), tr("Divisor"), tr("Sensitivity"),
                            tr("Standard uncertainty"), tr("Degrees of freedom")},
                     QStringLiteral("twBudget"));
    left->addWidget(m_budget, 1);
    auto *buttons = new QHBoxLayout;
    m_saveCertificate = button(tr("Save &certificate..."), QStringLiteral("pbSaveCertificate"), page);
    m_saveRecord = button(tr("Save &record..."), QStringLiteral("pbSaveRecord"), page);
    buttons->addWidget(m_saveCertificate);
    buttons->addWidget(m_saveRecord);
    buttons->addStretch();
    left->addLayout(buttons);
    layout->addLayout(left, 1);
    auto *scroll = new QScrollArea(page);
    m_preview = new QLabel(tr("The certificate's first page is drawn..."), scroll);
    m_preview->setObjectName(QStringLiteral("lbPreview"));
    m_preview->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    scroll->setWidget(m_preview);
    scroll->setWidgetResizable(true);
    scroll->setMinimumWidth(PreviewWidth + 2 * scroll->frameWidth() + scroll->verticalScrollBar()->sizeHint().width());
    layout->addWidget(scroll, 0);
    connect(m_results, &QTableWidget::itemSelectionChanged, this, &CalibrateWindow::showBudget);
    connect(m_saveCertificate, &QPushButton::clicked, this, &CalibrateWindow::saveCertificate);
    connect(m_saveRecord, &QPushButton::clicked, this, &CalibrateWindow::saveRecord);
    return page;
}

void CalibrateWindow::showResults()
{
    const procedure::Procedure &p = *m_procedure;
    const QString unit = procedure::pointUnit(p.kind);
    const int decimals = p.kind == procedure::Kind::Adc ? 6 : 4;
    QVector<double> expanded;
    for (const analysis::PointResult &point : qAsConst(m_analysis.points))
        expanded.append(point.budget.expanded);
    const stating::Unit stated = stating::unitFor(p.kind, expanded);
    m_results->setHorizontalHeaderLabels({tr("Phase"), tr("Nominal"), tr("Reference"), tr("Instrument"), tr("Error (%1)").arg(stated.symbol),
                                          tr("U (%1) (k)").arg(stated.symbol), tr("Tolerance (%1)").arg(stated.symbol), tr("Decision")});
    m_results->setRowCount(0);
    for (const analysis::PointResult &point : qAsConst(m_analysis.points)) {
        const QColor colour = point.decision == analysis::Decision::Pass   ? PassColour
                            : point.decision == analysis::Decision::Fail   ? FailColour
                                                                            : ConditionalColour;
        const double u = point.budget.expanded;
        addRow(m_results,
               {phaseName(point.phase), QStringLiteral("%1 %2").arg(point.nominal).arg(unit), fixed(point.reference, decimals),
                fixed(point.instrument, decimals), stating::value(point.error, u, stated),
                tr("%1 (k=%2)").arg(stating::uncertainty(u, stated), fixed(point.budget.k, 2)), stating::limit(p.tolerance, u, stated),
                analysis::decisionText(point.decision)},
               colour);
    }
    if (!m_record->asLeft)
        m_message->setText(tr("As found; the proposed adjustment was not made, and the certificate says so."));
    m_budget->setRowCount(0);
    m_preview->setText(tr("The certificate's first page is drawn..."));
    m_saveCertificate->setEnabled(false);
    m_worker.certify(*m_record, QString(), PreviewWidth);
    showPage(ResultsPage);
    if (m_results->rowCount() > 0)
        m_results->selectRow(0);
}

void CalibrateWindow::showBudget()
{
    m_budget->setRowCount(0);
    const int row = m_results->currentRow();
    if (row < 0 || row >= m_analysis.points.size())
        return;
    const budget::Budget &budget = m_analysis.points.at(row).budget;
    const QString unit = procedure::pointUnit(m_procedure->kind);
    for (const budget::Term &term : budget.terms)
        addRow(m_budget, {term.name, term.typeA ? tr("A") : tr("B"), procedure::distributionName(term.distribution),
                          QStringLiteral("%1 %2").arg(term.value, 0, 'g', 4).arg(term.valueUnit), QString::number(term.divisor, 'g', 4),
                          QString::number(term.sensitivity, 'g', 4), QStringLiteral("%1 %2").arg(term.standard(), 0, 'g', 4).arg(unit),
                          std::isfinite(term.dof) ? QString::number(term.dof, 'g', 4) : QStringLiteral("inf")});
    addRow(m_budget, {tr("combined"), QString(), QString(), QString(), QString(), QString(),
                      QStringLiteral("%1 %2").arg(budget.combined, 0, 'g', 4).arg(unit),
                      std::isfinite(budget.effectiveDof) ? QString::number(budget.effectiveDof, 'g', 4) : QStringLiteral("inf")});
    const stating::Unit stated = stating::unitFor(m_procedure->kind, {budget.expanded});
    addRow(m_budget, {tr("expanded, k = %1").arg(fixed(budget.k, 2)), QString(), QString(), QString(), QString(), QString(),
                      QStringLiteral("%1 %2").arg(stating::uncertainty(budget.expanded, stated), stated.symbol), QString()});
}

void CalibrateWindow::saveCertificate()
{
    if (!m_record || m_worker.busy())
        return;
    const QString suggested = QFileInfo(m_recordEdit->text()).dir().filePath(m_procedure->certificate.number + QStringLiteral(".pdf"));
    const QString path = QFileDialog::getSaveFileName(this, tr("Save the certificate"), suggested, tr("PDF (*.pdf)"));
    if (path.isEmpty())
        return;
    m_pendingCertificate = path;
    m_saveCertificate->setEnabled(false);
    m_message->setStyleSheet(QString());
    m_message->setText(tr("Writing the certificate..."));
    m_worker.certify(*m_record, path, 0);
}

void CalibrateWindow::saveRecord()
{
    if (!m_record)
        return;
    const QString path = QFileDialog::getSaveFileName(this, tr("Save the record"), m_recordEdit->text(), tr("Records (*.json)"));
    if (path.isEmpty())
        return;
    const QString error = record::save(path, *m_record);
    if (!error.isEmpty()) {
        QMessageBox::critical(this, tr("Error"), error);
        return;
    }
    m_message->setStyleSheet(QString());
    m_message->setText(tr("Record saved: %1").arg(QDir::toNativeSeparators(path)));
}

void CalibrateWindow::closeEvent(QCloseEvent *event)
{
    if (!m_worker.busy() || m_closeWhenStopped) {
        if (m_worker.busy()) {
            event->ignore();
            return;
        }
        event->accept();
        return;
    }
    if (m_stop->isEnabled()
        && QMessageBox::question(this, tr("Stop the calibration?"),
                                 tr("A calibration is running. Stop it? The record is kept, and opening it later resumes "
                                    "the run from the point in progress."),
                                 QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel)
               != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    // The window closes once the job has ended, the record written.
    m_closeWhenStopped = true;
    m_worker.stop();
    event->ignore();
}
