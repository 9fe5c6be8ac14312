#include "windowsupport.h"
#include "widget.h"

#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using testsupport::Bench;

namespace {

QString writeCurve(const QTemporaryDir &dir, const QByteArray &text)
{
    return testsupport::writeFile(dir.path(), QStringLiteral("curve.txt"), text);
}

QStringList gridTexts(const Bench &bench)
{
    QStringList texts;
    for (int row = 0; row < 100; ++row)
        texts << bench.cellText(row, 0) << bench.cellText(row, 1);
    return texts;
}

} // namespace

// "Open table data..." as the operator uses it.
class TestImport : public QObject
{
    Q_OBJECT

private slots:
    void importsTheWorkedExample_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("voltage first") << QByteArray("Voltage\tTemperature\n0.5\t300\n1.0\t10\n");
        QTest::newRow("temperature first") << QByteArray("Temperature (K)  Voltage (V)\n300  0.5\n10  1.0\n");
        QTest::newRow("CSV") << QByteArray("T (K),V (V)\r\n300,0.5\r\n10,1.0\r\n");
    }

    void importsTheWorkedExample()
    {
        QFETCH(QByteArray, text);
        QTemporaryDir dir;
        Bench bench;
        bench.modals.answerFileDialog(writeCurve(dir, text));
        bench.click("pbOpenTable");

        QCOMPARE(bench.modals.fileDialogs.size(), 1);
        QCOMPARE(bench.modals.fileDialogs[0].caption, QStringLiteral("Open file..."));
        QVERIFY(!bench.modals.fileDialogs[0].saving);
        QVERIFY(bench.modals.boxes.isEmpty());
        const QList<QStringList> expected{{"0", "1", "10"}, {"1", "0.999397", "10.3495"},
                                          {"33", "0.963668", "31.0723"}, {"99", "0.5", "300"}};
        for (const QStringList &row : expected) {
            QCOMPARE(bench.cellText(row[0].toInt(), 0), row[1]);
            QCOMPARE(bench.cellText(row[0].toInt(), 1), row[2]);
        }
        // Every row is rewritten with finite numbers, rising in temperature.
        double previous = 0.0;
        for (int row = 0; row < 100; ++row) {
            bool ok = false;
            const double temperature = bench.cellText(row, 1).toDouble(&ok);
            QVERIFY(ok && std::isfinite(temperature) && temperature > previous);
            QVERIFY(std::isfinite(bench.cellText(row, 0).toDouble(&ok)) && ok);
            previous = temperature;
        }
    }

    void refusedCurvesLeaveTheGridAlone_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("path");    // read instead of the text when given
        QTest::addColumn<qint64>("size");     // the text's file stretched to this size
        QTest::newRow("one point") << QByteArray("1.0\t10\n") << "only one temperature" << QString() << qint64(0);
        QTest::newRow("no points") << QByteArray("Voltage\tTemperature\n\n") << "no curve points" << QString() << qint64(0);
        QTest::newRow("zero kelvin") << QByteArray("1.0\t0\n0.5\t300\n") << "above 0 K" << QString() << qint64(0);
        QTest::newRow("negative kelvin") << QByteArray("1.0\t-5\n0.5\t300\n") << "above 0 K" << QString() << qint64(0);
        QTest::newRow("columns swapped") << QByteArray("10\t1.0\n300\t0.5\n")
                                         << "Line 2 gives a voltage of 300 V, beyond 10 V: the columns look swapped" << QString() << qint64(0);
        QTest::newRow("resistance curve") << QByteArray("Sensor Model:   PT-100\nData Format:    3      (Ohms/Kelvin)\n"
                                                        "Number of Breakpoints:   2\n\nNo.   Units      Temperature (K)\n\n"
                                                        "  1  18.52  73.15\n  2  100.0  273.15\n")
                                          << "resistance units" << QString() << qint64(0);
        const QString limit = QStringLiteral("larger than 256 MiB");
        QTest::newRow("one byte over the limit") << QByteArray("1.0\t10\n0.5\t300\n") << limit << QString()
                                                 << qint64(256 * 1024 * 1024 + 1);
        QTest::newRow("endless device") << QByteArray() << limit << QStringLiteral("/dev/zero") << qint64(0);
    }

    void refusedCurvesLeaveTheGridAlone()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, says);
        QFETCH(QString, path);
        QFETCH(qint64, size);
        QTemporaryDir dir;
        Bench bench;
        for (int row = 0; row < 100; ++row)
            bench.window->setTemepratureData(row, 1.0f, float(row + 1));
        const QStringList before = gridTexts(bench);
        if (path.isEmpty())
            path = writeCurve(dir, text);
        if (size > 0)
            QVERIFY(QFile::resize(path, size));
        bench.modals.answerFileDialog(path);
        bench.click("pbOpenTable");
        QCOMPARE(bench.modals.boxes.size(), 1);
        QCOMPARE(bench.modals.boxes[0].title, QStringLiteral("Error"));
        QVERIFY2(bench.modals.boxes[0].text.contains(says), qPrintable(bench.modals.boxes[0].text));
        QCOMPARE(gridTexts(bench), before);
    }

    void unopenableFileIsReported()
    {
        QTemporaryDir dir;
        Bench bench;
        bench.modals.answerFileDialog(dir.filePath(QStringLiteral("gone.txt")));
        bench.click("pbOpenTable");
        QCOMPARE(bench.modals.boxes.size(), 1);
        QVERIFY(bench.modals.boxes[0].text.contains(QLatin1String("gone.txt")));
        QCOMPARE(gridTexts(bench), QStringList(QVector<QString>(200).toList()));
    }

    void cancelledDialogChangesNothing()
    {
        Bench bench;
        bench.window->setTemepratureData(7, 1.5f, 2.5f);
        const QStringList before = gridTexts(bench);
        bench.click("pbOpenTable");
        QCOMPARE(bench.modals.fileDialogs.size(), 1);
        QCOMPARE(gridTexts(bench), before);
        QVERIFY(bench.modals.boxes.isEmpty());
    }
};

QTEST_MAIN(TestImport)
#include "tst_import.moc"
