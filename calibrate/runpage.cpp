#include "runpage.h"

#include "numbers.h"
#include "pagetools.h"
#include "plotviews.h"

#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace pages {

namespace {

using numbers::MsPerSecond;
constexpr int LogLines = 2000; // the run's messages kept on its page
constexpr double PhaseFontScale = 1.3;

} // namespace

using pagetools::fixed;

RunPage::RunPage(BenchWorker &worker, QWidget *parent)
    : QWidget(parent)
    , m_worker(worker)
{
    auto *layout = new QVBoxLayout(this);
    m_phase = new QLabel(this);
    m_phase->setObjectName(QStringLiteral("lbPhase"));
    QFont bold = m_phase->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * PhaseFontScale);
    m_phase->setFont(bold);
    layout->addWidget(m_phase);
    auto *middle = new QHBoxLayout;
    m_chart = new RunChart(this);
    middle->addWidget(m_chart, 1);
    auto *side = new QVBoxLayout;
    m_readings = new QLabel(this);
    m_readings->setObjectName(QStringLiteral("lbReadings"));
    m_judge = new QLabel(this);
    m_judge->setObjectName(QStringLiteral("lbJudge"));
    m_judge->setWordWrap(true);
    m_points = new QListWidget(this);
    m_points->setObjectName(QStringLiteral("lwPoints"));
    m_points->setFocusPolicy(Qt::NoFocus);
    side->addWidget(m_readings);
    side->addWidget(m_judge);
    side->addWidget(new QLabel(tr("Points:"), this));
    side->addWidget(m_points, 1);
    middle->addLayout(side);
    layout->addLayout(middle, 3);
    m_log = new QPlainTextEdit(this);
    m_log->setObjectName(QStringLiteral("teLog"));
    m_log->setReadOnly(true);
    m_log->setMaximumBlockCount(LogLines);
    layout->addWidget(m_log, 1);
    auto *buttons = new QHBoxLayout;
    m_captureNow = pagetools::button(tr("&Capture now..."), QStringLiteral("pbCaptureNow"), this);
    m_skip = pagetools::button(tr("S&kip point..."), QStringLiteral("pbSkip"), this);
    m_skip->setToolTip(tr("As-left points only: the fit needs every as-found point."));
    m_stop = pagetools::button(tr("S&top"), QStringLiteral("pbStop"), this);
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
        emit stopping();
    });
    connect(&m_worker, &BenchWorker::progressed, this, &RunPage::showProgress);
    connect(&m_worker, &BenchWorker::said, this, &RunPage::showSaid);
    connect(&m_worker, &BenchWorker::asked, this, &RunPage::ask);
    connect(&m_worker, &BenchWorker::calibrated, this, &RunPage::showEnd);
    setRunning(false);
}

void RunPage::begin(const procedure::Procedure &procedure)
{
    m_procedure = procedure;
    m_chart->clear(QString());
    m_points->clear();
    m_phase->setText(tr("Starting..."));
    m_readings->clear();
    m_judge->clear();
}

void RunPage::setRunning(bool running)
{
    m_captureNow->setEnabled(running);
    m_skip->setEnabled(false);
    m_stop->setEnabled(running);
}

bool RunPage::confirmStop()
{
    return QMessageBox::question(this, tr("Stop the calibration?"),
                                 tr("A calibration is running. Stop it? The record is kept, and opening it later resumes "
                                    "the run from the point in progress."),
                                 QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel)
        == QMessageBox::Yes;
}

std::optional<QString> RunPage::askReason(const QString &title, const QString &question, const QString &refusal)
{
    bool ok = false;
    const QString reason = QInputDialog::getText(this, title, question, QLineEdit::Normal, QString(), &ok).trimmed();
    if (!ok)
        return std::nullopt;
    if (reason.isEmpty()) {
        emit problem(refusal);
        return std::nullopt;
    }
    return reason;
}

void RunPage::showProgress(const procedure::Progress &progress)
{
    if (!m_procedure)
        return;
    const procedure::Procedure &p = *m_procedure;
    const QString unit = procedure::pointUnit(p.kind);
    const QString title = tr("%1: point %2 of %3, %4 %5").arg(pagetools::phaseName(progress.phase)).arg(progress.index).arg(progress.count)
                              .arg(progress.nominal).arg(unit);
    if (m_phase->text() != title) {
        // A new point: its chart and the list of points start again.
        m_phase->setText(title);
        m_chart->clear(p.kind == procedure::Kind::Adc ? tr("Voltage (V)") : tr("Temperature (K)"));
        m_points->clear();
        const QVector<double> points = progress.phase == analysis::Phase::AsLeft ? procedure::asLeftInRunOrder(p) : p.points;
        for (int i = 0; i < points.size(); ++i) {
            const QString state = i + 1 < progress.index ? tr("done") : i + 1 == progress.index ? tr("now") : tr("to come");
            m_points->addItem(QStringLiteral("%1 %2  %3").arg(points.at(i)).arg(unit, state));
        }
        m_skip->setEnabled(progress.phase == analysis::Phase::AsLeft);
    }
    const stability::Reading reading = analysis::judged(p, progress.sample);
    // The chart runs on the clock's time of day; the judge went by the monotonic clock.
    m_chart->add(progress.sample.ms, reading.reference, reading.instrument);
    const int decimals = procedure::readingDecimals(p.kind);
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

void RunPage::showSaid(const QString &text, bool status)
{
    if (!status)
        m_log->appendPlainText(text);
}

void RunPage::ask(const QString &prompt)
{
    auto *dialog = new QInputDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("The run asks"));
    dialog->setLabelText(prompt);
    connect(dialog, &QInputDialog::accepted, this, [this, dialog] { m_worker.answer(dialog->textValue()); });
    connect(dialog, &QInputDialog::rejected, this, [this] { m_worker.answer(std::nullopt); });
    dialog->open();
}

void RunPage::showEnd(const RunEnd &end)
{
    setRunning(false);
    if (!end.outcome.message.isEmpty())
        m_log->appendPlainText(end.outcome.message);
}

} // namespace pages
