#include "protocol.h"
#include "windowsupport.h"
#include "widget.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using testsupport::Bench;

namespace {

const char *const Buttons[] = {"pbUpdateData", "pbGetConstants", "pbOpenTable", "pbSetConstants",
                               "pbWriteEeprom", "pbSave", "pbLoad"};

using testsupport::sampleConstants;

// Slopes the instrument can work with; "Set Constants" refuses to send a slope of 0.
void fillSlopes(Bench &bench)
{
    bench.field("leADCslope")->setText(QStringLiteral("1"));
    bench.field("leDACslope")->setText(QStringLiteral("2"));
}

} // namespace

// "Get Constants", "Set Constants" and "Write EEPROM" against the simulated instrument.
class TestConstants : public QObject
{
    Q_OBJECT

private slots:
    void getFillsTheWindow_data()
    {
        QTest::addColumn<int>("chunkSize");
        QTest::newRow("whole replies") << 0;
        QTest::newRow("64-byte USB packets") << 64;
    }

    void getFillsTheWindow()
    {
        QFETCH(int, chunkSize);
        Bench bench;
        sim::Faults faults;
        faults.chunkSize = chunkSize;
        faults.chunkGapUs = 1000;
        bench.instrument.setFaults(faults);
        bench.instrument.withFirmware([](sim::Firmware &firmware) { firmware.constants = sampleConstants(); });
        bench.fillCalibration(QStringLiteral("old"));

        bench.click("pbGetConstants");
        QCOMPARE(bench.instrument.requests().size(), 3);
        QCOMPARE(bench.instrument.requests()[0].bytes, QByteArray::fromHex("0600"));
        QCOMPARE(bench.instrument.requests()[1].bytes, QByteArray::fromHex("0800"));
        QCOMPARE(bench.instrument.requests()[2].bytes, QByteArray::fromHex("0a00"));
        QCOMPARE(bench.field("leADCslope")->text(), QStringLiteral("1"));
        QCOMPARE(bench.field("leADCintercept")->text(), QStringLiteral("0.5"));
        QCOMPARE(bench.field("leDACslope")->text(), QStringLiteral("3276.8"));
        QCOMPARE(bench.field("leDACintercept")->text(), QStringLiteral("-12.5"));
        QCOMPARE(bench.cellText(0, 0), QStringLiteral("1.6"));
        QCOMPARE(bench.cellText(0, 1), QStringLiteral("1.4"));
        QCOMPARE(bench.cellText(42, 0), QStringLiteral("0"));
        QCOMPARE(bench.cellText(42, 1), QStringLiteral("273.15"));
        QCOMPARE(bench.cellText(99, 0), QStringLiteral("0.3625"));
        QCOMPARE(bench.cellText(99, 1), QStringLiteral("496.4"));
        QVERIFY(!bench.calibrationTexts().contains(QStringLiteral("old")));
        QVERIFY(bench.modals.boxes.isEmpty());
    }

    void zeroRowsShowZero()
    {
        Bench bench;
        bench.fillCalibration(QStringLiteral("old"));
        bench.click("pbGetConstants");
        for (int row = 0; row < 100; ++row) {
            QCOMPARE(bench.cellText(row, 0), QStringLiteral("0"));
            QCOMPARE(bench.cellText(row, 1), QStringLiteral("0"));
        }
    }

    void missingRepliesChangeOnlyTheirFields_data()
    {
        QTest::addColumn<QList<quint8>>("silent");
        QTest::addColumn<bool>("adcChanges");
        QTest::addColumn<bool>("dacChanges");
        QTest::addColumn<bool>("tableChanges");
        QTest::addColumn<QByteArray>("requests");
        QTest::newRow("table silent") << QList<quint8>{0x0A} << true << true << false << QByteArray::fromHex("06080a");
        // Once a part is missing the rest is not asked for: a late reply would land in it.
        QTest::newRow("ADC silent") << QList<quint8>{0x06} << false << false << false << QByteArray::fromHex("06");
        QTest::newRow("DAC silent") << QList<quint8>{0x08} << true << false << false << QByteArray::fromHex("0608");
        QTest::newRow("all silent") << QList<quint8>{0x06, 0x08, 0x0A} << false << false << false << QByteArray::fromHex("06");
    }

