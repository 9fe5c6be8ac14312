#pragma once

#include "benchworker.h"

#include <QWidget>

#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace pages {

// The checks step: where the instrument and the record are, each device's answer, and the
// reference's certificate; an expired one stops the run here unless the operator overrides
// it with a reason.
class ChecksPage : public QWidget
{
    Q_OBJECT

public:
    explicit ChecksPage(const QString &port, QWidget *parent = nullptr);

    QString port() const;
    QString recordPath() const;
    void setRecordPath(const QString &path);
    // The options of a run as this page sets them: its record (never one that exists, but
    // for a resumed run's own `resumedPath`), the write, an expired reference's override.
    // Nothing, with why in `refusal`, when the record cannot be written.
    std::optional<procedure::RunOptions> runOptions(bool resume, const QString &resumedPath, bool write, QString *refusal) const;

    // The checks of `procedure` begin: every answer pending, the reference's due date judged.
    void checking(const procedure::Procedure &procedure);
    // Shows the answers; true when every device answered.
    bool showChecks(const BenchCheck &check);
    // Start is offered once the checks passed, nothing else runs and an expired reference is
    // overridden; it names a resume when `resume`.
    void setState(bool passed, bool busy, bool resume);
    // The reference's identity and reading, as the checks and the procedure's test show them.
    static QString referenceText(const BenchCheck &check);

signals:
    void backAsked();
    void checkAsked();
    void startAsked();

private:
    void updateStart();

    QLineEdit *m_port;
    QLineEdit *m_record;
    QLabel *m_instrument;
    QLabel *m_reference;
    QLabel *m_source;
    QLabel *m_due;
    QCheckBox *m_allowExpired;
    QLineEdit *m_expiredReason;
    QPushButton *m_checkAgain;
    QPushButton *m_start;
    bool m_expired = false;
    bool m_passed = false;
    bool m_busy = false;
};

} // namespace pages
