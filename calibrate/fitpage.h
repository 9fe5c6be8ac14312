#pragma once

#include "analysis.h"
#include "record.h"
#include "stating.h"

#include <QDir>
#include <QStringList>
#include <QVector>
#include <QWidget>

class PlotView;
class QLabel;
class QPushButton;
class QTableWidget;

namespace pages {

// The fit step: what the fit found and what the proposed set would change, over the range
// and at the points, with the write and the way past it.
class FitPage : public QWidget
{
    Q_OBJECT

public:
    explicit FitPage(QWidget *parent = nullptr);

    // The fit of the complete as-found `record`, analysed.
    void showFit(const procedure::Procedure &procedure, const record::Record &record, const analysis::Analysis &analysed);
    // Write and finish while nothing runs; the write only for a record not yet written.
    void setState(bool offered, bool writable);
    // Asks the operator to write `proposed` over `found`, the backup going into `directory`.
    bool confirmWrite(const device::DeviceSet &found, const device::DeviceSet &proposed, const QDir &directory);

signals:
    void finishAsked();
    void writeAsked();

private:
    // The table's rows: each as-found point's fit (offset, residual), its error as found and with
    // the new set, and the change between them, as the analysis gives them.
    static QVector<QStringList> changeRows(const procedure::Procedure &procedure, const analysis::Analysis &analysed,
                                           const analysis::Changes &changes, const stating::Unit &stated);
    // Each draws its kind's plots and returns the summary, which names the largest change at
    // the points (`largest`, in `symbol`).
    QString plotAdc(const record::Record &record, const analysis::Analysis &analysed, const QString &largest, const QString &symbol);
    QString plotSensor(const procedure::Procedure &procedure, const record::Record &record, const analysis::Analysis &analysed,
                       const QString &largest, const QString &symbol);

    QLabel *m_summary;
    PlotView *m_fitPlot;
    PlotView *m_changePlot;
    PlotView *m_interpolationPlot;
    QTableWidget *m_table;
    QPushButton *m_finish;
    QPushButton *m_write;
};

} // namespace pages
