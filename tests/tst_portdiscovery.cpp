#include "portdiscovery.h"

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
};

QTEST_GUILESS_MAIN(TestPortDiscovery)
#include "tst_portdiscovery.moc"
