#include "windowsupport.h"
#include "widget.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QtTest>

#include <cstring>
#include <limits>

using testsupport::Bench;

namespace {

enum class Fault { Unplug, Late, BytePieces, NonFinite, ExtraBytes, Unsolicited };

// The longest an action may take by the protocol's own waits, plus room for a slow machine;
// anything beyond it is a hang.
qint64 longestMs(const QString &button)
{
    const qint64 slack = 400;
    if (button == QLatin1String("pbUpdateData"))
        return 2 * 100 + slack;
    if (button == QLatin1String("pbGetConstants"))
        return 3 * 100 + slack;
    if (button == QLatin1String("pbSetConstants"))
        return 3 * 100 + 3 * 100 + slack;
    return slack;
}

QStringList fieldTexts(const Bench &bench)
{
    return QStringList{bench.field("leVoltage")->text(), bench.field("leTemperature")->text()}
        + bench.calibrationTexts();
}

using testsupport::sampleConstants;

} // namespace

Q_DECLARE_METATYPE(Fault)

// Every device action against every way the instrument or the link misbehaves: nothing
// crashes or hangs, fields change only from whole replies, failures are told once, and the
// program is usable afterwards.
class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void actionsSurviveFaults_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("message");

        const QString lost = QStringLiteral("The connection to the instrument was lost.");
        const QString silent = QStringLiteral("The instrument did not answer.");
        const struct
        {
            const char *button;
            const char *name;
        } actions[] = {{"pbUpdateData", "Update Data"}, {"pbGetConstants", "Get Constants"},
                       {"pbSetConstants", "Set Constants"}, {"pbWriteEeprom", "Write EEPROM"}};
        for (const auto &action : actions) {
            const QString button = QLatin1String(action.button);
            const bool eeprom = button == QLatin1String("pbWriteEeprom");
            const bool set = button == QLatin1String("pbSetConstants");
            // The commit gets through before the plug is pulled, so that action succeeds.
            QTest::addRow("%s, unplugged", action.name) << button << Fault::Unplug << (eeprom ? QString() : lost);
            QTest::addRow("%s, late answers", action.name) << button << Fault::Late << (eeprom ? QString() : silent);
            QTest::addRow("%s, 1-byte pieces", action.name) << button << Fault::BytePieces << QString();
            QTest::addRow("%s, NaN and infinity", action.name)
                << button << Fault::NonFinite
                << (set ? QStringLiteral("ADC slope: 'nan' is not a number.") : QString());
            QTest::addRow("%s, extra bytes", action.name) << button << Fault::ExtraBytes << QString();
            QTest::addRow("%s, bytes nobody asked for", action.name) << button << Fault::Unsolicited << QString();
        }
    }

    void actionsSurviveFaults()
    {
        QFETCH(QString, button);
        QFETCH(Fault, fault);
        QFETCH(QString, message);

        Bench bench;
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float inf = std::numeric_limits<float>::infinity();
        bench.instrument.withFirmware([&](sim::Firmware &firmware) {
            firmware.voltage = 1.5f;
            firmware.temperature = 300.0f;
            firmware.constants = sampleConstants();
            if (fault == Fault::NonFinite) {
                firmware.voltage = nan;
                firmware.temperature = -inf;
                firmware.constants.adcSlope = nan;
                firmware.constants.table[5].second = inf;
            }
        });
        if (button == QLatin1String("pbSetConstants")) {
            // Set sends what the window shows: fill it from the instrument first.
            bench.click("pbGetConstants");
            bench.instrument.clearRequests();
        }

        sim::Faults faults;
        switch (fault) {
        case Fault::Unplug:
            faults.unplugAfterRequests = 1;
            break;
        case Fault::Late:
            faults.replyDelayMs = 150;
            break;
        case Fault::BytePieces:
            faults.chunkSize = 1;
            break;
        case Fault::NonFinite:
            break;
        case Fault::ExtraBytes:
            faults.trailingBytes = QByteArray::fromHex("0000c07f0000803f55");
            break;
        case Fault::Unsolicited:
            faults.afterWrite = QByteArray::fromHex("aa55");
            bench.instrument.sendUnsolicited(QByteArray::fromHex("0000803f0000803f"));
            QTest::qWait(30);
            break;
        }
        bench.instrument.setFaults(faults);
        const QStringList before = fieldTexts(bench);

        const qint64 took = bench.click(button.toLatin1().constData());
        QVERIFY2(took <= longestMs(button), qPrintable(QString::number(took)));
        QCOMPARE(bench.modals.boxTexts(), message.isEmpty() ? QStringList() : QStringList{message});

        const QStringList after = fieldTexts(bench);
        if (fault == Fault::Unplug || button == QLatin1String("pbSetConstants")
            || button == QLatin1String("pbWriteEeprom")) {
            QCOMPARE(after, before);
        } else if (fault == Fault::NonFinite) {
            if (button == QLatin1String("pbUpdateData")) {
                QCOMPARE(bench.field("leVoltage")->text(), QStringLiteral("nan"));
                QCOMPARE(bench.field("leTemperature")->text(), QStringLiteral("-inf"));
            } else {
                QCOMPARE(bench.field("leADCslope")->text(), QStringLiteral("nan"));
                QCOMPARE(bench.cellText(5, 1), QStringLiteral("inf"));
            }
        } else if (fault != Fault::Late) {
            // Whole replies, however they travelled or whatever came with them.
            if (button == QLatin1String("pbUpdateData")) {
                QCOMPARE(bench.field("leVoltage")->text(), QStringLiteral("1.5"));
                QCOMPARE(bench.field("leTemperature")->text(), QStringLiteral("300"));
            } else {
                QCOMPARE(bench.field("leADCslope")->text(), QStringLiteral("1"));
                QCOMPARE(bench.field("leDACintercept")->text(), QStringLiteral("-12.5"));
                QCOMPARE(bench.cellText(99, 0), QStringLiteral("0.3625"));
                QCOMPARE(bench.cellText(99, 1), QStringLiteral("496.4"));
            }
        }
        if (button == QLatin1String("pbWriteEeprom") && fault != Fault::Unplug) {
            QVERIFY(bench.instrument.waitForRequests(1, 2000));
            // Compared bit for bit: NaN is never equal to itself.
            const auto committed = [&] {
                const sim::Constants eeprom = bench.instrument.eeprom();
                const sim::Constants held = bench.instrument.constants();
                return std::memcmp(&eeprom, &held, sizeof(sim::Constants)) == 0;
            };
            QTRY_VERIFY(committed());
        }

        // Afterwards the program is still there and answers the operator.
        for (const char *name : {"pbUpdateData", "pbGetConstants", "pbSetConstants", "pbWriteEeprom"})
            QVERIFY(bench.button(name)->isEnabled());
        if (fault == Fault::Unplug) {
            QTRY_VERIFY(!bench.window->findChild<QSerialPort *>()->isOpen());
            bench.modals.boxes.clear();
            bench.click("pbUpdateData");
            QCOMPARE(bench.modals.boxTexts(), QStringList{QStringLiteral("The instrument is not connected.")});
        } else {
            bench.instrument.setFaults({});
            bench.instrument.withFirmware([](sim::Firmware &firmware) {
                firmware.voltage = 0.25f;
                firmware.temperature = 77.35f;
            });
            QTest::qWait(fault == Fault::Late ? 400 : 20);  // late replies still on their way
            bench.modals.boxes.clear();
            bench.click("pbUpdateData");
            QCOMPARE(bench.field("leVoltage")->text(), QStringLiteral("0.25"));
            QCOMPARE(bench.field("leTemperature")->text(), QStringLiteral("77.35"));
            QVERIFY(bench.modals.boxes.isEmpty());
        }
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
