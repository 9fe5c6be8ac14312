#include <QtTest>
class Tst : public QObject { Q_OBJECT };
QTEST_MAIN(Tst)
#include "tst_window.moc"
