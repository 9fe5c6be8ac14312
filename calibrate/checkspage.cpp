#include "checkspage.h"

#include "pagetools.h"
#include "sendset.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace pages {

using pagetools::ProblemStyle;

ChecksPage::ChecksPage(const QString &port, QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    m_port = new QLineEdit(port, this);
    m_port->setObjectName(QStringLiteral("lePort"));
    m_port->setPlaceholderText(tr("the only instrument connected"));
    form->addRow(tr("Instrument &port:"), m_port);
    auto *recordRow = new QHBoxLayout;
    m_record = new QLineEdit(this);
    m_record->setObjectName(QStringLiteral("leRecord"));
    recordRow->addWidget(m_record);
    auto *browse = pagetools::button(tr("&Browse..."), QStringLiteral("pbBrowseRecord"), this);
    recordRow->addWidget(browse);
    auto *recordLabel = new QLabel(tr("&Record:"), this);
    recordLabel->setBuddy(m_record);
    form->addRow(recordLabel, recordRow);
    // Only a name is chosen here; the run writes the file.
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, tr("The run's record"), m_record->text(), tr("Records (*.json)"));
        if (!path.isEmpty())
            m_record->setText(path);
    });
    m_instrument = pagetools::resultLabel(QStringLiteral("lbInstrument"), this);
    m_reference = pagetools::resultLabel(QStringLiteral("lbReference"), this);
    m_source = pagetools::resultLabel(QStringLiteral("lbSource"), this);
    m_due = pagetools::resultLabel(QStringLiteral("lbDue"), this);
    form->addRow(tr("Instrument:"), m_instrument);
    form->addRow(tr("Reference:"), m_reference);
    form->addRow(tr("Source:"), m_source);
    form->addRow(tr("Reference certificate:"), m_due);
    m_allowExpired = new QCheckBox(tr("Run with the &expired reference; the certificate will say so"), this);
    m_allowExpired->setObjectName(QStringLiteral("cbAllowExpired"));
    m_allowExpired->hide();
    form->addRow(QString(), m_allowExpired);
    m_expiredReason = new QLineEdit(this);
    m_expiredReason->setObjectName(QStringLiteral("leExpiredReason"));
    m_expiredReason->setPlaceholderText(tr("Why, for the record and the certificate"));
    m_expiredReason->hide();
    form->addRow(QString(), m_expiredReason);
    connect(m_allowExpired, &QCheckBox::toggled, this, [this](bool allowed) {
        m_expiredReason->setVisible(allowed);
        updateStart();
    });
    connect(m_expiredReason, &QLineEdit::textChanged, this, &ChecksPage::updateStart);
    layout->addLayout(form);
    layout->addStretch();
    auto *buttons = new QHBoxLayout;
    auto *back = pagetools::button(tr("Bac&k: procedure"), QStringLiteral("pbToProcedure"), this);
    m_checkAgain = pagetools::button(tr("&Check again"), QStringLiteral("pbCheckAgain"), this);
    m_start = pagetools::button(tr("&Start: as found"), QStringLiteral("pbStart"), this);
    buttons->addWidget(back);
    buttons->addStretch();
    buttons->addWidget(m_checkAgain);
    buttons->addWidget(m_start);
    layout->addLayout(buttons);
    connect(back, &QPushButton::clicked, this, &ChecksPage::backAsked);
    connect(m_checkAgain, &QPushButton::clicked, this, &ChecksPage::checkAsked);
    connect(m_start, &QPushButton::clicked, this, &ChecksPage::startAsked);
}

QString ChecksPage::port() const
{
    return m_port->text().trimmed();
}

QString ChecksPage::recordPath() const
{
    return m_record->text();
}

void ChecksPage::setRecordPath(const QString &path)
{
    m_record->setText(path);
}

