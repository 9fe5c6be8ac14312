#include "metrics.h"
#include "requestframer.h"
#include "scpi.h"
#include "serveroptions.h"
#include "writeright.h"

#include "instrument.h"
#include "portname.h"
#include "ports.h"
#include "protocol.h"

#include <QtTest>

#include <memory>

namespace {

// Chunks of a client's bytes, each with the time it arrived.
struct Chunk
{
    qint64 ms;
    QByteArray bytes;
};

} // namespace

Q_DECLARE_METATYPE(QVector<Chunk>)

// The server's rules without its endpoints: framing a client's requests, the SCPI session
// against the simulated instrument, the metrics page and the right to write.
class TestServerCore : public QObject
{
    Q_OBJECT

private slots:
    void framing_data()
    {
        QTest::addColumn<QVector<Chunk>>("chunks");
        QTest::addColumn<QByteArray>("requests");  // whole requests, '|' between them, as hex
        QTest::addColumn<int>("dropped");
        const QByteArray table = QByteArray::fromHex("0b00") + QByteArray(800, '\x01');
        QVector<Chunk> packets;
        for (int at = 0; at < table.size(); at += 64)
            packets.append({at / 64, table.mid(at, 64)});
        QTest::newRow("reads, one by one") << QVector<Chunk>{{0, QByteArray::fromHex("0100")}, {1, QByteArray::fromHex("0200")}}
                                           << QByteArray("0100|0200") << 0;
        QTest::newRow("two in one chunk, the commit alone") << QVector<Chunk>{{0, QByteArray::fromHex("06000c0800")}}
                                                            << QByteArray("0600|0c|0800") << 0;
        QTest::newRow("a write cut anywhere") << QVector<Chunk>{{0, QByteArray::fromHex("0700000080")}, {5, QByteArray::fromHex("3f0000003f02")}, {6, QByteArray::fromHex("00")}}
                                              << QByteArray("07000000803f0000003f|0200") << 0;
        QTest::newRow("the table in USB packets") << packets << QByteArray(table.toHex() + "") << 0;
        QTest::newRow("an unknown code dropped alone") << QVector<Chunk>{{0, QByteArray::fromHex("550100ff0200")}}
                                                        << QByteArray("0100|0200") << 2;
        QTest::newRow("a stalled request dropped after a second")
            << QVector<Chunk>{{0, QByteArray::fromHex("070000")}, {999, QByteArray()}, {1000, QByteArray::fromHex("0100")}}
            << QByteArray("0100") << 1;
        QTest::newRow("slow but within the second") << QVector<Chunk>{{0, QByteArray::fromHex("01")}, {999, QByteArray::fromHex("00")}}
                                                    << QByteArray("0100") << 0;
    }

    void framing()
    {
        QFETCH(QVector<Chunk>, chunks);
        QFETCH(QByteArray, requests);
        QFETCH(int, dropped);
        RequestFramer framer;
        QByteArrayList framed;
        int droppedLines = 0;
        for (const Chunk &chunk : chunks) {
            const RequestFramer::Result result = framer.feed(chunk.bytes, chunk.ms);
            for (const QByteArray &request : result.requests)
                framed.append(request.toHex());
            droppedLines += result.dropped.size();
        }
        QCOMPARE(framed.join('|'), requests);
        QCOMPARE(droppedLines, dropped);
    }

