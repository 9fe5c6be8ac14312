#include "portdiscovery.h"
#include "reconnect.h"
#include "schedule.h"

#include <QSerialPortInfo>
#include <QtTest>

// How the operating system's description of a serial port becomes an entry that is, or is
// not, the instrument.
class TestPortDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void systemPortEntries_data()
    {
        QTest::addColumn<bool>("hasVendorId");
        QTest::addColumn<int>("vendorId");
        QTest::addColumn<bool>("hasProductId");
        QTest::addColumn<int>("productId");
        QTest::addColumn<bool>("instrument");
        QTest::newRow("the instrument") << true << 0x0483 << true << 0x5740 << true;
        QTest::newRow("identifiers swapped") << true << 0x5740 << true << 0x0483 << false;
        QTest::newRow("other product") << true << 0x0483 << true << 0x5741 << false;
        QTest::newRow("other vendor") << true << 0x0484 << true << 0x5740 << false;
        QTest::newRow("vendor not reported") << false << 0x0483 << true << 0x5740 << false;
        QTest::newRow("product not reported") << true << 0x0483 << false << 0x5740 << false;
        QTest::newRow("no USB identifiers") << false << 0 << false << 0 << false;
    }

    void systemPortEntries()
    {
        QFETCH(bool, hasVendorId);
        QFETCH(int, vendorId);
        QFETCH(bool, hasProductId);
        QFETCH(int, productId);
        QFETCH(bool, instrument);
        const portdiscovery::Port port = portdiscovery::portFromSystem(
            QStringLiteral("ttyACM0"), hasVendorId, quint16(vendorId), hasProductId, quint16(productId));
        QCOMPARE(port.name, QStringLiteral("ttyACM0"));
        QCOMPARE(portdiscovery::isInstrument(port), instrument);
    }

    // Without a source installed the list is the operating system's own, in its order.
    void listsTheSystemsPorts()
    {
        QStringList expected;
        const auto infos = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : infos)
            expected.append(info.portName());
        QStringList listed;
        const auto ports = portdiscovery::availablePorts();
        for (const portdiscovery::Port &port : ports)
            listed.append(port.name);
        QCOMPARE(listed, expected);
    }

    // Readings fall due at fixed times from the start; a time that passed while a reading was
    // busy is skipped, never made up for.
    void scheduleSkipsTimesAlreadyPast_data()
    {
        QTest::addColumn<QVector<qint64>>("askedAt");  // when each next() is called, ms from the start
        QTest::addColumn<QVector<qint64>>("dueAt");    // what it answers
        QTest::addColumn<qint64>("skipped");
        QTest::newRow("on time") << QVector<qint64>{0, 1, 101, 250} << QVector<qint64>{0, 100, 200, 300} << qint64(0);
        // Opening the port took 30 ms: the first reading is taken then, the grid counts from it.
        QTest::newRow("late first reading") << QVector<qint64>{30, 31} << QVector<qint64>{30, 130} << qint64(0);
        QTest::newRow("exactly due") << QVector<qint64>{0, 100, 200} << QVector<qint64>{0, 100, 200} << qint64(0);
        QTest::newRow("a slow reading") << QVector<qint64>{0, 350, 351} << QVector<qint64>{0, 400, 500} << qint64(3);
        QTest::newRow("back after an hour")
            << QVector<qint64>{0, 3600001} << QVector<qint64>{0, 3600100} << qint64(36000);
    }

    void scheduleSkipsTimesAlreadyPast()
    {
        QFETCH(QVector<qint64>, askedAt);
        QFETCH(QVector<qint64>, dueAt);
        QFETCH(qint64, skipped);
        constexpr qint64 Ms = 1000000;
        constexpr qint64 Start = 5000 * Ms;
        ReadingSchedule schedule(100 * Ms, Start);
        QVector<qint64> answered;
        for (qint64 asked : askedAt)
            answered << (schedule.next(Start + asked * Ms) - Start) / Ms;
        QCOMPARE(answered, dueAt);
        QCOMPARE(schedule.skipped(), skipped);
    }

    // Which names are tried to find a lost instrument again.
    void reconnectCandidates_data()
    {
        QTest::addColumn<bool>("named");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("present");  // name:serial of instrument ports, then others
        QTest::addColumn<QStringList>("tried");
        QTest::newRow("named port, nothing listed") << true << QString() << QString() << QStringList{"/tmp/link"};
        QTest::newRow("back under its name") << false << "A1" << "ttyACM0:A1" << QStringList{"ttyACM0"};
        QTest::newRow("back under a new name") << false << "A1" << "ttyACM1:A1" << QStringList{"ttyACM1"};
        QTest::newRow("old name first") << false << "A1" << "ttyACM3:A1;ttyACM0:A1" << QStringList{"ttyACM0", "ttyACM3"};
        QTest::newRow("another instrument took its name") << false << "A1" << "ttyACM0:B2" << QStringList{};
        QTest::newRow("not back yet") << false << "A1" << QString() << QStringList{};
        QTest::newRow("no serial: its name only") << false << QString() << "ttyACM0:;ttyACM1:" << QStringList{"ttyACM0"};
        QTest::newRow("not an instrument") << false << "A1" << "ttyS0:A1!" << QStringList{};
    }

    void reconnectCandidates()
    {
        QFETCH(bool, named);
        QFETCH(QString, serial);
        QFETCH(QString, present);
        QFETCH(QStringList, tried);
        QList<portdiscovery::Port> ports;
        for (QString entry : present.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const bool other = entry.endsWith(QLatin1Char('!'));
            entry.remove(QLatin1Char('!'));
            portdiscovery::Port port = other ? portdiscovery::Port() : portdiscovery::instrumentPort(QString());
            port.name = entry.section(QLatin1Char(':'), 0, 0);
            port.serialNumber = entry.section(QLatin1Char(':'), 1);
            ports << port;
        }
        portdiscovery::Port lost = portdiscovery::instrumentPort(QStringLiteral("ttyACM0"));
        lost.serialNumber = serial;
        const reconnect::Target target = named ? reconnect::namedPort(QStringLiteral("/tmp/link")) : reconnect::foundPort(lost);
        QCOMPARE(reconnect::candidates(target, ports), tried);
    }

    // The serial number of a port by the name the user gave: as listed, or as its device file.
    void serialNumberByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("serial");
        QTest::newRow("as listed") << "ttyACM0" << "TC-000123";
        QTest::newRow("its device file") << "/dev/ttyACM0" << "TC-000123";
        QTest::newRow("another port") << "ttyACM1" << "";
        QTest::newRow("a pseudo-terminal nobody lists") << "/dev/pts/3" << "";
        QTest::newRow("a network port") << "socket://127.0.0.1:2000" << "";
    }

    void serialNumberByName()
    {
        QFETCH(QString, name);
        QFETCH(QString, serial);
        portdiscovery::setPortSource([] {
            portdiscovery::Port port = portdiscovery::instrumentPort(QStringLiteral("ttyACM0"));
            port.serialNumber = QStringLiteral("TC-000123");
            return QList<portdiscovery::Port>{port};
        });
        const QString found = portdiscovery::serialNumberOf(name);
        portdiscovery::setPortSource({});
        QCOMPARE(found, serial);
    }
};

QTEST_GUILESS_MAIN(TestPortDiscovery)
#include "tst_portdiscovery.moc"