std::optional<procedure::RunOptions> ChecksPage::runOptions(bool resume, const QString &resumedPath, bool write, QString *refusal) const
{
    procedure::RunOptions options;
    options.recordPath = m_record->text().trimmed();
    if (options.recordPath.isEmpty()) {
        *refusal = tr("Name the record first.");
        return std::nullopt;
    }
    // A record is the evidence of a calibration: a new run never replaces one, nor does a
    // resumed run replace any file but its own record.
    const bool elsewhere = resume && QFileInfo(options.recordPath).absoluteFilePath() != QFileInfo(resumedPath).absoluteFilePath();
    if ((!resume || elsewhere) && QFileInfo::exists(options.recordPath)) {
        *refusal = tr("The record %1 exists already; open it to go on with its run, or name another.")
                       .arg(QDir::toNativeSeparators(options.recordPath));
        return std::nullopt;
    }
    options.write = write;
    if (write)
        options.backupPath = QFileInfo(options.recordPath).dir().filePath(sendset::defaultBackupName());
    if (m_allowExpired->isChecked())
        options.expiredReferenceReason = m_expiredReason->text().trimmed();
    options.software = QStringLiteral("%1 %2").arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion()).trimmed();
    options.today = QDate::currentDate();
    return options;
}

void ChecksPage::checking(const procedure::Procedure &procedure)
{
    for (QLabel *label : {m_instrument, m_reference, m_source}) {
        label->setStyleSheet(QString());
        label->setText(tr("checking..."));
    }
    const procedure::ReferenceCertificate &certificate = procedure.reference.certificate;
    m_expired = certificate.due < QDate::currentDate();
    m_due->setStyleSheet(m_expired ? ProblemStyle : QString());
    m_due->setText(m_expired ? tr("%1 was due on %2: it has expired. Recalibrate the reference, or run with it "
                                  "and the certificate will say so.")
                                   .arg(certificate.number, certificate.due.toString(Qt::ISODate))
                             : tr("%1, due on %2.").arg(certificate.number, certificate.due.toString(Qt::ISODate)));
    m_allowExpired->setVisible(m_expired);
    if (!m_expired)
        m_allowExpired->setChecked(false);
    m_expiredReason->setVisible(m_expired && m_allowExpired->isChecked());
}

bool ChecksPage::showChecks(const BenchCheck &check)
{
    const auto show = [](QLabel *label, const QString &good, const QString &error) {
        label->setStyleSheet(error.isEmpty() ? QString() : ProblemStyle);
        label->setText(error.isEmpty() ? good : error);
    };
    show(m_instrument,
         tr("%1, USB serial number %2; reads %3").arg(check.instrumentPort, check.serialNumber.isEmpty() ? tr("unknown") : check.serialNumber,
                                                      check.instrumentReading),
         check.instrumentError);
    show(m_reference, referenceText(check), check.referenceError);
    if (check.checkedSource)
        show(m_source, check.sourceIdn.isEmpty() ? tr("answers") : check.sourceIdn, check.sourceError);
    else
        m_source->setText(tr("none: the run asks you to set each point"));
    return check.instrumentError.isEmpty() && check.referenceError.isEmpty() && check.sourceError.isEmpty();
}

QString ChecksPage::referenceText(const BenchCheck &check)
{
    return tr("%1; reads %2").arg(check.referenceIdn.isEmpty() ? tr("(no identity)") : check.referenceIdn,
                                  check.referenceReading.isEmpty() ? tr("nothing") : check.referenceReading);
}

void ChecksPage::setState(bool passed, bool busy, bool resume)
{
    m_passed = passed;
    m_busy = busy;
    m_start->setText(resume ? tr("&Start: resume the run") : tr("&Start: as found"));
    updateStart();
}

void ChecksPage::updateStart()
{
    const bool allowed = m_allowExpired->isChecked() && !m_expiredReason->text().trimmed().isEmpty();
    m_start->setEnabled(m_passed && !m_busy && (!m_expired || allowed));
    m_checkAgain->setEnabled(!m_busy);
}

} // namespace pages