    void missingRepliesChangeOnlyTheirFields()
    {
        QFETCH(QList<quint8>, silent);
        QFETCH(bool, adcChanges);
        QFETCH(bool, dacChanges);
        QFETCH(bool, tableChanges);
        QFETCH(QByteArray, requests);

        Bench bench;
        sim::Faults faults;
        faults.silentCommands = silent;
        bench.instrument.setFaults(faults);
        bench.instrument.withFirmware([](sim::Firmware &firmware) { firmware.constants = sampleConstants(); });
        bench.fillCalibration(QStringLiteral("old"));

        const qint64 took = bench.click("pbGetConstants");
        QCOMPARE(bench.requestCodes(), requests);
        QCOMPARE(bench.field("leADCslope")->text() != QLatin1String("old"), adcChanges);
        QCOMPARE(bench.field("leADCintercept")->text() != QLatin1String("old"), adcChanges);
        QCOMPARE(bench.field("leDACslope")->text() != QLatin1String("old"), dacChanges);
        QCOMPARE(bench.field("leDACintercept")->text() != QLatin1String("old"), dacChanges);
        for (int row = 0; row < 100; ++row) {
            QCOMPARE(bench.cellText(row, 0) != QLatin1String("old"), tableChanges);
            QCOMPARE(bench.cellText(row, 1) != QLatin1String("old"), tableChanges);
        }
        QCOMPARE(bench.modals.boxTexts(), QStringList{QStringLiteral("The instrument did not answer.")});
        QVERIFY2(took >= 95, qPrintable(QString::number(took)));
    }

    void setSendsExactlyWhatTheWindowShows()
    {
        Bench bench;
        bench.field("leADCslope")->setText(QStringLiteral("1"));
        bench.field("leADCintercept")->setText(QStringLiteral("0.5"));
        bench.field("leDACslope")->setText(QStringLiteral(" 300 "));
        bench.cell(0, 0)->setText(QStringLiteral("1.5"));
        bench.cell(0, 1)->setText(QStringLiteral("77.35"));
        bench.instrument.withFirmware([](sim::Firmware &firmware) { firmware.constants = sampleConstants(); });

        bench.click("pbSetConstants");
        const auto requests = bench.instrument.requests();
        QCOMPARE(bench.requestCodes(), QByteArray::fromHex("07090b06080a"));
        QCOMPARE(requests[0].bytes, QByteArray::fromHex("07000000803f0000003f"));
        QCOMPARE(requests[1].bytes, QByteArray::fromHex("09000000964300000000"));
        QCOMPARE(requests[2].bytes.size(), 802);
        QCOMPARE(requests[2].bytes.left(10), QByteArray::fromHex("0b000000c03f33b39a42"));
        // Rows left empty go out as zeros.
        QCOMPARE(requests[2].bytes.mid(10), QByteArray(792, '\0'));
        QVERIFY2(bench.modals.boxes.isEmpty(), qPrintable(bench.modals.boxTexts().join('\n')));
    }

    void emptyFieldsAndCellsGoOutAsZeros()
    {
        Bench bench;
        fillSlopes(bench);
        const qint64 took = bench.click("pbSetConstants");
        const auto requests = bench.instrument.requests();
        QCOMPARE(requests.size(), 6);
        QCOMPARE(requests[0].bytes, QByteArray::fromHex("07000000803f00000000"));
        QCOMPARE(requests[1].bytes, QByteArray::fromHex("09000000004000000000"));
        QCOMPARE(requests[2].bytes, QByteArray::fromHex("0b00") + QByteArray(800, '\0'));
        QCOMPARE(requests[3].bytes, QByteArray::fromHex("0600"));
        QCOMPARE(requests[4].bytes, QByteArray::fromHex("0800"));
        QCOMPARE(requests[5].bytes, QByteArray::fromHex("0a00"));

        // Each write is followed by at least the pacing pause; the margin only absorbs how
        // late the instrument may notice a request's first byte.
        for (int i = 1; i < 3; ++i) {
            const qint64 gapMs = (requests[i].receivedNs - requests[i - 1].receivedNs) / 1000000;
            QVERIFY2(gapMs >= 75, qPrintable(QString::number(gapMs)));
        }
        const qint64 lastWriteToReadBack = (requests[3].receivedNs - requests[2].receivedNs) / 1000000;
        QVERIFY2(lastWriteToReadBack >= 75, qPrintable(QString::number(lastWriteToReadBack)));
        QVERIFY2(took >= 300, qPrintable(QString::number(took)));
        QVERIFY(bench.modals.boxes.isEmpty());
    }

