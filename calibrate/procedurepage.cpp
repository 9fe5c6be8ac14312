#include "procedurepage.h"

#include "pagetools.h"
#include "procedureform.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace pages {

ProcedurePage::ProcedurePage(QWidget *parent)
    : QWidget(parent)
    , m_scroll(new QScrollArea(this))
{
    auto *layout = new QVBoxLayout(this);
    m_form = new ProcedureForm(m_scroll);
    m_scroll->setWidget(m_form);
    m_scroll->setWidgetResizable(true);
    layout->addWidget(m_scroll, 1);
    auto *buttons = new QHBoxLayout;
    m_open = pagetools::button(tr("&Open..."), QStringLiteral("pbOpen"), this);
    m_open->setShortcut(QKeySequence::Open);
    m_save = pagetools::button(tr("Sa&ve..."), QStringLiteral("pbSaveProcedure"), this);
    m_save->setShortcut(QKeySequence::Save);
    m_next = pagetools::button(tr("&Next: checks"), QStringLiteral("pbToChecks"), this);
    buttons->addWidget(m_open);
    buttons->addWidget(m_save);
    buttons->addStretch();
    buttons->addWidget(m_next);
    layout->addLayout(buttons);
    connect(m_open, &QPushButton::clicked, this, &ProcedurePage::open);
    connect(m_save, &QPushButton::clicked, this, &ProcedurePage::save);
    connect(m_next, &QPushButton::clicked, this, &ProcedurePage::nextAsked);
    connect(m_form, &ProcedureForm::testReference, this, [this] {
        QString error;
        const std::optional<QJsonObject> object = m_form->procedure(&error);
        const procedure::Parsed parsed = object ? procedure::parse(*object) : procedure::Parsed{};
        if (parsed.procedure)
            emit testAsked(*parsed.procedure);
        else
            m_form->showReferenceTest(error, false);
    });
}

void ProcedurePage::open()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open a procedure or a record"), QString(),
                                                      tr("Procedures and records (*.json);;All files (*)"));
    if (!path.isEmpty())
        emit openAsked(path);
}

void ProcedurePage::save()
{
    QString error;
    const std::optional<QJsonObject> object = m_form->procedure(&error);
    if (!object) {
        emit problem(error);
        return;
    }
    const QString path = QFileDialog::getSaveFileName(this, tr("Save the procedure"), QString(), tr("Procedures (*.json)"));
    if (!path.isEmpty())
        emit saveAsked(path, *object);
}

void ProcedurePage::showOpened(const OpenedFile &file)
{
    m_form->setProcedure(file.isRecord ? file.object.value(QStringLiteral("procedure")).toObject() : file.object);
    m_form->setEnabled(!file.isRecord);
}

bool ProcedurePage::resuming() const
{
    return !m_form->isEnabledTo(m_scroll);
}

void ProcedurePage::setState(bool running, bool busy)
{
    m_scroll->setEnabled(!running);
    for (QPushButton *button : {m_open, m_save, m_next})
        button->setEnabled(!busy);
}

} // namespace pages
