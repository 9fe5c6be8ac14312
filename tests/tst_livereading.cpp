#include "servers.h"
#include "windowsupport.h"
#include "widget.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QtTest>

#include <sys/resource.h>

using testsupport::Bench;

namespace {

QList<QByteArray> requestBytes(const sim::Instrument &instrument)
{
    QList<QByteArray> bytes;
    const auto requests = instrument.requests();
    for (const sim::Request &request : requests)
        bytes.append(request.bytes);
    return bytes;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

const QList<QByteArray> LiveRequests{QByteArray::fromHex("0100"), QByteArray::fromHex("0200")};

} // namespace

// "Update Data" against the simulated instrument over a real pseudo-terminal.
class TestLiveReading : public QObject
{
    Q_OBJECT

private slots:
    void showsTheReadings_data()
    {
        QTest::addColumn<float>("voltage");
        QTest::addColumn<float>("temperature");
        QTest::addColumn<QString>("voltageText");
        QTest::addColumn<QString>("temperatureText");
        QTest::newRow("1.5 V, 300 K") << 1.5f << 300.0f << "1.5" << "300";
        QTest::newRow("short decimal rounding") << 0.1f << 273.15f << "0.1" << "273.15";
        QTest::newRow("many digits") << 1.23456789f << 77.3512345f << "1.23457" << "77.3512";
    }

    void showsTheReadings()
    {
        QFETCH(float, voltage);
        QFETCH(float, temperature);
        QFETCH(QString, voltageText);
        QFETCH(QString, temperatureText);

        Bench bench;
        bench.instrument.withFirmware([&](sim::Firmware &firmware) {
            firmware.voltage = voltage;
            firmware.temperature = temperature;
        });
        bench.click("pbUpdateData");
        QCOMPARE(bench.field("leVoltage")->text(), voltageText);
        QCOMPARE(bench.field("leTemperature")->text(), temperatureText);
        QCOMPARE(requestBytes(bench.instrument), LiveRequests);
        QVERIFY(bench.modals.boxes.isEmpty());
    }

    void showsTheReadingsThroughTheNetwork_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("socket://") << "raw";
        QTest::newRow("rfc2217://") << "telnet";
    }

