#pragma once

#include "benchworker.h"

#include <QJsonObject>
#include <QWidget>

class ProcedureForm;
class QPushButton;
class QScrollArea;

namespace pages {

// The procedure step: the file as a form, with Open, Save and Next. The window does what the
// buttons ask; the page only holds the form.
class ProcedurePage : public QWidget
{
    Q_OBJECT

public:
    explicit ProcedurePage(QWidget *parent = nullptr);

    ProcedureForm *form() const { return m_form; }
    // The form holds what was opened. A record opened to resume keeps the procedure it was
    // started with: the form is locked.
    void showOpened(const OpenedFile &file);
    bool resuming() const;
    // No editing while a run goes; no file opened or saved while any job goes.
    void setState(bool running, bool busy);

signals:
    // The operator chose a file to open, or where to save the form's procedure.
    void openAsked(const QString &path);
    void saveAsked(const QString &path, const QJsonObject &procedure);
    void nextAsked();
    // "Test" on the reference, for the procedure the form holds.
    void testAsked(const procedure::Procedure &procedure);
    void problem(const QString &text);

private:
    void open();
    void save();

    ProcedureForm *m_form;
    QScrollArea *m_scroll;
    QPushButton *m_open;
    QPushButton *m_save;
    QPushButton *m_next;
};

} // namespace pages
