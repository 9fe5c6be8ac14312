#include "steplist.h"

namespace {

constexpr int Margin = 24;

} // namespace

StepList::StepList(const QStringList &steps, QWidget *parent)
    : QListWidget(parent)
{
    setObjectName(QStringLiteral("lwSteps"));
    addItems(steps);
    setFixedWidth(sizeHintForColumn(0) + 4 * frameWidth() + Margin);
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QListWidget::itemClicked, this, [this](QListWidgetItem *item) {
        const int wanted = row(item);
        if (!m_locked && (wanted == 0 || (item->flags() & Qt::ItemIsEnabled)))
            emit chosen(wanted);
        else
            setCurrentRow(m_current);
    });
}

void StepList::reach(int step)
{
    m_current = step;
    for (int row = 0; row <= step && row < count(); ++row)
        item(row)->setFlags(item(row)->flags() | Qt::ItemIsEnabled);
    setCurrentRow(step);
}
