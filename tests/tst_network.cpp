#include "device.h"
#include "instrument.h"
#include "portname.h"
#include "servers.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtTest>

#include <cstring>

namespace {

float fromBits(quint32 bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A set whose bytes on the wire hold 0xFF often, in runs too.
device::DeviceSet setFullOfFF()
{
    device::DeviceSet set;
    set.adcSlope = fromBits(0x3F7FFFFF);     // 0.99999994: FF FF 7F 3F
    set.adcIntercept = fromBits(0xBFFFFFFF); // FF FF FF BF
    set.dacSlope = fromBits(0x7F7FFFFF);     // the largest float: FF FF 7F 7F
    set.dacIntercept = fromBits(0x000000FF);
    for (int row = 0; row < set.table.size(); ++row)
        set.table[row] = {fromBits(0x3F7FFF00u | quint32(0xFF - row)), fromBits(0x42FFFFFFu - quint32(row))};
    return set;
}

} // namespace

// The instrument reached through a real ser2net on the loopback address.
class TestNetwork : public QObject
{
    Q_OBJECT

private:
    sim::Instrument m_rawInstrument;
    sim::Instrument m_rfc2217Instrument;
    testsupport::Ser2net m_ser2net;

    QString urlOf(const QString &kind) const
    {
        return kind == QLatin1String("raw") ? m_ser2net.rawUrl() : m_ser2net.rfc2217Url();
    }
    sim::Instrument &instrumentOf(const QString &kind)
    {
        return kind == QLatin1String("raw") ? m_rawInstrument : m_rfc2217Instrument;
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_rawInstrument.start(&error), qPrintable(error));
        QVERIFY2(m_rfc2217Instrument.start(&error), qPrintable(error));
        QVERIFY2(m_ser2net.start(m_rawInstrument.portName(), m_rfc2217Instrument.portName()),
                 qPrintable(m_ser2net.error()));
    }

    void writeAndReadBack_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("socket://") << "raw";
        QTest::newRow("rfc2217://") << "telnet";
    }

    // Every byte of the set arrives and comes back as sent, 0xFF included.
    void writeAndReadBack()
    {
        QFETCH(QString, kind);
        const portname::Opened opened = portname::open(urlOf(kind));
        QVERIFY2(opened.port, qPrintable(opened.reason));
        protocol::Link link(opened.port.get());
        const device::DeviceSet sent = setFullOfFF();
        device::writeSet(link, sent);
        const std::optional<QVector<device::Difference>> differences = device::verify(link, sent);
        QVERIFY2(differences, qPrintable(protocol::message(link.failure())));
        QVERIFY2(differences->isEmpty(), qPrintable(device::describe(*differences, 3, device::Digits::Exact).join('\n')));
        const sim::Constants held = instrumentOf(kind).constants();
        QCOMPARE(std::memcmp(&held.adcSlope, &sent.adcSlope, sizeof(float)), 0);
        QCOMPARE(std::memcmp(&held.table[99].second, &sent.table[99].second, sizeof(float)), 0);
    }

    void refused_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("reason");
        QTest::newRow("nothing listening") << QStringLiteral("rfc2217://127.0.0.1:%1").arg(testsupport::freePort())
                                           << "Connection refused";
        QTest::newRow("raw port held by another client") << "raw" << "the server closed the connection: Port already in use";
        QTest::newRow("RFC 2217 port held by another client")
            << "telnet" << "the server closed the connection: Port already in use";
    }

    // Refusals come within the connect wait, with the server's reason.
    void refused()
    {
        QFETCH(QString, url);
        QFETCH(QString, reason);
        std::unique_ptr<QIODevice> first;
        if (!url.contains(QLatin1String("://"))) {
            portname::Opened holder = portname::open(urlOf(url));
            QVERIFY2(holder.port, qPrintable(holder.reason));
            first = std::move(holder.port);
            url = urlOf(url);
        }
        QElapsedTimer clock;
        clock.start();
        const portname::Opened second = portname::open(url);
        QVERIFY(!second.port);
        QVERIFY2(second.reason.contains(reason), qPrintable(second.reason));
        QVERIFY(clock.elapsed() < portname::ConnectTimeoutMs);
    }

    // A server that goes away is a lost connection, not a silent instrument.
    void serverStopped()
    {
        const portname::Opened opened = portname::open(m_ser2net.rfc2217Url());
        QVERIFY2(opened.port, qPrintable(opened.reason));
        m_ser2net.stop();
        protocol::Link link(opened.port.get());
        const device::Reading reading = device::readLive(link);
        QVERIFY(!reading.voltage);
        QCOMPARE(link.failure(), protocol::LinkFailure::ConnectionLost);
        QVERIFY2(m_ser2net.restart(), qPrintable(m_ser2net.error()));
    }
};

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
