#pragma once

#include "analysis.h"

#include <QColor>
#include <QString>
#include <QStringList>

class QLabel;
class QPushButton;
class QTableWidget;
class QWidget;

// What the window's pages share: how a table, a button and a number look.
namespace pagetools {

constexpr double MillisPerUnit = 1000.0; // mK per K, mV per V

extern const QString ProblemStyle;

// `value` to `decimals` places, or "-" when there is none.
QString fixed(double value, int decimals);
QString phaseName(analysis::Phase phase);
// A read-only table of whole rows, its columns fitted to their contents.
QTableWidget *table(QWidget *parent, const QStringList &header, const QString &name);
// A row, its first cell to the left and the numbers to the right, on `colour` when valid.
void addRow(QTableWidget *widget, const QStringList &cells, const QColor &colour = QColor());
QPushButton *button(const QString &text, const QString &name, QWidget *parent);
// A label for a result the operator may copy.
QLabel *resultLabel(const QString &name, QWidget *parent);

} // namespace pagetools
