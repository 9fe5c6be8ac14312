#pragma once

#include <QHash>
#include <QJsonObject>
#include <QWidget>

#include <optional>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

// The procedure file as a form: every member of the file has its field, the points and the
// extra uncertainty components are editable tables. What the form holds goes through the
// procedure library's own reading, so the window accepts exactly what the command does;
// a field whose text is not a number, or whose member the library refuses, is marked.
class ProcedureForm : public QWidget
{
    Q_OBJECT

public:
    explicit ProcedureForm(QWidget *parent = nullptr);

    // Fills the form from a procedure file's object; members the form does not show are kept.
    void setProcedure(const QJsonObject &object);
    // The procedure file's object, or nothing with the problem in `error` and its field marked.
    std::optional<QJsonObject> procedure(QString *error);

signals:
    // "Test" on the reference: the window checks the reference as the form describes it.
    void testReference();

public slots:
    void showReferenceTest(const QString &text, bool ok);

private:
    QLineEdit *line(const QString &member, const QString &name);
    void addPointRow(const QString &value, bool asLeft);
    void addComponentRow(const QString &name, const QString &value, const QString &distribution, const QString &k);
    void mark(QWidget *field, const QString &problem);
    void clearMarks();
    // The field that shows `member` (a path such as "stability.window" or "uncertainty[2].k").
    QWidget *fieldOf(const QString &member) const;

    QHash<QString, QWidget *> m_fields; // by the member's path in the file: "reference.drift"
    QComboBox *m_kind;
    QTableWidget *m_points;
    QLineEdit *m_referencePort;
    QLineEdit *m_query;
    QComboBox *m_unit;
    QCheckBox *m_identify;
    QLabel *m_referenceTest;
    QDateEdit *m_due;
    QGroupBox *m_source;
    QComboBox *m_rule;
    QTableWidget *m_components;
    QList<QWidget *> m_marked;
};
