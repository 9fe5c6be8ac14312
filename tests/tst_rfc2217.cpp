#include "portname.h"
#include "ports.h"
#include "rfc2217.h"

#include <QtTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QString describe(const rfc2217::TelnetCommand &command)
{
    const char *verb = command.verb == rfc2217::Will ? "WILL"
                     : command.verb == rfc2217::Wont ? "WONT"
                     : command.verb == rfc2217::Do   ? "DO"
                     : command.verb == rfc2217::Dont ? "DONT"
                                                     : "SB";
    QString text = QStringLiteral("%1 %2").arg(QLatin1String(verb)).arg(command.option);
    if (command.verb == rfc2217::Sb)
        text += QLatin1Char(' ') + QString::fromLatin1(command.payload.toHex());
    return text;
}

} // namespace

// The Telnet side of an RFC 2217 port, and the port names that choose it.
class TestRfc2217 : public QObject
{
    Q_OBJECT

private slots:
    // What ser2net sends, cut into TCP segments anywhere: only data bytes come out as data.
    void decode_data()
    {
        QTest::addColumn<QList<QByteArray>>("segments");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QStringList>("commands");

        QTest::newRow("a reply") << QList<QByteArray>{hex("0ff39a42")} << hex("0ff39a42") << QStringList();
        // 0.99999994 is FF FF 7F 3F.
        QTest::newRow("doubled 0xFF in data") << QList<QByteArray>{hex("ffffffff7f3f")} << hex("ffff7f3f")
                                              << QStringList();
        QTest::newRow("reply split inside a doubled 0xFF")
            << QList<QByteArray>{hex("0fff"), hex("ff9a"), hex("42")} << hex("0fff9a42") << QStringList();
        QTest::newRow("modem state notification in the middle of a reply")
            << QList<QByteArray>{hex("0ff3fffa2c6b00fff09a42")} << hex("0ff39a42") << QStringList{"SB 44 6b00"};
        QTest::newRow("notification cut across three segments")
            << QList<QByteArray>{hex("0fff"), hex("fa2c6a"), hex("60ff"), hex("f09a42")} << hex("0f9a42")
            << QStringList{"SB 44 6a60"};
        QTest::newRow("0xFF doubled inside a subnegotiation")
            << QList<QByteArray>{hex("fffa2c65ffff0000fff0")} << QByteArray() << QStringList{"SB 44 65ff0000"};
        QTest::newRow("ser2net's greeting, then settings answered")
            << QList<QByteArray>{hex("fffb03fffd03fffb01fffe01fffd00fffb00fffd2c"),
                                 hex("fffa2c650007a120fff0fffa2c6608fff0")}
            << QByteArray()
            << QStringList{"WILL 3", "DO 3", "WILL 1", "DONT 1", "DO 0", "WILL 0", "DO 44", "SB 44 650007a120",
                           "SB 44 6608"};
        QTest::newRow("NOP and go-ahead dropped") << QList<QByteArray>{hex("01fff102fff903")} << hex("010203")
                                                  << QStringList();
        QTest::newRow("negotiation cut after IAC") << QList<QByteArray>{hex("41ff"), hex("fd"), hex("1842")}
                                                   << hex("4142") << QStringList{"DO 24"};
        // The longest subnegotiation taken is the option and 511 bytes (one of them a doubled
        // 0xFF); one byte more is no real server's, and nothing after it is taken, its end
        // included.
        const QByteArray longest = QByteArray(510, 'x') + hex("ff");
        QTest::newRow("subnegotiation at the limit, then one over it")
            << QList<QByteArray>{hex("fffa2c") + QByteArray(510, 'x') + hex("fffffff041"),
                                 hex("fffa2c") + QByteArray(512, 'x'), hex("fff042")}
            << hex("41") << QStringList{QStringLiteral("SB 44 ") + QString::fromLatin1(longest.toHex())};
        QTest::newRow("doubled 0xFF over the limit")
            << QList<QByteArray>{hex("fffa2c") + QByteArray(510, 'x') + hex("ffffffff"), hex("fff041")} << QByteArray()
            << QStringList();
    }

