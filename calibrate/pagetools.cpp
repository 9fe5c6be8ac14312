#include "pagetools.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>

#include <cmath>

namespace pagetools {

const QString ProblemStyle = QStringLiteral("color: #b00000;");

QString fixed(double value, int decimals)
{
    return std::isfinite(value) ? QString::number(value, 'f', decimals) : QStringLiteral("-");
}

QString phaseName(analysis::Phase phase)
{
    return phase == analysis::Phase::AsLeft ? QCoreApplication::translate("CalibrateWindow", "as left")
                                            : QCoreApplication::translate("CalibrateWindow", "as found");
}

QTableWidget *table(QWidget *parent, const QStringList &header, const QString &name)
{
    auto *widget = new QTableWidget(0, header.size(), parent);
    widget->setObjectName(name);
    widget->setHorizontalHeaderLabels(header);
    widget->setEditTriggers(QAbstractItemView::NoEditTriggers);
    widget->setSelectionBehavior(QAbstractItemView::SelectRows);
    widget->setSelectionMode(QAbstractItemView::SingleSelection);
    widget->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    widget->horizontalHeader()->setStretchLastSection(true);
    widget->verticalHeader()->hide();
    return widget;
}

void addRow(QTableWidget *widget, const QStringList &cells, const QColor &colour)
{
    const int row = widget->rowCount();
    widget->insertRow(row);
    for (int column = 0; column < cells.size(); ++column) {
        auto *item = new QTableWidgetItem(cells.at(column));
        item->setTextAlignment(column == 0 ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter);
        if (colour.isValid())
            item->setBackground(colour);
        widget->setItem(row, column, item);
    }
}

QPushButton *button(const QString &text, const QString &name, QWidget *parent)
{
    auto *created = new QPushButton(text, parent);
    created->setObjectName(name);
    return created;
}

QLabel *resultLabel(const QString &name, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace pagetools
