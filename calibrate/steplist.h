#pragma once

#include <QListWidget>

// The steps listed down the window's side. A step already reached can be looked at again,
// and the first at any time; none while the list is locked (a job goes).
class StepList : public QListWidget
{
    Q_OBJECT

public:
    explicit StepList(const QStringList &steps, QWidget *parent = nullptr);

    // `step` is shown: it and every step before it can be chosen from now on.
    void reach(int step);
    void setLocked(bool locked) { m_locked = locked; }

signals:
    void chosen(int step);

private:
    int m_current = 0;
    bool m_locked = false;
};