    void decode()
    {
        QFETCH(QList<QByteArray>, segments);
        QFETCH(QByteArray, data);
        QFETCH(QStringList, commands);
        rfc2217::Decoder decoder;
        QByteArray decoded;
        QStringList seen;
        for (const QByteArray &segment : segments) {
            decoder.feed(segment);
            decoded += decoder.takeData();
            for (const rfc2217::TelnetCommand &command : decoder.takeCommands())
                seen.append(describe(command));
        }
        QCOMPARE(decoded.toHex(), data.toHex());
        QCOMPARE(seen, commands);
    }

    // A subnegotiation that never ends holds no more than the limit, however long it goes.
    void endlessSubnegotiation_data()
    {
        QTest::addColumn<QByteArray>("filler");
        QTest::newRow("plain bytes") << QByteArray("x");
        QTest::newRow("doubled 0xFF") << hex("ffff");
    }

    void endlessSubnegotiation()
    {
        QFETCH(QByteArray, filler);
        constexpr int Pieces = 1000;
        const QByteArray piece = filler.repeated(1024);
        rfc2217::Decoder decoder;
        decoder.feed(hex("41fffa2c"));
        for (int i = 0; i < Pieces; ++i) {
            decoder.feed(piece);
            QVERIFY(decoder.heldBytes() <= 1 + ports::SubnegotiationLimitBytes);
        }
        QVERIFY(decoder.overflowed());
        QCOMPARE(decoder.takeData(), QByteArray("A"));
        QVERIFY(decoder.takeCommands().isEmpty());
    }

    void portNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("error");

        const int local = int(portname::Kind::Local);
        const int raw = int(portname::Kind::Socket);
        const int telnet = int(portname::Kind::Rfc2217);
        QTest::newRow("device path") << "/dev/ttyACM1" << local << "" << 0 << "";
        QTest::newRow("raw, IPv4") << "socket://192.168.1.20:4001" << raw << "192.168.1.20" << 4001 << "";
        QTest::newRow("RFC 2217, host name") << "rfc2217://cryostat-pi.lab:2217" << telnet << "cryostat-pi.lab" << 2217
                                             << "";
        QTest::newRow("scheme in capitals") << "RFC2217://localhost:7000" << telnet << "localhost" << 7000 << "";
        QTest::newRow("IPv6 in brackets") << "rfc2217://[::1]:2217" << telnet << "::1" << 2217 << "";
        QTest::newRow("IPv6 without brackets") << "socket://::1:2217" << raw << "" << 0 << "goes in brackets";
        QTest::newRow("not IPv6 in brackets") << "socket://[lab]:2217" << raw << "" << 0 << "is not an IPv6 address";
        QTest::newRow("no port") << "rfc2217://lab" << telnet << "" << 0 << "port number is missing";
        QTest::newRow("port 0") << "rfc2217://lab:0" << telnet << "" << 0 << "'0' is not a port number";
        QTest::newRow("path after the port") << "socket://lab:4001/x" << raw << "" << 0 << "'4001/x' is not a port number";
        QTest::newRow("no host") << "socket://:4001" << raw << "" << 0 << "host is missing";
        QTest::newRow("space in the host") << "socket://my lab:4001" << raw << "" << 0 << "is not a host name";
        QTest::newRow("unknown kind") << "telnet://lab:23" << local << "" << 0 << "'telnet' is not a kind of port URL";
    }

    void portNames()
    {
        QFETCH(QString, name);
        QFETCH(int, kind);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, error);
        QString problem;
        const std::optional<portname::Address> address = portname::parse(name, &problem);
        if (!error.isEmpty()) {
            QVERIFY(!address);
            QVERIFY2(problem.contains(error), qPrintable(problem));
            // Opening says the same, without trying anything.
            const portname::Opened opened = portname::open(name);
            QVERIFY(!opened.port);
            QCOMPARE(opened.error, portname::OpenError::BadName);
            QCOMPARE(opened.reason, problem);
            return;
        }
        QVERIFY2(address, qPrintable(problem));
        QCOMPARE(int(address->kind), kind);
        QCOMPARE(address->host, host);
        QCOMPARE(int(address->port), port);
    }
};

QTEST_GUILESS_MAIN(TestRfc2217)
#include "tst_rfc2217.moc"