    void headers_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<bool>("matches");
        QTest::newRow("long") << "MEASure:TEMPerature?" << "MEASure:TEMPerature?" << true;
        QTest::newRow("short") << "MEAS:TEMP?" << "MEASure:TEMPerature?" << true;
        QTest::newRow("any case") << "meas:Temperature?" << "MEASure:TEMPerature?" << true;
        QTest::newRow("neither form") << "MEASU:TEMP?" << "MEASure:TEMPerature?" << false;
        QTest::newRow("a query is not the command") << "CAL:ADC?" << "CALibration:ADC" << false;
        QTest::newRow("common command") << "*idn?" << "*IDN?" << true;
        QTest::newRow("a node short") << "CAL" << "CALibration:SAVE" << false;
    }

    void headers()
    {
        QFETCH(QString, header);
        QFETCH(QString, pattern);
        QFETCH(bool, matches);
        QCOMPARE(scpi::matches(header, pattern), matches);
    }

    // Lines as a client sends them, each with the reply line and the errors it leaves, against
    // the simulated instrument over a pseudo-terminal.
    void scpiSession_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<bool>("allowWrites");
        QTest::addColumn<bool>("silent");
        QTest::newRow("identity") << QStringList{"*IDN?"} << QStringList{"thermocal,instrument,TC0042,9.9"} << false << false;
        QTest::newRow("fresh readings, compound") << QStringList{"MEAS:TEMP?;:meas:volt?"} << QStringList{"77.35;1.0015"} << false << false;
        QTest::newRow("constants") << QStringList{"CAL:ADC?;CALibration:DAC?"} << QStringList{"1.25,0.5;2,-3"} << false << false;
        QTest::newRow("an undefined header gets no reply, only its error")
            << QStringList{"FOO?", "SYST:ERR?", "SYST:ERR?"}
            << QStringList{"", "-113,\"Undefined header;FOO?\"", "0,\"No error\""} << false << false;
        QTest::newRow("*CLS empties the queue") << QStringList{"BAR", "*CLS;SYST:ERR?"} << QStringList{"", "0,\"No error\""} << false << false;
        QTest::newRow("a write without --allow-writes") << QStringList{"CAL:ADC 2,1", "SYST:ERR?;CAL:ADC?"}
                                                        << QStringList{"", "-203,\"Command protected\";1.25,0.5"} << false << false;
        QTest::newRow("a write, verified") << QStringList{"CAL:ADC 2.5,-0.125;CAL:ADC?", "SYST:ERR?"}
                                           << QStringList{"2.5,-0.125", "0,\"No error\""} << true << false;
        QTest::newRow("a slope of 0") << QStringList{"CAL:DAC 0,1;SYST:ERR?;CAL:DAC?"}
                                      << QStringList{"-222,\"Data out of range;a slope of 0\";2,-3"} << true << false;
        QTest::newRow("a wrong count of numbers") << QStringList{"CAL:TABL 1,2,3", "SYST:ERR?"}
                                                  << QStringList{"", "-222,\"Data out of range;200 numbers expected, 3 given\""} << true << false;
        QTest::newRow("no answer") << QStringList{"MEAS:TEMP?", "SYST:ERR?"}
                                   << QStringList{"9.91E37", "-240,\"Hardware error;The instrument did not answer.\""} << false << true;
    }

    void scpiSession()
    {
        QFETCH(QStringList, lines);
        QFETCH(QStringList, replies);
        QFETCH(bool, allowWrites);
        QFETCH(bool, silent);
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        instrument.withFirmware([](sim::Firmware &firmware) {
            firmware.voltage = 1.0015f;
            firmware.temperature = 77.35f;
            firmware.constants.adcSlope = 1.25f;
            firmware.constants.adcIntercept = 0.5f;
            firmware.constants.dacSlope = 2.0f;
            firmware.constants.dacIntercept = -3.0f;
        });
        if (silent) {
            sim::Faults faults;
            faults.silent = true;
            instrument.setFaults(faults);
        }
        portname::Opened opened = portname::open(instrument.portName());
        QVERIFY2(opened.port, qPrintable(opened.reason));
        auto *port = opened.port.get();
        scpi::Session session(QStringLiteral("thermocal,instrument,TC0042,9.9"), allowWrites,
                              [port](const QByteArray &request, int replyLength) {
                                  return exchangeOn(port, request, replyLength);
                              });
        QStringList got;
        for (const QString &line : lines)
            got.append(session.handle(line));
        QCOMPARE(got, replies);
    }

    // The error queue keeps the oldest errors and says when it overflowed.
    void errorQueueOverflows()
    {
        scpi::ErrorQueue queue;
        for (int index = 0; index < scpi::ErrorQueue::Capacity + 5; ++index)
            queue.push(scpi::undefinedHeader(QString::number(index)));
        QCOMPARE(queue.size(), scpi::ErrorQueue::Capacity);
        QCOMPARE(queue.pop().detail, QStringLiteral("0"));
        for (int index = 1; index < scpi::ErrorQueue::Capacity - 1; ++index)
            queue.pop();
        QCOMPARE(queue.pop().reply(), QStringLiteral("-350,\"Queue overflow\""));
        QCOMPARE(queue.pop().reply(), QStringLiteral("0,\"No error\""));
    }

    void metricsPage()
    {
        metrics::Snapshot snapshot;
        snapshot.port = QStringLiteral("C:\\ports\\\"lab\"");
        snapshot.serial = QStringLiteral("TC0042");
        snapshot.temperature = 77.35f;
        snapshot.voltage = 1.0015f;
        snapshot.up = true;
        snapshot.answered = 41;
        snapshot.unanswered = 1;
        snapshot.lastReadingUtcMs = 1796650625597;
        const QString page = QString::fromUtf8(metrics::page(snapshot));
        const QString labels = QStringLiteral("port=\"C:\\\\ports\\\\\\\"lab\\\"\",serial=\"TC0042\"");
        QVERIFY2(page.contains(QStringLiteral("\nthermocal_temperature_kelvin{%1} 77.35\n").arg(labels)), qPrintable(page));
        QVERIFY2(page.contains(QStringLiteral("\nthermocal_voltage_volts{%1} 1.0015\n").arg(labels)), qPrintable(page));
        QVERIFY2(page.contains(QStringLiteral("\nthermocal_readings_total{%1,result=\"unanswered\"} 1\n").arg(labels)), qPrintable(page));
        QVERIFY2(page.contains(QStringLiteral("\nthermocal_last_reading_timestamp_seconds{%1} 1796650625.597\n").arg(labels)), qPrintable(page));
        QVERIFY2(page.contains(QStringLiteral("# TYPE thermocal_readings_total counter\n")), qPrintable(page));
        // With no answered reading yet there is no value to show, and the instrument is down.
        metrics::Snapshot none;
        const QString empty = QString::fromUtf8(metrics::page(none));
        QVERIFY(!empty.contains(QLatin1String("thermocal_temperature_kelvin")));
        QVERIFY(empty.contains(QLatin1String("thermocal_up{port=\"\",serial=\"\"} 0\n")));
    }

    void writeRight_data()
    {
        QTest::addColumn<QString>("steps");   // "client@ms" claims, "-client" releases
        QTest::addColumn<QString>("results"); // y: claimed, n: refused
        QTest::newRow("the first writer holds it") << "1@0 2@10 1@20 2@9000" << "y n y n";
        QTest::newRow("free once idle") << "1@0 2@9999 2@10000 1@10001" << "y n y n";
        QTest::newRow("free once gone") << "1@0 -1 2@5" << "y - y";
        QTest::newRow("a refused write claims nothing") << "1@0 2@5000 1@9000 2@18999 2@19000" << "y n y n y";
    }

    void writeRight()
    {
        QFETCH(QString, steps);
        QFETCH(QString, results);
        WriteRight right;
        QStringList got;
        for (const QString &step : steps.split(QLatin1Char(' '))) {
            if (step.startsWith(QLatin1Char('-'))) {
                right.release(step.mid(1).toULongLong());
                got << QStringLiteral("-");
                continue;
            }
            const bool claimed = right.claim(step.section(QLatin1Char('@'), 0, 0).toULongLong(), step.section(QLatin1Char('@'), 1).toLongLong());
            got << (claimed ? QStringLiteral("y") : QStringLiteral("n"));
        }
        QCOMPARE(got.join(QLatin1Char(' ')), results);
    }

    void options_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");  // -1: runs
        QTest::addColumn<QString>("said");
        QTest::newRow("every endpoint") << QStringList{"--port", "ttyACM0", "--raw", "5024", "--scpi", "5025", "--metrics", "9125", "--pty", "/tmp/x"} << -1 << QString();
        QTest::newRow("nothing to serve") << QStringList{"--port", "ttyACM0"} << 2 << "nothing to serve";
        QTest::newRow("a port number out of range") << QStringList{"--scpi", "70000"} << 2 << "--scpi takes a TCP port from 1 to 65535, not '70000'";
        QTest::newRow("not an address") << QStringList{"--raw", "1", "--listen", "lab-pc"} << 2 << "--listen takes an IP address";
        QTest::newRow("a mode that is not octal") << QStringList{"--pty", "/tmp/x", "--pty-mode", "0999"} << 2 << "--pty-mode takes permissions in octal";
        QTest::newRow("a URL of an unknown kind") << QStringList{"--raw", "1", "--port", "telnet://lab:23"} << 2 << "--port: 'telnet' is not a kind of port URL";
        QTest::newRow("the interval's range") << QStringList{"--raw", "1", "--interval", "0"} << 2 << "--interval takes seconds from 0.01 to 86400, not '0'";
        QTest::newRow("an argument") << QStringList{"ttyACM0"} << 2 << "takes no arguments";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "thermocal-server 9.9";
    }

    void options()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        const ParsedServerOptions parsed = parseServerOptions(QStringList{"thermocal-server"} + arguments, QStringLiteral("9.9"));
        QCOMPARE(parsed.outcome == ParsedServerOptions::Outcome::Run, status < 0);
        if (status >= 0)
            QCOMPARE(parsed.status, status);
        QVERIFY2((parsed.output + parsed.error).contains(said), qPrintable(parsed.output + parsed.error));
        if (status < 0) {
            QCOMPARE(parsed.options.listen, QHostAddress(QHostAddress::LocalHost));
            QVERIFY(!parsed.options.allowWrites);
        }
    }

private:
    // One exchange as the server makes it: a reading request and its reply, or a write.
    static scpi::Outcome exchangeOn(ports::Port *port, const QByteArray &request, int replyLength)
    {
        protocol::Link link(port);
        scpi::Outcome outcome;
        const auto command = protocol::commandOf(quint8(request.at(0)));
        if (replyLength > 0) {
            const auto values = link.query(*command);
            if (values) {
                for (float value : *values)
                    protocol::appendFloat(outcome.reply, value);
            }
        } else if (protocol::isWrite(*command) && *command != protocol::Command::CommitEeprom) {
            link.pacedSend(request);
        } else {
            link.plainSend(request);
        }
        outcome.ok = link.failure() == protocol::LinkFailure::None;
        outcome.error = protocol::message(link.failure());
        return outcome;
    }
};

QTEST_GUILESS_MAIN(TestServerCore)
#include "tst_servercore.moc"
