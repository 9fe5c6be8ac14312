#pragma once

#include "analysis.h"
#include "procedurefile.h"

#include <QImage>
#include <QWidget>

#include <optional>

class QLabel;
class QPushButton;
class QTableWidget;

namespace pages {

// The results step: each point's decision with its uncertainty, the budget of the selected
// point, the certificate's first page, and the certificate and the record saved.
class ResultsPage : public QWidget
{
    Q_OBJECT

public:
    // How wide the certificate's first page is drawn.
    static constexpr int PreviewWidth = 420;

    explicit ResultsPage(QWidget *parent = nullptr);

    // The results of `analysed`, whose record is at `recordPath`; the preview waits for its
    // picture.
    void showResults(const procedure::Procedure &procedure, const analysis::Analysis &analysed, const QString &recordPath);
    void setPreview(const QImage &preview);
    // Saving offered while nothing runs.
    void setState(bool offered);

signals:
    // Where the operator chose to save the certificate's PDF, and the record.
    void saveCertificateAsked(const QString &path);
    void saveRecordAsked(const QString &path);

private:
    void showBudget();

    std::optional<procedure::Procedure> m_procedure;
    analysis::Analysis m_analysis;
    QString m_recordPath;
    QTableWidget *m_results;
    QTableWidget *m_budget;
    QLabel *m_preview;
    QPushButton *m_saveCertificate;
    QPushButton *m_saveRecord;
};

} // namespace pages
