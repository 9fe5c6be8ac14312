#include "fitpage.h"

#include "pagetools.h"
#include "plotviews.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cmath>
#include <limits>

namespace pages {

namespace {

constexpr int FittedCurvePoints = 200;
constexpr int ShownDifferences = 4;

QVector<curveplot::Point> tableOf(const device::DeviceSet &set)
{
    return device::toCalibrationSet(set).table;
}

} // namespace

using pagetools::MillisPerUnit;
using pagetools::fixed;

FitPage::FitPage(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    m_summary = pagetools::resultLabel(QStringLiteral("lbFitSummary"), this);
    layout->addWidget(m_summary);
    auto *plots = new QHBoxLayout;
    m_fitPlot = new PlotView(this);
    m_changePlot = new PlotView(this);
    m_interpolationPlot = new PlotView(this);
    plots->addWidget(m_fitPlot);
    plots->addWidget(m_changePlot);
    plots->addWidget(m_interpolationPlot);
    layout->addLayout(plots, 2);
    m_table = pagetools::table(this, {}, QStringLiteral("twFit"));
    layout->addWidget(m_table, 1);
    auto *buttons = new QHBoxLayout;
    m_finish = pagetools::button(tr("&Finish without writing"), QStringLiteral("pbFinish"), this);
    m_write = pagetools::button(tr("&Write to instrument..."), QStringLiteral("pbWrite"), this);
    buttons->addStretch();
    buttons->addWidget(m_finish);
    buttons->addWidget(m_write);
    layout->addLayout(buttons);
    connect(m_finish, &QPushButton::clicked, this, &FitPage::finishAsked);
    connect(m_write, &QPushButton::clicked, this, &FitPage::writeAsked);
}

void FitPage::setState(bool offered, bool writable)
{
    m_finish->setEnabled(offered);
    m_write->setEnabled(offered && writable);
}

bool FitPage::confirmWrite(const device::DeviceSet &found, const device::DeviceSet &proposed, const QDir &directory)
{
    const QVector<device::Difference> changes = device::compare(found, proposed);
    QStringList named;
    for (const device::Difference &change : changes.mid(0, ShownDifferences))
        named << tr("%1: %2 -> %3").arg(change.name()).arg(double(change.first)).arg(double(change.second));
    if (changes.size() > ShownDifferences)
        named << tr("and %1 more").arg(changes.size() - ShownDifferences);
    const QString backup = QDir::toNativeSeparators(directory.filePath(QStringLiteral("thermocal-backup-<UTC time>.json")));
    const QString text = tr("%1 values change:\n%2\n\nThe instrument's present set is backed up first, to\n%3\nthen the new set "
                            "is written, read back, and committed to EEPROM only when it reads back whole. Then the "
                            "as-left points are measured.\n\nWrite to the instrument?")
                             .arg(changes.size()).arg(named.join(QLatin1Char('\n')), backup);
    return QMessageBox::question(this, tr("Write to instrument"), text, QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel)
        == QMessageBox::Yes;
}

QVector<QStringList> FitPage::changeRows(const procedure::Procedure &p, const analysis::Analysis &analysed,
                                         const analysis::Changes &changes, const stating::Unit &stated)
{
    const bool adc = p.kind == procedure::Kind::Adc;
    QVector<QStringList> rows;
    for (int index = 0; index < changes.rows.size(); ++index) {
        const analysis::Change &row = changes.rows.at(index);
        const double u = row.expanded;
        const double residual = (adc ? analysed.adc.residuals : analysed.sensor.residuals).value(index) * MillisPerUnit;
        // The ADC's offset is its error, stated as such; the sensor's is a voltage the fit found.
        const QString offset = adc ? stating::value(row.errorFound, u, stated) : fixed(analysed.sensor.offsets.value(index) * MillisPerUnit, 4);
        rows.append({QString::number(row.nominal), fixed(row.reference, 6), offset, fixed(residual, 4), stating::value(row.errorFound, u, stated),
                     stating::value(row.errorPredicted, u, stated), stating::value(row.change, u, stated)});
    }
    return rows;
}

void FitPage::showFit(const procedure::Procedure &p, const record::Record &record, const analysis::Analysis &analysed)
{
    const bool adc = p.kind == procedure::Kind::Adc;
    const analysis::Changes changes = analysis::changesAtPoints(p, analysed);
    // Errors and changes are stated to their point's U, in the unit the smallest U needs.
    const stating::Unit stated = stating::unitFor(p.kind, changes.uncertainties());
    m_table->clear();
    m_table->setRowCount(0);
    m_table->setColumnCount(7);
    m_table->setHorizontalHeaderLabels({tr("Nominal"), tr("Reference"), adc ? tr("Error (%1)").arg(stated.symbol) : tr("Offset (mV)"),
                                        tr("Residual (mV)"), tr("Error found (%1)").arg(stated.symbol),
                                        tr("Error with the new set (%1)").arg(stated.symbol), tr("Change (%1)").arg(stated.symbol)});
    for (const QStringList &row : changeRows(p, analysed, changes, stated))
        pagetools::addRow(m_table, row);
    const analysis::Change largestRow = changes.rows.value(changes.largest);
    const QString largest = stating::value(std::fabs(largestRow.change), largestRow.expanded, stated);
    m_summary->setText(adc ? plotAdc(record, analysed, largest, stated.symbol)
                           : plotSensor(p, record, analysed, largest, stated.symbol));
}

QString FitPage::plotAdc(const record::Record &record, const analysis::Analysis &analysed, const QString &largest,
                         const QString &symbol)
{
    curveplot::Series residuals{tr("residual"), {}, true, {}};
    for (int i = 0; i < analysed.adc.residuals.size(); ++i)
        residuals.points.append({analysed.adc.residuals.at(i) * MillisPerUnit, analysed.points.value(i).reference});
    residuals.bars = QVector<double>(residuals.points.size(), 0.0);
    m_fitPlot->setPlot({residuals}, curveplot::Mode::Errors, {tr("Reference voltage (V)"), tr("Residual of the line (mV)")});
    m_changePlot->hide();
    m_interpolationPlot->hide();
    return tr("ADC slope %1 -> %2 V per count, intercept %3 -> %4 V; the largest change at the points is %5 %6.")
        .arg(double(record.asFound.adcSlope), 0, 'g', 9).arg(analysed.adc.slope, 0, 'g', 9)
        .arg(double(record.asFound.adcIntercept), 0, 'g', 9).arg(analysed.adc.intercept, 0, 'g', 9)
        .arg(largest, symbol);
}

QString FitPage::plotSensor(const procedure::Procedure &p, const record::Record &record, const analysis::Analysis &analysed,
                            const QString &largestAtPoints, const QString &symbol)
{
    const fit::SensorFit &sensor = analysed.sensor;
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
    const QVector<curveplot::Point> proposed = tableOf(analysed.proposed);
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
    return tr("The new table changes readings by up to %1 mK (at %2 K); at the points by up to %3 %7. Calibrated "
              "range %4 K to %5 K; the 100-row table (%8) follows the fit within %6 mK.")
        .arg(fixed(largest, 2), fixed(at, 2), largestAtPoints, fixed(sensor.low, 2), fixed(sensor.high, 2),
             fixed(sensor.interpolationMk, 3), symbol,
             procedure::tableSpacing(p) == tablespacing::Spacing::Curvature ? tr("rows placed by curvature") : tr("geometric rows"));
}

} // namespace pages