    // The window named a port on the network: "Update Data" runs through the connection, here
    // a real ser2net on the loopback address.
    void showsTheReadingsThroughTheNetwork()
    {
        QFETCH(QString, kind);
        testsupport::Ser2netInstruments served;
        QString error;
        QVERIFY2(served.start(&error), qPrintable(error));
        sim::Instrument &instrument = served.instrument(kind);
        instrument.withFirmware([](sim::Firmware &firmware) {
            firmware.voltage = 1.5f;
            firmware.temperature = 300.0f;
        });

        testsupport::presentPorts({portdiscovery::instrumentPort(served.url(kind))});
        testsupport::ModalDriver modals;
        {
            Widget window;
            window.show();
            window.findChild<QPushButton *>(QStringLiteral("pbUpdateData"))->click();
            QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("leVoltage"))->text(), QStringLiteral("1.5"));
            QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("leTemperature"))->text(), QStringLiteral("300"));
        }
        portdiscovery::setPortSource({});
        QCOMPARE(requestBytes(instrument), LiveRequests);
        QVERIFY2(modals.boxes.isEmpty(), qPrintable(modals.boxTexts().join(QLatin1Char('\n'))));
    }

    // Replies that arrive whole in the end, however they travel, are read whole.
    void readsWholeReplies_data()
    {
        QTest::addColumn<int>("chunkSize");
        QTest::addColumn<int>("chunkGapUs");
        QTest::addColumn<QByteArray>("trailing");
        QTest::newRow("byte by byte") << 1 << 5000 << QByteArray();
        QTest::newRow("two pieces") << 2 << 20000 << QByteArray();
        QTest::newRow("extra bytes after the reply") << 0 << 0 << QByteArray::fromHex("deadbeef");
    }

    void readsWholeReplies()
    {
        QFETCH(int, chunkSize);
        QFETCH(int, chunkGapUs);
        QFETCH(QByteArray, trailing);

        Bench bench;
        sim::Faults faults;
        faults.chunkSize = chunkSize;
        faults.chunkGapUs = chunkGapUs;
        faults.trailingBytes = trailing;
        bench.instrument.setFaults(faults);
        bench.instrument.withFirmware([](sim::Firmware &firmware) {
            firmware.voltage = 1.5f;
            firmware.temperature = 300.0f;
        });
        // Twice: what one reply leaves behind must not spoil the next.
        for (int click = 0; click < 2; ++click) {
            bench.field("leVoltage")->clear();
            bench.field("leTemperature")->clear();
            bench.click("pbUpdateData");
            QCOMPARE(bench.field("leVoltage")->text(), QStringLiteral("1.5"));
            QCOMPARE(bench.field("leTemperature")->text(), QStringLiteral("300"));
        }
        QVERIFY(bench.modals.boxes.isEmpty());
    }

    void discardsBytesWaitingBeforeTheRequest()
    {
        Bench bench;
        bench.instrument.withFirmware([](sim::Firmware &firmware) {
            firmware.voltage = 1.5f;
            firmware.temperature = 300.0f;
        });
        bench.instrument.sendUnsolicited(QByteArray::fromHex("55"));
        QTest::qWait(50);
        bench.click("pbUpdateData");
        QCOMPARE(bench.field("leVoltage")->text(), QStringLiteral("1.5"));
        QCOMPARE(bench.field("leTemperature")->text(), QStringLiteral("300"));
    }

    void missingRepliesLeaveTheirFieldAndAreReported_data()
    {
        QTest::addColumn<QList<quint8>>("silentCommands");
        QTest::addColumn<int>("truncateTo");
        QTest::addColumn<int>("lateByMs");
        QTest::addColumn<QString>("voltageText");
        QTest::addColumn<QString>("temperatureText");
        QTest::addColumn<QByteArray>("requests");
        QTest::newRow("silent") << QList<quint8>{0x01, 0x02} << -1 << 0 << "old V" << "old K" << QByteArray("\x01");
        QTest::newRow("only the voltage answered")
            << QList<quint8>{0x02} << -1 << 0 << "1.5" << "old K" << QByteArray("\x01\x02");
        // Without a voltage the temperature is not even asked for.
        QTest::newRow("voltage unanswered")
            << QList<quint8>{0x01} << -1 << 0 << "old V" << "old K" << QByteArray("\x01");
        QTest::newRow("3-byte replies count as none") << QList<quint8>() << 3 << 0 << "old V" << "old K" << QByteArray("\x01");
        // A voltage arriving after its wait must never be shown as the temperature.
        QTest::newRow("voltage 150 ms late")
            << QList<quint8>() << -1 << 150 << "old V" << "old K" << QByteArray("\x01");
    }

    void missingRepliesLeaveTheirFieldAndAreReported()
    {
        QFETCH(QList<quint8>, silentCommands);
        QFETCH(int, truncateTo);
        QFETCH(int, lateByMs);
        QFETCH(QString, voltageText);
        QFETCH(QString, temperatureText);
        QFETCH(QByteArray, requests);

        Bench bench;
        sim::Faults faults;
        faults.silentCommands = silentCommands;
        faults.truncateTo = truncateTo;
        faults.replyDelayMs = lateByMs;
        faults.delayedReplies = 1;
        bench.instrument.setFaults(faults);
        bench.instrument.withFirmware([](sim::Firmware &firmware) {
            firmware.voltage = 1.5f;
            firmware.temperature = 300.0f;
        });
        bench.field("leVoltage")->setText(QStringLiteral("old V"));
        bench.field("leTemperature")->setText(QStringLiteral("old K"));

        const qint64 took = bench.click("pbUpdateData");
        QTest::qWait(lateByMs);
        QCOMPARE(bench.field("leVoltage")->text(), voltageText);
        QCOMPARE(bench.field("leTemperature")->text(), temperatureText);
        QCOMPARE(bench.requestCodes(), requests);
        QCOMPARE(bench.modals.boxTexts(), QStringList{QStringLiteral("The instrument did not answer.")});
        QCOMPARE(bench.modals.boxes.first().title, QStringLiteral("Error"));
        // A missing reply costs its whole wait: at least 100 ms from the flush.
        QVERIFY2(took >= 95, qPrintable(QString::number(took)));

        // The next click starts clean and reads both values.
        bench.instrument.setFaults({});
        bench.click("pbUpdateData");
        QCOMPARE(bench.field("leVoltage")->text(), QStringLiteral("1.5"));
        QCOMPARE(bench.field("leTemperature")->text(), QStringLiteral("300"));
    }

    void unpluggedInstrumentClosesThePortOnce()
    {
        Bench bench;
        qRegisterMetaType<QSerialPort::SerialPortError>();
        auto *port = bench.window->findChild<QSerialPort *>();
        QVERIFY(port && port->isOpen());
        QSignalSpy errors(port, &QSerialPort::errorOccurred);

        bench.instrument.unplug();
        QTRY_VERIFY_WITH_TIMEOUT(!port->isOpen(), 5000);

        // Idle with a dead port: the event loop must not spin on read errors.
        const double cpuBefore = cpuSeconds();
        QTest::qWait(500);
        const double cpuUsed = cpuSeconds() - cpuBefore;
        QVERIFY2(cpuUsed < 0.25, qPrintable(QString::number(cpuUsed)));
        QVERIFY2(errors.count() < 100, qPrintable(QString::number(errors.count())));

        bench.field("leVoltage")->setText(QStringLiteral("old V"));
        bench.click("pbUpdateData");
        QCOMPARE(bench.modals.boxTexts(), QStringList{QStringLiteral("The instrument is not connected.")});
        QCOMPARE(bench.field("leVoltage")->text(), QStringLiteral("old V"));

        // Still usable: the other actions say the same and the window stays up.
        bench.click("pbGetConstants");
        QCOMPARE(bench.modals.boxes.size(), 2);
        QVERIFY(bench.window->isVisible());
    }
};

QTEST_MAIN(TestLiveReading)
#include "tst_livereading.moc"
