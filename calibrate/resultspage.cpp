#include "resultspage.h"

#include "pagetools.h"
#include "stating.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cmath>

namespace pages {

namespace {

const QColor PassColour(0xc8, 0xf0, 0xc8);
const QColor FailColour(0xf8, 0xc0, 0xc0);
const QColor ConditionalColour(0xf8, 0xe8, 0xa8);

} // namespace

using pagetools::addRow;
using pagetools::fixed;

ResultsPage::ResultsPage(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QHBoxLayout(this);
    auto *left = new QVBoxLayout;
    m_results = pagetools::table(this, {tr("Phase"), tr("Nominal"), tr("Reference"), tr("Instrument"), tr("Error"), tr("U (k)"),
                                        tr("Tolerance"), tr("Decision")},
                                 QStringLiteral("twResults"));
    left->addWidget(m_results, 1);
    left->addWidget(new QLabel(tr("Uncertainty budget of the selected point:"), this));
    m_budget = pagetools::table(this, {tr("Component"), tr("Type"), tr("Distribution"), tr("Value"), tr("Divisor"), tr("Sensitivity"),
                                       tr("Standard uncertainty"), tr("Degrees of freedom")},
                                QStringLiteral("twBudget"));
    left->addWidget(m_budget, 1);
    auto *buttons = new QHBoxLayout;
    m_saveCertificate = pagetools::button(tr("Save &certificate..."), QStringLiteral("pbSaveCertificate"), this);
    m_saveRecord = pagetools::button(tr("Save &record..."), QStringLiteral("pbSaveRecord"), this);
    buttons->addWidget(m_saveCertificate);
    buttons->addWidget(m_saveRecord);
    buttons->addStretch();
    left->addLayout(buttons);
    layout->addLayout(left, 1);
    auto *scroll = new QScrollArea(this);
    m_preview = new QLabel(tr("The certificate's first page is drawn..."), scroll);
    m_preview->setObjectName(QStringLiteral("lbPreview"));
    m_preview->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    scroll->setWidget(m_preview);
    scroll->setWidgetResizable(true);
    scroll->setMinimumWidth(PreviewWidth + 2 * scroll->frameWidth() + scroll->verticalScrollBar()->sizeHint().width());
    layout->addWidget(scroll, 0);
    connect(m_results, &QTableWidget::itemSelectionChanged, this, &ResultsPage::showBudget);
    connect(m_saveCertificate, &QPushButton::clicked, this, [this] {
        const QString suggested = QFileInfo(m_recordPath).dir().filePath(m_procedure->certificate.number + QStringLiteral(".pdf"));
        const QString path = QFileDialog::getSaveFileName(this, tr("Save the certificate"), suggested, tr("PDF (*.pdf)"));
        if (!path.isEmpty())
            emit saveCertificateAsked(path);
    });
    connect(m_saveRecord, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, tr("Save the record"), m_recordPath, tr("Records (*.json)"));
        if (!path.isEmpty())
            emit saveRecordAsked(path);
    });
}

void ResultsPage::setState(bool offered)
{
    m_saveCertificate->setEnabled(offered);
    m_saveRecord->setEnabled(offered);
}

void ResultsPage::setPreview(const QImage &preview)
{
    if (!preview.isNull())
        m_preview->setPixmap(QPixmap::fromImage(preview));
}

void ResultsPage::showResults(const procedure::Procedure &p, const analysis::Analysis &analysed, const QString &recordPath)
{
    m_procedure = p;
    m_recordPath = recordPath;
    m_analysis = analysed;
    const QString unit = procedure::pointUnit(p.kind);
    const int decimals = procedure::readingDecimals(p.kind);
    QVector<double> expanded;
    for (const analysis::PointResult &point : analysed.points)
        expanded.append(point.budget.expanded);
    const stating::Unit stated = stating::unitFor(p.kind, expanded);
    m_results->setHorizontalHeaderLabels({tr("Phase"), tr("Nominal"), tr("Reference"), tr("Instrument"), tr("Error (%1)").arg(stated.symbol),
                                          tr("U (%1) (k)").arg(stated.symbol), tr("Tolerance (%1)").arg(stated.symbol), tr("Decision")});
    m_results->setRowCount(0);
    for (const analysis::PointResult &point : analysed.points) {
        const QColor colour = point.decision == analysis::Decision::Pass   ? PassColour
                            : point.decision == analysis::Decision::Fail   ? FailColour
                                                                            : ConditionalColour;
        const double u = point.budget.expanded;
        addRow(m_results,
               {pagetools::phaseName(point.phase), QStringLiteral("%1 %2").arg(point.nominal).arg(unit), fixed(point.reference, decimals),
                fixed(point.instrument, decimals), stating::value(point.error, u, stated),
                tr("%1 (k=%2)").arg(stating::uncertainty(u, stated), fixed(point.budget.k, 2)), stating::limit(p.tolerance, u, stated),
                analysis::decisionText(point.decision)},
               colour);
    }
    m_budget->setRowCount(0);
    m_preview->setText(tr("The certificate's first page is drawn..."));
    if (m_results->rowCount() > 0)
        m_results->selectRow(0);
}

void ResultsPage::showBudget()
{
    m_budget->setRowCount(0);
    const int row = m_results->currentRow();
    if (!m_procedure || row < 0 || row >= m_analysis.points.size())
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

} // namespace pages
