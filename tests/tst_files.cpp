#include "windowsupport.h"
#include "widget.h"

#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>
#include <QScopeGuard>

#include <unistd.h>

using testsupport::Bench;
using testsupport::ConstantFields;

namespace {

QStringList repeated(const QString &text)
{
    QStringList texts;
    for (int i = 0; i < 204; ++i)
        texts.append(text);
    return texts;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray zeroRows(int count, bool last)
{
    QByteArray rows;
    for (int i = 0; i < count; ++i) {
        rows += "        [\n            0,\n            0\n        ]";
        rows += (last && i == count - 1) ? "\n" : ",\n";
    }
    return rows;
}

} // namespace

// "Save calibrations..." and "Load calibrations..." as the operator uses them.
class TestFiles : public QObject
{
    Q_OBJECT

private slots:
    void savesExactlyWhatTheWindowShows()
    {
        QTemporaryDir dir;
        Bench bench;
        bench.field("leADCslope")->setText(QStringLiteral("2.5"));
        bench.field("leADCintercept")->setText(QStringLiteral("-1"));
        bench.cell(0, 0)->setText(QStringLiteral("1.2"));
        bench.cell(0, 1)->setText(QStringLiteral("300"));
        bench.modals.answerFileDialog(dir.filePath(QStringLiteral("cal")));
        bench.click("pbSave");

        QCOMPARE(bench.modals.fileDialogs.size(), 1);
        QCOMPARE(bench.modals.fileDialogs[0].caption, QStringLiteral("Save file..."));
        QCOMPARE(bench.modals.fileDialogs[0].nameFilters, QStringList{QStringLiteral("JSON(*json)")});
        QVERIFY(bench.modals.fileDialogs[0].saving);
        const QByteArray expected = QByteArray("{\n"
                                               "    \"ADCCoeffs\": [\n        2.5,\n        -1\n    ],\n"
                                               "    \"DACCoeffs\": [\n        0,\n        0\n    ],\n"
                                               "    \"TempTable\": [\n"
                                               "        [\n            1.2,\n            300\n        ],\n")
            + zeroRows(99, true) + "    ]\n}\n";
        QCOMPARE(readFile(dir.filePath(QStringLiteral("cal.json"))), expected);
        QVERIFY(bench.modals.boxes.isEmpty());
    }

    void suffixIsAddedUnlessPresent_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("written");
        QTest::newRow("no suffix") << "cal" << "cal.json";
        QTest::newRow(".json") << "cal.json" << "cal.json";
        QTest::newRow(".JSON") << "cal.JSON" << "cal.JSON.json";
    }

