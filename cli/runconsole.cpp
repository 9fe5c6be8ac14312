#include "runconsole.h"

#include "command.h"
#include "stating.h"
#include "streams.h"

#include <QCoreApplication>
#include <QDir>

#include <cmath>
#include <cstdio>

#ifndef Q_OS_WIN
#include <poll.h>
#include <unistd.h>
#endif

namespace cli {

namespace {

// Off a terminal, a waiting point's status is written once in this long.
constexpr qint64 StatusEveryMs = 10000;
constexpr int LongestAnswer = 1024;
constexpr int InputPollMs = 100;

QString message(const char *text)
{
    return QCoreApplication::translate("procedure", text);
}

QString value(double number, int decimals = 4)
{
    return std::isfinite(number) ? QString::number(number, 'f', decimals) : QStringLiteral("?");
}

QString phaseName(analysis::Phase phase)
{
    return phase == analysis::Phase::AsLeft ? message(QT_TRANSLATE_NOOP("procedure", "as left"))
                                            : message(QT_TRANSLATE_NOOP("procedure", "as found"));
}

// One line from standard input, waiting no longer than a stop allows; nothing at its end.
std::optional<QString> readAnswer(const std::atomic<bool> &stop)
{
#ifndef Q_OS_WIN
    pollfd input{STDIN_FILENO, POLLIN, 0};
    while (!stop.load()) {
        const int ready = ::poll(&input, 1, InputPollMs);
        if (ready > 0)
            break;
    }
    if (stop.load())
        return std::nullopt;
#endif
    char line[LongestAnswer];
    if (!std::fgets(line, sizeof line, stdin))
        return std::nullopt;
    return QString::fromLocal8Bit(line).trimmed();
}

} // namespace

RunConsole::RunConsole(const procedure::Procedure &procedure, const std::atomic<bool> &stop)
    : m_procedure(procedure)
    , m_stop(stop)
{
}

void RunConsole::say(const QString &text)
{
    err(text);
    m_sinceStatus.invalidate();
}

void RunConsole::status(const QString &text)
{
    if (frontend::statusRewrites() || !m_sinceStatus.isValid() || m_sinceStatus.elapsed() >= StatusEveryMs) {
        frontend::statusLine(text);
        m_sinceStatus.start();
    }
}

void RunConsole::resumed(int keptPoints)
{
    say(message(QT_TRANSLATE_NOOP("procedure", "resuming: %1 points kept from the record")).arg(keptPoints));
}

void RunConsole::pointStarted(const procedure::PointStarted &started)
{
    // Without a source the operator's prompt says it all.
    if (started.command.isEmpty())
        return;
    const procedure::PointRef &p = started.point;
    say(message(QT_TRANSLATE_NOOP("procedure", "point %1 of %2: %3 %4 (%5)")).arg(p.index).arg(p.count).arg(p.nominal)
            .arg(procedure::pointUnit(m_procedure.kind)).arg(QString::fromLatin1(started.command)));
    status(message(QT_TRANSLATE_NOOP("procedure", "point %1 of %2: settling for %3 s")).arg(p.index).arg(p.count).arg(started.settleSeconds));
}

void RunConsole::judged(const procedure::Progress &progress)
{
    const bool adc = m_procedure.kind == procedure::Kind::Adc;
    const QString unit = procedure::pointUnit(m_procedure.kind);
    const procedure::Stability &limits = m_procedure.stability;
    const QString head = message(QT_TRANSLATE_NOOP("procedure", "point %1 of %2, %3 %4: reference %5, instrument %6"))
                             .arg(progress.index).arg(progress.count).arg(progress.nominal).arg(unit)
                             .arg(value(analysis::referenceValue(m_procedure, progress.sample.reference)))
                             .arg(value(adc ? progress.sample.volts : progress.sample.kelvin, procedure::readingDecimals(m_procedure.kind)));
    if (progress.captured >= 0) {
        status(message(QT_TRANSLATE_NOOP("procedure", "%1; capturing %2 of %3")).arg(head).arg(progress.captured).arg(limits.samples));
        return;
    }
    const stability::Judgement &judged = progress.judgement;
    QString state;
    if (judged.stable)
        state = message(QT_TRANSLATE_NOOP("procedure", "stable"));
    else if (judged.stale)
        state = message(QT_TRANSLATE_NOOP("procedure", "stale"));
    else if (std::isfinite(judged.secondsToStable))
        state = message(QT_TRANSLATE_NOOP("procedure", "stable in about %1 s")).arg(std::ceil(judged.secondsToStable));
    else
        state = message(QT_TRANSLATE_NOOP("procedure", "not stable"));
    status(message(QT_TRANSLATE_NOOP("procedure", "%1; slope %2 and %3 (limit %4) %5/min; SD %6 and %7 (limit %8) %5; %9"))
               .arg(head, value(judged.reference.slopePerMinute), value(judged.instrument.slopePerMinute), value(limits.slope), unit,
                    value(judged.reference.sd), value(judged.instrument.sd), value(limits.sd), state));
}

void RunConsole::stale(const procedure::StaleReference &stale)
{
    const procedure::PointRef &p = stale.point;
    if (stale.captureDropped)
        say(message(QT_TRANSLATE_NOOP("procedure", "point %1 of %2: the reference has answered %3 for %4 s during the capture: "
                                                   "stale; the capture is dropped and the point judged again."))
                .arg(p.index).arg(p.count).arg(stale.reading, 0, 'g', 12).arg(stale.seconds));
    else
        say(message(QT_TRANSLATE_NOOP("procedure", "point %1 of %2: the reference has answered %3 for the whole window: stale, not stable."))
                .arg(p.index).arg(p.count).arg(stale.reading, 0, 'g', 12));
}

void RunConsole::deviation(const procedure::RunDeviation &deviation)
{
    const procedure::PointRef &p = deviation.point;
    switch (deviation.kind) {
    case procedure::RunDeviation::Kind::ExpiredReference:
        say(message(QT_TRANSLATE_NOOP("procedure", "the reference's certificate %1 was due on %2; going on as %3 allowed (%4), and the "
                                                   "certificate says so"))
                .arg(deviation.certificate, deviation.due.toString(Qt::ISODate), deviation.user, deviation.reason));
        return;
    case procedure::RunDeviation::Kind::CapturedEarly:
        say(message(QT_TRANSLATE_NOOP("procedure", "point %1 of %2: captured before it was stable, as the operator asked: %3"))
                .arg(p.index).arg(p.count).arg(deviation.reason));
        return;
    case procedure::RunDeviation::Kind::Skipped:
        say(message(QT_TRANSLATE_NOOP("procedure", "point %1 of %2 (%3 %4, as left) skipped by the operator: %5"))
                .arg(p.index).arg(p.count).arg(p.nominal).arg(procedure::pointUnit(m_procedure.kind)).arg(deviation.reason));
        return;
    }
}

void RunConsole::captured(const procedure::PointRef &p)
{
    say(message(QT_TRANSLATE_NOOP("procedure", "point %1 of %2 (%3 %4, %5) captured.")).arg(p.index).arg(p.count).arg(p.nominal)
            .arg(procedure::pointUnit(m_procedure.kind), phaseName(p.phase)));
}

void RunConsole::fitReady(const procedure::FitReady &fit)
{
    const analysis::Analysis &analysed = *fit.analysis;
    const bool adc = m_procedure.kind == procedure::Kind::Adc;
    // Each change is stated to the last digit of its point's U, in the unit the smallest U needs.
    const stating::Unit stated = stating::unitFor(m_procedure.kind, fit.changes.uncertainties());
    say((adc ? message(QT_TRANSLATE_NOOP("procedure", "nominal, reference, found, with the new constants, change (%1):"))
             : message(QT_TRANSLATE_NOOP("procedure", "nominal, reference, found, with the new table, change (%1):")))
            .arg(stated.symbol));
    for (const analysis::Change &row : fit.changes.rows)
        say(QStringLiteral("  %1  %2  %3  %4  %5").arg(row.nominal).arg(value(row.reference, 6), value(row.found, 6),
                                                        value(row.predicted, 6), stating::value(row.change, row.expanded, stated)));
    const analysis::Change largest = fit.changes.rows.value(fit.changes.largest);
    const QString largestStated = stating::value(std::fabs(largest.change), largest.expanded, stated);
    if (adc)
        say(message(QT_TRANSLATE_NOOP("procedure", "new ADC slope %1 V per count, intercept %2 V; largest change %3 %4."))
                .arg(analysed.adc.slope, 0, 'g', 9).arg(analysed.adc.intercept, 0, 'g', 9).arg(largestStated, stated.symbol));
    else
        say(message(QT_TRANSLATE_NOOP("procedure", "new table from %1 K to %2 K (calibrated %3 K to %4 K); largest change %5 %7; table interpolation within %6 mK."))
                .arg(analysed.sensor.table.first().second).arg(analysed.sensor.table.last().second)
                .arg(analysed.sensor.low).arg(analysed.sensor.high).arg(largestStated, value(analysed.sensor.interpolationMk, 3), stated.symbol));

    if (!adc)
        say(message(QT_TRANSLATE_NOOP("procedure", "beyond the calibrated range (held from %1 K and %2 K): readings change by up to "
                                                   "%3 mK below it and %4 mK above it, %5 mK away from the change at the outer points."))
                .arg(analysed.sensor.holdLow).arg(analysed.sensor.holdHigh)
                .arg(value(analysed.sensor.changeBelowMk, 1), value(analysed.sensor.changeAboveMk, 1), value(analysed.sensor.departureMk, 1)));
    if (analysed.rangeEstablished) {
        const stating::Unit rangeUnit = stating::unitFor(m_procedure.kind, {analysed.range.expanded});
        say(message(QT_TRANSLATE_NOOP("procedure", "between the points: U = %1 %2 (k = %3) over the calibrated range, with the fit's "
                                                   "standard error (%4 degrees of freedom)."))
                .arg(stating::uncertainty(analysed.range.expanded, rangeUnit), rangeUnit.symbol, value(analysed.range.k, 2))
                .arg(adc ? analysed.adc.dof : analysed.sensor.dof));
    } else {
        say(message(QT_TRANSLATE_NOOP("procedure", "between the points the uncertainty is not established: the fit has no degree of "
                                                   "freedom left (as many coefficients as points).")));
    }
}

void RunConsole::backedUp(const QString &path)
{
    say(message(QT_TRANSLATE_NOOP("procedure", "backup of the instrument's set: %1")).arg(QDir::toNativeSeparators(path)));
}

void RunConsole::written(const QString &outcome)
{
    say(outcome + QLatin1Char('.'));
}

std::optional<QString> RunConsole::ask(const procedure::Question &question)
{
    if (question.kind == procedure::Question::Kind::SetPoint) {
        const procedure::PointRef &p = question.point;
        const QString what = m_procedure.kind == procedure::Kind::Adc ? message(QT_TRANSLATE_NOOP("procedure", "apply %1 V at the sensor input"))
                                                                      : message(QT_TRANSLATE_NOOP("procedure", "set the bath to %1 K"));
        err(message(QT_TRANSLATE_NOOP("procedure", "point %1 of %2: %3, then press Enter")).arg(p.index).arg(p.count).arg(what.arg(p.nominal)));
    } else {
        if (!question.notANumber.isEmpty())
            say(message(QT_TRANSLATE_NOOP("procedure", "'%1' holds no number; type the reference's reading.")).arg(question.notANumber));
        err(message(QT_TRANSLATE_NOOP("procedure", "reference reading in %1: ")).arg(question.unit));
    }
    m_sinceStatus.invalidate();
    return readAnswer(m_stop);
}

} // namespace cli
