#include "windowsupport.h"
#include "widget.h"

#include <QClipboard>
#include <QDoubleValidator>
#include <QLineEdit>
#include <QMetaMethod>
#include <QPushButton>
#include <QSerialPort>
#include <QTabWidget>
#include <QTableWidget>
#include <QtTest>

#include <limits>

using testsupport::Bench;

namespace {
QLineEdit *cellOf(Widget &window, int row, int column)
{
    auto *grid = window.findChild<QTableWidget *>(QStringLiteral("twTableData"));
    return qobject_cast<QLineEdit *>(grid->cellWidget(row, column));
}
} // namespace

// The window as a whole: its slots, the calibration grid and what each button does.
class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    // Reading and typing follow the C locale whatever the system's, so a system with a
    // decimal comma must not change them; German uses the comma.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }

    void exactlySevenPrivateSlotsInOrder()
    {
        const QMetaObject &meta = Widget::staticMetaObject;
        QCOMPARE(meta.className(), "Widget");
        QCOMPARE(meta.methodCount() - meta.methodOffset(), 7);
        const QList<QByteArray> expected{"on_pbUpdateData_clicked()", "on_pbGetConstants_clicked()",
                                         "on_pbOpenTable_clicked()", "on_pbSetConstants_clicked()",
                                         "on_pbWriteEeprom_clicked()", "on_pbSave_clicked()",
                                         "on_pbLoad_clicked()"};
        for (int i = 0; i < 7; ++i) {
            const QMetaMethod method = meta.method(meta.methodOffset() + i);
            QCOMPARE(method.methodSignature(), expected[i]);
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Private);
        }
        QCOMPARE(meta.propertyCount(), meta.propertyOffset());
        QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    }

    void castsThroughTheMetaObject()
    {
        Widget window;
        QCOMPARE(window.qt_metacast("Widget"), static_cast<void *>(&window));
        QCOMPARE(window.qt_metacast("QWidget"), static_cast<void *>(static_cast<QWidget *>(&window)));
        QCOMPARE(window.qt_metacast(nullptr), nullptr);
        QCOMPARE(qobject_cast<Widget *>(static_cast<QObject *>(&window)), &window);
    }

    void constructedWindowIsHiddenOnTheDataTabWithoutAPort()
    {
        Widget window;
        QVERIFY(!window.isVisible());
        QCOMPARE(window.findChild<QTabWidget *>(QStringLiteral("tabWidget"))->currentIndex(), 0);
        QVERIFY(!window.findChild<QSerialPort *>());
    }

    void gridCellsAreFramelessValidatedEditors()
    {
        Widget window;
        auto *grid = window.findChild<QTableWidget *>(QStringLiteral("twTableData"));
        QCOMPARE(grid->rowCount(), 100);
        QCOMPARE(grid->columnCount(), 2);
        QSet<const QValidator *> validators;
        for (int row = 0; row < 100; ++row) {
            for (int column = 0; column < 2; ++column) {
                QVERIFY(!grid->item(row, column));
                QLineEdit *cell = cellOf(window, row, column);
                QVERIFY(cell);
                QVERIFY(!cell->hasFrame());
                QVERIFY(cell->text().isEmpty());
                const auto *validator = qobject_cast<const QDoubleValidator *>(cell->validator());
                QVERIFY(validator);
                QCOMPARE(validator->parent(), &window);
                QCOMPARE(validator->locale().language(), QLocale::C);
                validators.insert(validator);
            }
        }
        QCOMPARE(validators.size(), 200);
    }

    // Typing and pasting are held to what the window later reads: C-locale numbers only,
    // where a comma is taken as the decimal point that a keypad meant.
    void cellsRejectWhatCannotBeRead_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("pasted");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<float>("value");
        QTest::newRow("plain") << "77.35" << false << "77.35" << 77.35f;
        QTest::newRow("exponent") << "1.5e-3" << false << "1.5e-3" << 1.5e-3f;
        QTest::newRow("letters") << "a1b2" << false << "12" << 12.0f;
        QTest::newRow("decimal comma") << "1,5" << false << "1.5" << 1.5f;
        QTest::newRow("comma and exponent") << "-2,5e-3" << false << "-2.5e-3" << -2.5e-3f;
        QTest::newRow("group separator") << "1,500" << false << "1.500" << 1.5f;
        QTest::newRow("second comma") << "1,5,0" << false << "1.50" << 1.5f;
        QTest::newRow("pasted decimal comma") << "1,5" << true << "1.5" << 1.5f;
        QTest::newRow("pasted with two commas") << "1,500,000" << true << "" << 0.0f;
    }

    void cellsRejectWhatCannotBeRead()
    {
        QFETCH(QString, input);
        QFETCH(bool, pasted);
        QFETCH(QString, shown);
        QFETCH(float, value);
        Widget window;
        QLineEdit *cell = cellOf(window, 5, 0);
        if (pasted) {
            QGuiApplication::clipboard()->setText(input);
            cell->paste();
        } else {
            QTest::keyClicks(cell, input);
        }
        QCOMPARE(cell->text(), shown);
        QCOMPARE(window.temperatureData(5).first, value);
    }

    void untouchedGridReadsZero()
    {
        Widget window;
        for (int row = 0; row < 100; ++row)
            QCOMPARE(window.temperatureData(row), qMakePair(0.0f, 0.0f));
    }

    void unreadableCellReadsZeroBesideAReadableOne_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("lone minus") << "-";
        QTest::newRow("bare exponent") << "1e";
        QTest::newRow("empty") << "";
        QTest::newRow("letters") << "abc";
    }

    void unreadableCellReadsZeroBesideAReadableOne()
    {
        QFETCH(QString, text);
        Widget window;
        cellOf(window, 3, 0)->setText(text);
        cellOf(window, 3, 1)->setText(QStringLiteral("300"));
        QCOMPARE(window.temperatureData(3), qMakePair(0.0f, 300.0f));
        cellOf(window, 4, 0)->setText(QStringLiteral("1.25"));
        cellOf(window, 4, 1)->setText(text);
        QCOMPARE(window.temperatureData(4), qMakePair(1.25f, 0.0f));
    }

    void rowsRoundTrip_data()
    {
        QTest::addColumn<float>("voltage");
        QTest::addColumn<float>("temperature");
        QTest::addColumn<QString>("voltageText");
        QTest::addColumn<QString>("temperatureText");
        QTest::addColumn<float>("voltageBack");
        QTest::addColumn<float>("temperatureBack");
        QTest::newRow("0.1, 300") << 0.1f << 300.0f << "0.1" << "300" << 0.1f << 300.0f;
        QTest::newRow("77.35") << 1.0f << 77.35f << "1" << "77.35" << 1.0f << 77.35f;
        // Only six digits are shown, so reading back gives the rounded value.
        QTest::newRow("more than six digits") << 1.23456789f << 273.15678f << "1.23457" << "273.157"
                                              << 1.23457f << 273.157f;
    }

    void rowsRoundTrip()
    {
        QFETCH(float, voltage);
        QFETCH(float, temperature);
        QFETCH(QString, voltageText);
        QFETCH(QString, temperatureText);
        QFETCH(float, voltageBack);
        QFETCH(float, temperatureBack);
        Widget window;
        cellOf(window, 99, 0)->setText(QStringLiteral("half-typed 1e"));
        window.setTemepratureData(99, voltage, temperature);
        QCOMPARE(cellOf(window, 99, 0)->text(), voltageText);
        QCOMPARE(cellOf(window, 99, 1)->text(), temperatureText);
        QCOMPARE(window.temperatureData(99), qMakePair(voltageBack, temperatureBack));
    }

    void nonFiniteValuesAreShownAsTheToolkitFormatsThem()
    {
        Widget window;
        window.setTemepratureData(0, std::numeric_limits<float>::infinity(),
                                  std::numeric_limits<float>::quiet_NaN());
        QCOMPARE(cellOf(window, 0, 0)->text(), QStringLiteral("inf"));
        QCOMPARE(cellOf(window, 0, 1)->text(), QStringLiteral("nan"));
    }

    // Each click runs its own action once: seen from what reaches the instrument and which
    // dialog opens.
    void eachButtonRunsItsOwnActionOnce_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QByteArray>("requestCodes");
        QTest::addColumn<QString>("dialogCaption");
        QTest::newRow("Update Data") << "pbUpdateData" << QByteArray::fromHex("0102") << QString();
        QTest::newRow("Get Constants") << "pbGetConstants" << QByteArray::fromHex("06080a") << QString();
        QTest::newRow("Set Constants") << "pbSetConstants" << QByteArray::fromHex("07090b06080a") << QString();
        QTest::newRow("Write EEPROM") << "pbWriteEeprom" << QByteArray::fromHex("0c") << QString();
        QTest::newRow("Open table data...") << "pbOpenTable" << QByteArray() << "Open file...";
        QTest::newRow("Load calibrations...") << "pbLoad" << QByteArray() << "Open file...";
        QTest::newRow("Save calibrations...") << "pbSave" << QByteArray() << "Save file...";
    }

    void eachButtonRunsItsOwnActionOnce()
    {
        QFETCH(QString, button);
        QFETCH(QByteArray, requestCodes);
        QFETCH(QString, dialogCaption);

        Bench bench;
        bench.field("leADCslope")->setText(QStringLiteral("1"));
        bench.field("leDACslope")->setText(QStringLiteral("1"));
        bench.click(button.toLatin1().constData());
        QTest::qWait(50);
        QCOMPARE(bench.requestCodes().toHex(), requestCodes.toHex());
        QCOMPARE(bench.modals.fileDialogs.size(), dialogCaption.isEmpty() ? 0 : 1);
        if (!dialogCaption.isEmpty())
            QCOMPARE(bench.modals.fileDialogs.first().caption, dialogCaption);
        QVERIFY2(bench.modals.boxes.isEmpty(), qPrintable(bench.modals.boxTexts().join('\n')));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