    void setIsOneActionThatNothingInterrupts()
    {
        Bench bench;
        fillSlopes(bench);
        QList<bool> enabledDuring;
        int repaints = 0;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            if (enabledDuring.isEmpty()) {
                for (const char *name : Buttons)
                    enabledDuring.append(bench.button(name)->isEnabled());
            }
            bench.button("pbWriteEeprom")->click();
            bench.button("pbUpdateData")->click();
            ++repaints;
        });
        probe.start(30);
        bench.click("pbSetConstants");
        probe.stop();

        QVERIFY2(repaints >= 5, "the window must stay live during the pauses");
        QCOMPARE(enabledDuring, (QList<bool>{false, false, false, false, false, false, false}));
        for (const char *name : Buttons)
            QVERIFY(bench.button(name)->isEnabled());
        QCOMPARE(bench.requestCodes(), QByteArray::fromHex("07090b06080a"));
    }

    void valuesAreTakenAtTheClick()
    {
        Bench bench;
        fillSlopes(bench);
        // An edit during the pauses must not change what goes out.
        QTimer::singleShot(50, [&] {
            bench.field("leDACslope")->setText(QStringLiteral("5"));
            bench.cell(0, 0)->setText(QStringLiteral("9"));
        });
        bench.click("pbSetConstants");
        const auto requests = bench.instrument.requests();
        QCOMPARE(requests[1].bytes, QByteArray::fromHex("09000000004000000000"));
        QCOMPARE(requests[2].bytes.mid(2, 4), QByteArray(4, '\0'));
    }

    // Text that is not a number, or a slope of 0, is refused before anything is sent; a
    // field that is not a number is named as such even when a slope is empty too.
    void refusedValuesSendNothing_data()
    {
        QTest::addColumn<bool>("slopesFilled");
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("letters") << true << "leADCslope" << -1 << "abc" << "ADC slope: 'abc' is not a number.";
        QTest::newRow("decimal comma") << true << "leDACintercept" << -1 << "1,5" << "DAC intercept: '1,5' is not a number.";
        QTest::newRow("infinity") << true << "leADCintercept" << -1 << "inf" << "ADC intercept: 'inf' is not a number.";
        QTest::newRow("beyond float") << true << "leDACslope" << -1 << "1e39" << "DAC slope: '1e39' is too large for the instrument.";
        QTest::newRow("lone minus in a cell") << true << "" << 11 << "-" << "Table row 12, Voltage(V): '-' is not a number.";
        QTest::newRow("not a number before empty slopes") << false << "leDACintercept" << -1 << "1,5"
                                                          << "DAC intercept: '1,5' is not a number.";
        QTest::newRow("fresh window") << false << "" << -1 << "" << "ADC slope is 0: get or load the constants first.";
        QTest::newRow("table only, as after an import") << false << "" << 0 << "1.5"
                                                        << "ADC slope is 0: get or load the constants first.";
        QTest::newRow("blank ADC slope") << true << "leADCslope" << -1 << "  " << "ADC slope is 0: get or load the constants first.";
        QTest::newRow("zero ADC slope") << true << "leADCslope" << -1 << "0.0e5" << "ADC slope is 0: get or load the constants first.";
        QTest::newRow("ADC slope 0 as a float") << true << "leADCslope" << -1 << "1e-50" << "ADC slope is 0: get or load the constants first.";
        QTest::newRow("empty DAC slope") << true << "leDACslope" << -1 << "" << "DAC slope is 0: get or load the constants first.";
        QTest::newRow("negative zero DAC slope") << true << "leDACslope" << -1 << "-0" << "DAC slope is 0: get or load the constants first.";
    }

    void refusedValuesSendNothing()
    {
        QFETCH(bool, slopesFilled);
        QFETCH(QString, field);
        QFETCH(int, row);
        QFETCH(QString, text);
        QFETCH(QString, message);
        Bench bench;
        if (slopesFilled)
            fillSlopes(bench);
        if (row >= 0)
            bench.cell(row, 0)->setText(text);
        else if (!field.isEmpty())
            bench.field(field.toLatin1().constData())->setText(text);
        const QStringList before = bench.calibrationTexts();
        bench.click("pbSetConstants");
        QTest::qWait(50);
        QVERIFY(bench.instrument.requests().isEmpty());
        QCOMPARE(bench.modals.boxTexts(), QStringList{message});
        QCOMPARE(bench.modals.boxes.first().title, QStringLiteral("Error"));
        QCOMPARE(bench.calibrationTexts(), before);
        for (const char *name : Buttons)
            QVERIFY(bench.button(name)->isEnabled());
    }

    void readBackFindsWhatTheInstrumentGotWrong_data()
    {
        QTest::addColumn<int>("corruptRow");
        QTest::addColumn<int>("dropLastRows");
        QTest::addColumn<QString>("message");
        QTest::newRow("one point") << 11 << 0
            << "The instrument holds different values: Table row 12, Temperature(K): sent 77.35, holds 0.";
        QTest::newRow("three points, all listed") << 11 << 1
            << "The instrument holds different values: Table row 12, Temperature(K): sent 77.35, holds 0; "
               "Table row 100, Voltage(V): sent 1.5, holds 0; Table row 100, Temperature(K): sent 77.35, holds 0.";
        QTest::newRow("last rows lost") << -1 << 2
            << "The instrument holds different values: Table row 99, Voltage(V): sent 1.5, holds 0; "
               "Table row 99, Temperature(K): sent 77.35, holds 0; Table row 100, Voltage(V): sent 1.5, holds 0; "
               "and 1 more.";
    }

    void readBackFindsWhatTheInstrumentGotWrong()
    {
        QFETCH(int, corruptRow);
        QFETCH(int, dropLastRows);
        QFETCH(QString, message);
        Bench bench;
        bench.instrument.withFirmware([&](sim::Firmware &firmware) {
            firmware.storeFaults.corruptRow = corruptRow;
            firmware.storeFaults.corruptColumn = 1;
            firmware.storeFaults.dropLastRows = dropLastRows;
        });
        fillSlopes(bench);
        for (int row = 0; row < 100; ++row)
            bench.window->setTemepratureData(row, 1.5f, 77.35f);
        const QStringList before = bench.calibrationTexts();

        bench.click("pbSetConstants");
        QCOMPARE(bench.modals.boxTexts(), QStringList{message});
        QCOMPARE(bench.calibrationTexts(), before);
    }

    void faithfulInstrumentGivesNoMessage()
    {
        Bench bench;
        bench.instrument.withFirmware([](sim::Firmware &firmware) { firmware.constants = sampleConstants(); });
        bench.click("pbGetConstants");
        const QStringList before = bench.calibrationTexts();
        bench.instrument.withFirmware([](sim::Firmware &firmware) { firmware.constants = sim::Constants(); });
        bench.click("pbSetConstants");
        QVERIFY(bench.modals.boxes.isEmpty());
        QCOMPARE(bench.calibrationTexts(), before);
        QVERIFY(bench.instrument.constants() == sampleConstants());
    }

    void silentReadBackIsReported()
    {
        Bench bench;
        sim::Faults faults;
        faults.silentCommands = {0x0A};
        bench.instrument.setFaults(faults);
        fillSlopes(bench);
        bench.click("pbSetConstants");
        QCOMPARE(bench.modals.boxTexts(), QStringList{QStringLiteral("The instrument did not answer.")});
    }

    void roundTripReachesTheEeprom()
    {
        Bench bench;
        bench.instrument.withFirmware([](sim::Firmware &firmware) { firmware.constants = sampleConstants(); });
        bench.click("pbGetConstants");
        bench.instrument.withFirmware([](sim::Firmware &firmware) { firmware.constants = sim::Constants(); });
        bench.click("pbSetConstants");
        const qint64 took = bench.click("pbWriteEeprom");
        QVERIFY(bench.instrument.waitForRequests(10, 2000));
        QCOMPARE(bench.instrument.requests().last().bytes, QByteArray::fromHex("0c"));
        QVERIFY2(took < 90, qPrintable(QString::number(took)));
        QVERIFY(bench.instrument.eeprom() == sampleConstants());
        QVERIFY(bench.modals.boxes.isEmpty());
    }

    void unplugDuringSetIsReportedOnceAndTheWindowStaysUsable()
    {
        Bench bench;
        sim::Faults faults;
        faults.unplugAfterRequests = 1;
        bench.instrument.setFaults(faults);
        fillSlopes(bench);
        bench.click("pbSetConstants");
        QCOMPARE(bench.modals.boxTexts(), QStringList{QStringLiteral("The connection to the instrument was lost.")});
        QCOMPARE(bench.requestCodes(), QByteArray::fromHex("07"));
        for (const char *name : Buttons)
            QVERIFY(bench.button(name)->isEnabled());

        bench.click("pbWriteEeprom");
        QCOMPARE(bench.modals.boxes.size(), 2);
        QCOMPARE(bench.modals.boxes.last().text, QStringLiteral("The instrument is not connected."));
    }
};

QTEST_MAIN(TestConstants)
#include "tst_constants.moc"