    void suffixIsAddedUnlessPresent()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, written);
        QTemporaryDir dir;
        Bench bench;
        bench.modals.answerFileDialog(dir.filePath(chosen));
        bench.click("pbSave");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{written});
    }

    void keepsEveryTypedDigit_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<double>("saved");
        QTest::newRow("nine digits") << "0.123456789" << 0.123456789;
        QTest::newRow("spaces around") << " 2.5 " << 2.5;
        QTest::newRow("empty") << "" << 0.0;
    }

    void keepsEveryTypedDigit()
    {
        QFETCH(QString, typed);
        QFETCH(double, saved);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("cal.json"));
        Bench bench;
        bench.field("leDACslope")->setText(typed);
        bench.modals.answerFileDialog(path);
        bench.click("pbSave");
        const QJsonObject top = QJsonDocument::fromJson(readFile(path)).object();
        QCOMPARE(top.value(QLatin1String("DACCoeffs")).toArray().at(0).toDouble(-1), saved);
        QCOMPARE(top.value(QLatin1String("TempTable")).toArray().size(), 100);
    }

    void savingTwiceReplacesTheFirstFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("cal.json"));
        Bench bench;
        bench.fillCalibration(QStringLiteral("7"));
        bench.modals.answerFileDialog(path);
        bench.click("pbSave");
        bench.fillCalibration(QString());
        bench.modals.answerFileDialog(path);
        bench.click("pbSave");
        QVERIFY(!readFile(path).contains('7'));
        QVERIFY(bench.modals.boxes.isEmpty());
    }

    void cancelledDialogDoesNothing()
    {
        QTemporaryDir dir;
        Bench bench;
        bench.fillCalibration(QStringLiteral("5"));
        bench.click("pbSave");
        bench.click("pbLoad");
        QCOMPARE(bench.modals.fileDialogs.size(), 2);
        QVERIFY(QDir(dir.path()).isEmpty());
        QCOMPARE(bench.calibrationTexts(), repeated(QStringLiteral("5")));
        QVERIFY(bench.modals.boxes.isEmpty());
    }

    void unwritableTargetIsReportedAndCreatesNothing()
    {
        QTemporaryDir dir;
        Bench bench;
        bench.modals.answerFileDialog(dir.filePath(QStringLiteral("missing/cal.json")));
        bench.click("pbSave");
        QCOMPARE(bench.modals.boxTexts(), QStringList{QStringLiteral("Couldn't open save file.")});
        QCOMPARE(bench.modals.boxes[0].title, QStringLiteral("Error"));
        QVERIFY(QDir(dir.path()).isEmpty());
    }

    void textThatIsNotANumberIsNotSaved_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("decimal comma") << -1 << "1,5" << "ADC intercept: '1,5' is not a number.";
        QTest::newRow("nan") << -1 << "nan" << "ADC intercept: 'nan' is not a number.";
        QTest::newRow("cell") << 11 << "-" << "Table row 12, Temperature(K): '-' is not a number.";
    }

    void textThatIsNotANumberIsNotSaved()
    {
        QFETCH(int, row);
        QFETCH(QString, text);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("cal.json"));
        writeFile(path, "earlier");
        Bench bench;
        if (row >= 0)
            bench.cell(row, 1)->setText(text);
        else
            bench.field("leADCintercept")->setText(text);
        bench.modals.answerFileDialog(path);
        bench.click("pbSave");
        QCOMPARE(bench.modals.boxTexts(), QStringList{message});
        QVERIFY(bench.modals.fileDialogs.isEmpty());
        QCOMPARE(readFile(path), QByteArray("earlier"));
    }

    void savedFileLoadsBackIntoTheSameTexts()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("cal.json"));
        Bench bench;
        bench.field("leADCslope")->setText(QStringLiteral("1.00001"));
        bench.field("leADCintercept")->setText(QStringLiteral("0"));
        bench.field("leDACslope")->setText(QStringLiteral("3276.8"));
        bench.field("leDACintercept")->setText(QStringLiteral("-3e-05"));
        for (int row = 0; row < 100; ++row)
            bench.window->setTemepratureData(row, 1.6f - 0.01f * float(row), 1.4f + 5.0f * float(row));
        const QStringList saved = bench.calibrationTexts();
        bench.modals.answerFileDialog(path);
        bench.click("pbSave");

        bench.fillCalibration(QStringLiteral("x"));
        bench.modals.answerFileDialog(path);
        bench.click("pbLoad");
        QCOMPARE(bench.calibrationTexts(), saved);
        QCOMPARE(bench.modals.fileDialogs[1].caption, QStringLiteral("Open file..."));
        QCOMPARE(bench.modals.fileDialogs[1].nameFilters, QStringList{QStringLiteral("DEVICE (*.json)")});
        QVERIFY(!bench.modals.fileDialogs[1].saving);
    }

    void loadsLeniently_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("constants");
        QTest::addColumn<QStringList>("row0");
        QTest::newRow("no DAC member")
            << QByteArray(R"({"ADCCoeffs": [2, 3], "TempTable": [[1.2, 300]]})")
            << QStringList{"2", "3", "0", "0"} << QStringList{"1.2", "300"};
        QTest::newRow("short arrays")
            << QByteArray(R"({"ADCCoeffs": [2.5], "DACCoeffs": [], "TempTable": [[1.2]]})")
            << QStringList{"2.5", "0", "0", "0"} << QStringList{"1.2", "0"};
        QTest::newRow("long arrays")
            << QByteArray(R"({"ADCCoeffs": [1, 2, 3], "DACCoeffs": [4, 5, 6], "TempTable": [[1.2, 300, 7]]})")
            << QStringList{"1", "2", "4", "5"} << QStringList{"1.2", "300"};
        QTest::newRow("strings are not numbers")
            << QByteArray(R"({"ADCCoeffs": ["1.5", null], "DACCoeffs": [true, {}], "TempTable": [["1", 2]]})")
            << QStringList{"0", "0", "0", "0"} << QStringList{"0", "2"};
        QTest::newRow("names are case-sensitive")
            << QByteArray(R"({"adccoeffs": [1, 2], "DACCoeffs": [3, 4]})")
            << QStringList{"0", "0", "3", "4"} << QStringList{"old", "old"};
        QTest::newRow("six digits shown")
            << QByteArray(R"({"ADCCoeffs": [0.123456789, 12000000], "DACCoeffs": [0.00001, 300.15]})")
            << QStringList{"0.123457", "1.2e+07", "1e-05", "300.15"} << QStringList{"old", "old"};
    }

    void loadsLeniently()
    {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, constants);
        QFETCH(QStringList, row0);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("in.json"));
        writeFile(path, json);
        Bench bench;
        bench.fillCalibration(QStringLiteral("old"));
        bench.modals.answerFileDialog(path);
        bench.click("pbLoad");
        QStringList shown;
        for (const char *name : ConstantFields)
            shown.append(bench.field(name)->text());
        QCOMPARE(shown, constants);
        QCOMPARE((QStringList{bench.cellText(0, 0), bench.cellText(0, 1)}), row0);
        QCOMPARE(bench.cellText(1, 0), QStringLiteral("old"));
        QVERIFY(bench.modals.boxes.isEmpty());
    }

    void tableLengthDecidesTheRowsLoaded_data()
    {
        QTest::addColumn<int>("rows");
        QTest::newRow("3 rows") << 3;
        QTest::newRow("150 rows") << 150;
    }

    void tableLengthDecidesTheRowsLoaded()
    {
        QFETCH(int, rows);
        QJsonArray table;
        for (int row = 0; row < rows; ++row)
            table.append(QJsonArray{row + 0.5, row + 1});
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("in.json"));
        writeFile(path, QJsonDocument(QJsonObject{{QStringLiteral("TempTable"), table}}).toJson());
        Bench bench;
        bench.fillCalibration(QStringLiteral("old"));
        bench.modals.answerFileDialog(path);
        bench.click("pbLoad");
        for (int row = 0; row < 100; ++row) {
            const bool loaded = row < rows;
            QCOMPARE(bench.cellText(row, 0), loaded ? QString::number(row + 0.5) : QStringLiteral("old"));
            QCOMPARE(bench.cellText(row, 1), loaded ? QString::number(row + 1) : QStringLiteral("old"));
        }
    }

    void refusesWhatIsNotACalibrationFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("Voltage\tTemperature\n1.0\t10\n");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("array") << QByteArray("[[1.2, 300]]");
        QTest::newRow("empty object") << QByteArray("{}");
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe{\"ADCCoeffs\"", 15);
        QTest::newRow("50 MB of garbage") << QByteArray(50 * 1024 * 1024, '\x9c');
        QTest::newRow("deep nesting") << QByteArray(100000, '[');
        QTest::newRow("deep nesting in a member") << QByteArray("{\"TempTable\": ") + QByteArray(100000, '[');
        QTest::newRow("NaN and Infinity words") << QByteArray(R"({"ADCCoeffs": [NaN, Infinity]})");
    }

    void refusesWhatIsNotACalibrationFile()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("in.json"));
        writeFile(path, content);
        Bench bench;
        bench.fillCalibration(QStringLiteral("9"));
        bench.modals.answerFileDialog(path);
        bench.click("pbLoad");
        QCOMPARE(bench.modals.boxTexts(), QStringList{QStringLiteral("Not a calibration file.")});
        QCOMPARE(bench.calibrationTexts(), repeated(QStringLiteral("9")));
    }

    void unreadableFileIsReported()
    {
        QTemporaryDir dir;
        Bench bench;
        bench.fillCalibration(QStringLiteral("9"));
        bench.modals.answerFileDialog(dir.filePath(QStringLiteral("vanished.json")));
        bench.click("pbLoad");
        QCOMPARE(bench.modals.boxTexts(), QStringList{QStringLiteral("Couldn't open save file.")});
        QCOMPARE(bench.calibrationTexts(), repeated(QStringLiteral("9")));
    }

    void largeCalibrationFileLoadsItsFirstRows()
    {
        // About 50 MB: a table of two million rows, of which the grid takes the first 100.
        QByteArray json("{\"ADCCoeffs\": [1.5, 2], \"TempTable\": [");
        const QByteArray row("[0.125, 300.5],");
        json.reserve(2000000 * row.size() + 64);
        for (int i = 0; i < 2000000; ++i)
            json += row;
        json += "[7, 8]]}";
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("large.json"));
        writeFile(path, json);
        Bench bench;
        bench.modals.answerFileDialog(path);
        bench.click("pbLoad");
        QVERIFY(bench.modals.boxes.isEmpty());
        QCOMPARE(bench.field("leADCslope")->text(), QStringLiteral("1.5"));
        QCOMPARE(bench.cellText(99, 0), QStringLiteral("0.125"));
        QCOMPARE(bench.cellText(99, 1), QStringLiteral("300.5"));
    }

    void savingWhereTheParentIsAFileIsReported()
    {
        QTemporaryDir dir;
        const QString notADirectory = dir.filePath(QStringLiteral("plain"));
        writeFile(notADirectory, "data");
        Bench bench;
        bench.modals.answerFileDialog(notADirectory + QStringLiteral("/cal.json"));
        bench.click("pbSave");
        QCOMPARE(bench.modals.boxTexts(), QStringList{QStringLiteral("Couldn't open save file.")});
        QCOMPARE(readFile(notADirectory), QByteArray("data"));
    }

    void fullDiskKeepsTheEarlierFile()
    {
        if (geteuid() != 0)
            QSKIP("mounting a small file system for this needs root");
        QTemporaryDir dir;
        const QString mountPoint = dir.filePath(QStringLiteral("small"));
        QVERIFY(QDir().mkpath(mountPoint));
        if (QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                                         QStringLiteral("-o"), QStringLiteral("size=16k"),
                                                         QStringLiteral("tmpfs"), mountPoint}) != 0)
            QSKIP("cannot mount a tmpfs here");
        const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {mountPoint}); });

        const QString path = mountPoint + QStringLiteral("/cal.json");
        writeFile(path, "earlier");
        // Fill the rest of the file system so the new file cannot be written whole.
        QFile filler(mountPoint + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(1024, 'x')) == 1024 && filler.flush()) {
        }
        filler.close();

        Bench bench;
        bench.fillCalibration(QStringLiteral("1.23456789"));
        bench.modals.answerFileDialog(path);
        bench.click("pbSave");
        QCOMPARE(bench.modals.boxes.size(), 1);
        QVERIFY2(bench.modals.boxes[0].text == QLatin1String("Couldn't write save file.")
                     || bench.modals.boxes[0].text == QLatin1String("Couldn't open save file."),
                 qPrintable(bench.modals.boxes[0].text));
        QCOMPARE(readFile(path), QByteArray("earlier"));
    }
};

QTEST_MAIN(TestFiles)
#include "tst_files.moc"
