#include "runlog.h"

#include "stating.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>

#include <cmath>

namespace {

QString tr(const char *text, const char *disambiguation = nullptr, int n = -1)
{
    return QCoreApplication::translate("RunLog", text, disambiguation, n);
}

} // namespace

RunLog::RunLog(const procedure::Procedure &procedure, Callbacks callbacks)
    : m_procedure(procedure)
    , m_callbacks(std::move(callbacks))
{
}

QString RunLog::pointName(const procedure::PointRef &point) const
{
    return (point.phase == analysis::Phase::AsLeft ? tr("As left, point %1 of %2 (%3 %4)") : tr("As found, point %1 of %2 (%3 %4)"))
        .arg(point.index).arg(point.count).arg(point.nominal).arg(procedure::pointUnit(m_procedure.kind));
}

void RunLog::resumed(int keptPoints)
{
    m_callbacks.log(tr("Resumed: %1 points kept from the record.").arg(keptPoints));
}

void RunLog::pointStarted(const procedure::PointStarted &started)
{
    if (started.command.isEmpty())
        return;
    m_callbacks.log(tr("%1: the source was sent \"%2\"; settling for %3 s.")
                        .arg(pointName(started.point), QString::fromLatin1(started.command)).arg(started.settleSeconds));
}

void RunLog::judged(const procedure::Progress &progress)
{
    m_callbacks.progress(progress);
}

void RunLog::stale(const procedure::StaleReference &stale)
{
    if (stale.captureDropped)
        m_callbacks.log(tr("%1: the reference repeated %2 for %3 s during the capture; the capture was dropped and the point is "
                           "judged again.")
                            .arg(pointName(stale.point)).arg(stale.reading, 0, 'g', 12).arg(stale.seconds));
    else
        m_callbacks.log(tr("%1: the reference repeated %2 for the whole window; it is stale, not stable.")
                            .arg(pointName(stale.point)).arg(stale.reading, 0, 'g', 12));
}

void RunLog::deviation(const procedure::RunDeviation &deviation)
{
    switch (deviation.kind) {
    case procedure::RunDeviation::Kind::ExpiredReference:
        m_callbacks.log(tr("The reference's certificate %1 was due on %2; %3 allowed the run to go on (%4). The certificate "
                           "will say so.")
                            .arg(deviation.certificate, QLocale().toString(deviation.due, QLocale::ShortFormat), deviation.user,
                                 deviation.reason));
        return;
    case procedure::RunDeviation::Kind::CapturedEarly:
        m_callbacks.log(tr("%1: captured before it was judged stable, as asked: %2").arg(pointName(deviation.point), deviation.reason));
        return;
    case procedure::RunDeviation::Kind::Skipped:
        m_callbacks.log(tr("%1: skipped, as asked: %2").arg(pointName(deviation.point), deviation.reason));
        return;
    }
}

void RunLog::captured(const procedure::PointRef &point)
{
    m_callbacks.log(tr("%1: captured.").arg(pointName(point)));
}

void RunLog::fitReady(const procedure::FitReady &fit)
{
    // The fit page shows the table; the log says what it comes to.
    const stating::Unit stated = stating::unitFor(m_procedure.kind, fit.changes.uncertainties());
    const analysis::Change largest = fit.changes.rows.value(fit.changes.largest);
    m_callbacks.log(tr("Fitted: the new set changes the readings at the points by up to %1 %2.")
                        .arg(stating::value(std::fabs(largest.change), largest.expanded, stated), stated.symbol));
}

void RunLog::backedUp(const QString &path)
{
    m_callbacks.log(tr("The instrument's set was backed up to %1.").arg(QDir::toNativeSeparators(path)));
}

void RunLog::written(const QString &outcome)
{
    m_callbacks.log(tr("The new set was %1.").arg(outcome));
}

std::optional<QString> RunLog::ask(const procedure::Question &question)
{
    QString text;
    if (question.kind == procedure::Question::Kind::SetPoint) {
        const double nominal = question.point.nominal;
        text = m_procedure.kind == procedure::Kind::Adc
                   ? tr("%1: apply %2 V at the sensor input, then press OK.").arg(pointName(question.point)).arg(nominal)
                   : tr("%1: set the bath to %2 K, then press OK.").arg(pointName(question.point)).arg(nominal);
    } else {
        text = tr("Type the reference's reading in %1:").arg(question.unit);
        if (!question.notANumber.isEmpty())
            text = tr("\"%1\" holds no number.").arg(question.notANumber) + QLatin1Char('\n') + text;
    }
    return m_callbacks.ask(text);
}
