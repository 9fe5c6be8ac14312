#include "instrumentowner.h"
#include "metrics.h"
#include "requestframer.h"
#include "requeststream.h"
#include "scpi.h"
#include "serveroptions.h"
#include "writeright.h"

#include "instrument.h"
#include "protocol.h"
#include "requestqueue.h"

#include <QtTest>

#include <cmath>
#include <map>
#include <memory>
#include <optional>

namespace {

const QString Identity = QStringLiteral("thermocal,instrument,TC0042,9.9");

// The server's owner of the instrument as it ships, on the simulated instrument over a
// pseudo-terminal, driven from the test's thread. Its schedule takes one reading at the
// start and then none for an hour, unless asked for more.
class Owner
{
public:
    Owner(const QString &port, bool allowWrites, qint64 intervalNs = 3600LL * 1000000000)
        : owner(reconnect::namedPort(port), options(intervalNs), Identity, allowWrites)
    {
        owner.start();
    }
    ~Owner() { owner.finish(); }

    // The reply line to one SCPI line of `client`.
    QString line(quint64 client, const QString &text)
    {
        const int before = scpi.count();
        std::shared_ptr<scpi::Session> &session = sessions[client];
        if (!session)
            session = owner.newSession();
        owner.scpiLine(client, text, session);
        if (!QTest::qWaitFor([&] { return scpi.count() > before; }, 10000))
            return QStringLiteral("(no reply)");
        return scpi.last().at(1).toString();
    }
    // The reply to one request of the instrument's own protocol.
    QByteArray request(quint64 client, const QByteArray &bytes, bool local)
    {
        const int before = raw.count();
        owner.request(client, bytes, local);
        if (!QTest::qWaitFor([&] { return raw.count() > before; }, 10000))
            return "(no reply)";
        return raw.last().at(1).toByteArray();
    }

    InstrumentOwner owner;
    QSignalSpy scpi{&owner, &InstrumentOwner::scpiReplied};
    QSignalSpy raw{&owner, &InstrumentOwner::replied};
    QSignalSpy readings{&owner, &InstrumentOwner::reading};
    // Each client's session, as its connection holds it in the server.
    std::map<quint64, std::shared_ptr<scpi::Session>> sessions;

private:
    static readingloop::Options options(qint64 intervalNs)
    {
        readingloop::Options options;
        options.intervalNs = intervalNs;
        return options;
    }
};

void setReadings(sim::Instrument &instrument, float volts = 1.0015f, float kelvin = 77.35f)
{
    instrument.withFirmware([volts, kelvin](sim::Firmware &firmware) {
        firmware.voltage = volts;
        firmware.temperature = kelvin;
        firmware.constants.adcSlope = 1.25f;
        firmware.constants.adcIntercept = 0.5f;
        firmware.constants.dacSlope = 2.0f;
        firmware.constants.dacIntercept = -3.0f;
    });
}

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

    // Lines as a client sends them, each with the reply line and the errors it leaves,
    // through the shipped owner to the simulated instrument over a pseudo-terminal.
    void scpiSession_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<bool>("allowWrites");
        QTest::addColumn<bool>("silent");
        QTest::newRow("identity") << QStringList{"*IDN?"} << QStringList{Identity} << false << false;
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
        QTest::newRow("too few numbers") << QStringList{"CAL:TABL 1,2,3", "SYST:ERR?"}
                                         << QStringList{"", "-109,\"Missing parameter;200 numbers expected, 3 given\""} << true << false;
        QTest::newRow("no numbers") << QStringList{"CAL:ADC;SYST:ERR?"} << QStringList{"-109,\"Missing parameter;2 numbers expected, 0 given\""} << true << false;
        QTest::newRow("too many numbers") << QStringList{"CAL:ADC 1,2,3;SYST:ERR?"}
                                          << QStringList{"-108,\"Parameter not allowed;2 numbers expected, 3 given\""} << true << false;
        QTest::newRow("a word where a number is due") << QStringList{"CAL:ADC abc,1;SYST:ERR?;CAL:ADC?"}
                                                      << QStringList{"-104,\"Data type error;'abc' is not a number\";1.25,0.5"} << true << false;
        QTest::newRow("protected before its missing numbers") << QStringList{"CAL:ADC;SYST:ERR?;SYST:ERR?"}
                                                              << QStringList{"-203,\"Command protected\";0,\"No error\""} << false << false;
        QTest::newRow("a save without --allow-writes") << QStringList{"CAL:SAVE;SYST:ERR?"} << QStringList{"-203,\"Command protected\""}
                                                       << false << false;
        QTest::newRow("a parameter on a command that takes none")
            << QStringList{"CAL:SAVE 1;*CLS 1;SYST:ERR?;SYST:ERR?"}
            << QStringList{"-108,\"Parameter not allowed;CAL:SAVE\";-108,\"Parameter not allowed;*CLS\""} << true << false;
        QTest::newRow("an enable without its value") << QStringList{"*SRE;SYST:ERR?;*SRE?"}
                                                     << QStringList{"-109,\"Missing parameter;a register value from 0 to 255\";0"} << false << false;
        QTest::newRow("a parameter on a query that takes none")
            << QStringList{"MEAS:TEMP? 5", "SYST:ERR?"} << QStringList{"", "-108,\"Parameter not allowed;MEAS:TEMP?\""} << false << false;
        QTest::newRow("no answer") << QStringList{"MEAS:TEMP?", "SYST:ERR?"}
                                   << QStringList{"9.91E37", "-240,\"Hardware error;The instrument did not answer.\""} << false << true;
        // IEEE 488.2's common commands, as pymeasure and QCoDeS send them unasked.
        QTest::newRow("*OPC? once the earlier commands are done") << QStringList{"MEAS:TEMP?;*OPC?", "*WAI;*OPC?"}
                                                                << QStringList{"77.35;1", "1"} << false << false;
        QTest::newRow("*OPC sets the event register's first bit") << QStringList{"*OPC;*ESR?;*ESR?"} << QStringList{"1;0"} << false << false;
        QTest::newRow("the event register follows the errors' classes")
            << QStringList{"FOO", "CAL:ADC 2,1", "*ESR?", "*ESR?"} << QStringList{"", "", "48", "0"} << false << false;
        QTest::newRow("an execution error and a device error")
            << QStringList{"*ESE 255;*ESE?", "*TST?", "*ESR?"} << QStringList{"255", "1", "24"} << false << true;
        QTest::newRow("the status byte: errors waiting, an enabled event, the summary")
            << QStringList{"*STB?", "FOO", "*STB?", "*ESE 32;*STB?", "*SRE 32;*SRE?;*STB?", "*CLS;*STB?"}
            << QStringList{"0", "", "4", "36", "32;100", "0"} << false << false;
        // IEEE 488.2: *RST leaves the error queue, the event register and the enables alone.
        QTest::newRow("*RST keeps the queue, the register and the enables")
            << QStringList{"FOO;*ESE 4;*SRE 4", "*RST;*ESE?;*SRE?;SYST:ERR:COUN?;*ESR?;CAL:ADC?"}
            << QStringList{"", "4;4;1;32;1.25,0.5"} << false << false;
        QTest::newRow("*TST? passes while the instrument answers") << QStringList{"*TST?;SYST:ERR:COUN?"} << QStringList{"0;0"} << false << false;
        QTest::newRow("*TST? fails with its error queued")
            << QStringList{"*TST?", "SYST:ERR:COUN?;SYST:ERR?;SYST:ERR?"}
            << QStringList{"1", "2;-240,\"Hardware error;The instrument did not answer.\";-330,\"Self-test failed;the instrument gave no reading\""}
            << false << true;
        QTest::newRow("register values checked") << QStringList{"*ESE abc;*ESE 256;*ESE;SYST:ERR?;SYST:ERR?;SYST:ERR?"}
                                                 << QStringList{"-104,\"Data type error;'abc' is not a number\";-222,\"Data out of range;a register value from 0 to 255\";-109,\"Missing parameter;a register value from 0 to 255\""}
                                                 << false << false;
        QTest::newRow("the SCPI version, and the long error form") << QStringList{"SYSTem:VERSion?;FOO;SYSTem:ERRor:NEXT?"}
                                                                  << QStringList{"1999.0;-113,\"Undefined header;FOO\""} << false << false;
    }

    void scpiSession()
    {
        QFETCH(QStringList, lines);
        QFETCH(QStringList, replies);
        QFETCH(bool, allowWrites);
        QFETCH(bool, silent);
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        setReadings(instrument);
        if (silent) {
            sim::Faults faults;
            faults.silent = true;
            instrument.setFaults(faults);
        }
        Owner owner(instrument.portName(), allowWrites);
        QStringList got;
        for (const QString &line : lines)
            got.append(owner.line(1, line));
        QCOMPARE(got, replies);
    }

    void metricsPage()
    {
        metrics::Snapshot snapshot;
        snapshot.port = QStringLiteral("C:\\ports\\\"lab\"");
        snapshot.serial = QStringLiteral("TC0042");
        snapshot.temperature = 77.35f;
        snapshot.voltage = 1.0015f;
        snapshot.state = metrics::InstrumentState::Reading;
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
    // What reaches the instrument of each write, through the raw protocol (a network client
    // or a pseudo-terminal) and through SCPI, with and without --allow-writes.
    void writeGuards_data()
    {
        QTest::addColumn<QByteArray>("request");   // the write as the raw protocol has it
        QTest::addColumn<QString>("scpi");         // the same write in SCPI
        QTest::addColumn<QString>("through");      // "network", "pty" or "scpi"
        QTest::addColumn<bool>("allowWrites");
        QTest::addColumn<bool>("reaches");
        QVector<float> rows;
        for (int row = 0; row < protocol::TableRows; ++row)
            rows << 1.5f - row * 0.01f << 2.0f + row;
        QStringList tableNumbers;
        for (float value : rows)
            tableNumbers << QString::number(double(value), 'g', 9);
        const QList<QPair<QByteArray, QString>> writes{
            {protocol::request(protocol::Command::WriteAdc, {2.5f, 0.125f}), "CAL:ADC 2.5,0.125"},
            {protocol::request(protocol::Command::WriteDac, {3.5f, -1.0f}), "CAL:DAC 3.5,-1"},
            {protocol::request(protocol::Command::WriteTable, rows), "CAL:TABL " + tableNumbers.join(',')},
            {protocol::request(protocol::Command::CommitEeprom), "CAL:SAVE"}};
        for (const auto &write : writes) {
            const QByteArray code = write.first.left(1).toHex();
            for (const bool allow : {false, true}) {
                const char *with = allow ? "with --allow-writes" : "without";
                QTest::addRow("%s raw, %s", code.constData(), with) << write.first << write.second << "network" << allow << allow;
                QTest::addRow("%s pty, %s", code.constData(), with) << write.first << write.second << "pty" << allow << true;
                QTest::addRow("%s SCPI, %s", code.constData(), with) << write.first << write.second << "scpi" << allow << allow;
            }
        }
    }

    void writeGuards()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, scpi);
        QFETCH(QString, through);
        QFETCH(bool, allowWrites);
        QFETCH(bool, reaches);
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        setReadings(instrument);
        Owner owner(instrument.portName(), allowWrites);
        if (through == QLatin1String("scpi"))
            owner.line(1, scpi);
        else
            owner.request(1, request, through == QLatin1String("pty"));
        // A reading after it, so whatever was sent has arrived by the time it is answered.
        QCOMPARE(owner.line(2, QStringLiteral("MEAS:VOLT?")), QStringLiteral("1.0015"));
        bool received = false;
        for (const sim::Request &one : instrument.requests())
            received = received || one.command() == quint8(request.at(0));
        QCOMPARE(received, reaches);
        if (request.at(0) == char(protocol::Command::CommitEeprom))
            QCOMPARE(instrument.eeprom() == instrument.constants(), reaches);
    }

    // One client's write, then at once another client's reading: the instrument, which
    // needs its pause after a write, is given it before the reading reaches it; and a
    // value it stores wrongly is found by the read-back.
    void writesArePacedAndReadBack()
    {
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        setReadings(instrument);
        sim::Faults faults;
        faults.busyAfterWriteMs = protocol::WritePacingMs / 2;
        instrument.setFaults(faults);
        Owner owner(instrument.portName(), true);
        owner.owner.request(1, protocol::request(protocol::Command::WriteAdc, {2.5f, 0.125f}), false);
        QCOMPARE(owner.line(2, QStringLiteral("MEAS:VOLT?")), QStringLiteral("1.0015"));
        QCOMPARE(owner.raw.count(), 1);
        QCOMPARE(owner.request(3, protocol::request(protocol::Command::ReadTemperature), true).size(), 4);

        instrument.withFirmware([](sim::Firmware &firmware) { firmware.storeFaults.adcSlopeError = 1.0f / 1024; });
        QCOMPARE(owner.line(1, QStringLiteral("CAL:ADC 2.5,0.125;SYST:ERR?")),
                 QStringLiteral("-240,\"Hardware error;value 1 read back as 2.5009766, sent 2.5\""));
    }

    // A port that goes during a client's exchange goes for the readings too: the loop says
    // so once and looks for it again, and the metrics page says why it is down.
    void portLostToAClient()
    {
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        setReadings(instrument);
        Owner owner(instrument.portName(), false);
        QSignalSpy log(&owner.owner, &InstrumentOwner::log);
        QSignalSpy states(&owner.owner, &InstrumentOwner::stateChanged);
        QTRY_COMPARE(owner.readings.count(), 1);
        instrument.unplug();
        QCOMPARE(owner.line(1, QStringLiteral("MEAS:TEMP?")), scpi::NotANumber);
        QTRY_VERIFY(!log.isEmpty());
        QVERIFY2(log.first().at(0).toString().contains(QLatin1String("connection lost")), qPrintable(log.first().at(0).toString()));
        QCOMPARE(states.last().at(0).value<readingloop::State>(), readingloop::State::Disconnected);
    }

    // The metrics page from the owner's own scheduled readings: values while the latest was
    // answered with numbers, gaps and the reason otherwise.
    void metricsFollowReadings_data()
    {
        QTest::addColumn<float>("kelvin");
        QTest::addColumn<float>("volts");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("temperatureGauge");
        QTest::addColumn<bool>("voltageGauge");
        const float nan = float(std::nan(""));
        QTest::newRow("answered") << 77.35f << 1.0015f << false << "reading" << true << true;
        QTest::newRow("nan is no temperature") << nan << 1.0015f << false << "not_a_number" << false << true;
        QTest::newRow("nan is no voltage") << 77.35f << nan << false << "reading" << true << false;
        QTest::newRow("no answer") << 77.35f << 1.0015f << true << "no_answer" << false << false;
    }

    void metricsFollowReadings()
    {
        QFETCH(float, kelvin);
        QFETCH(float, volts);
        QFETCH(bool, silent);
        QFETCH(QString, state);
        QFETCH(bool, temperatureGauge);
        QFETCH(bool, voltageGauge);
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        setReadings(instrument, volts, kelvin);
        sim::Faults faults;
        faults.silent = silent;
        instrument.setFaults(faults);
        Owner owner(instrument.portName(), false);
        QTRY_COMPARE(owner.readings.count(), 1);
        metrics::Snapshot snapshot;
        // An earlier reading with both values: what the latest lacks must not be left from it.
        readingloop::Reading earlier;
        earlier.voltage = 2.0f;
        earlier.temperature = 300.0f;
        snapshot.take(earlier);
        snapshot.take(owner.readings.first().at(0).value<readingloop::Reading>());
        const QString page = QString::fromUtf8(metrics::page(snapshot));
        QCOMPARE(page.contains(QLatin1String("\nthermocal_up{port=\"\",serial=\"\"} 1\n")), state == QLatin1String("reading"));
        QVERIFY2(page.contains(QStringLiteral("thermocal_state{port=\"\",serial=\"\",state=\"%1\"} 1\n").arg(state)), qPrintable(page));
        QCOMPARE(page.contains(QLatin1String("thermocal_temperature_kelvin{")), temperatureGauge);
        QCOMPARE(page.contains(QLatin1String("thermocal_voltage_volts{")), voltageGauge);
    }

    // A request that waited past its deadline is never sent: its exchange fails as one that
    // waited too long, and the instrument sees nothing of it; one in time is sent.
    void requestPastItsDeadline()
    {
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        setReadings(instrument);
        readingloop::Options options;
        options.intervalNs = 3600LL * 1000000000;
        readingloop::Loop loop(reconnect::namedPort(instrument.portName()), options);
        QSignalSpy readings(&loop, &readingloop::Loop::reading);
        loop.start();
        QTRY_COMPARE(readings.count(), 1);
        instrument.clearRequests();

        // The first client's work holds the loop well past the second's deadline.
        constexpr int DeadlineMs = 50;
        QVERIFY(loop.submit(1, [](readingloop::Turn &) { QThread::msleep(10 * DeadlineMs); }));
        std::optional<readingloop::ExchangeResult> late;
        QVERIFY(loop.submit(2, [&late](readingloop::Turn &turn) { late = turn.exchange(protocol::request(protocol::Command::ReadTemperature)); },
                            DeadlineMs));
        QTRY_VERIFY(late);
        QVERIFY(late->expired);
        QCOMPARE(late->error(), QStringLiteral("The request waited too long for the instrument."));
        QCOMPARE(instrument.requests().size(), 0);

        std::optional<readingloop::ExchangeResult> inTime;
        QVERIFY(loop.submit(3, [&inTime](readingloop::Turn &turn) { inTime = turn.exchange(protocol::request(protocol::Command::ReadTemperature)); }));
        QTRY_VERIFY(inTime);
        QVERIFY2(inTime->ok(), qPrintable(inTime->error()));
        QCOMPARE(inTime->reply.size(), 4);
        QCOMPARE(instrument.requests().size(), 1);
        loop.finish();
    }

    // Requests of many clients take turns: one client's backlog holds another's request up
    // by one at most; a client that went is forgotten with its requests; the queue is
    // bounded.
    void requestQueue()
    {
        readingloop::RequestQueue queue;
        const auto entry = [](quint64 client) { return readingloop::RequestQueue::Entry{client, 0, {}}; };
        for (int index = 0; index < 6; ++index)
            QVERIFY(queue.push(entry(1)));
        QVERIFY(queue.push(entry(2)));
        QVERIFY(queue.push(entry(3)));
        QVERIFY(queue.push(entry(2)));
        QCOMPARE(queue.cancel(3), 1);
        QString taken;
        while (const auto next = queue.take())
            taken += QString::number(next->client);
        QCOMPARE(taken, QStringLiteral("12121111"));
        QVERIFY(queue.isEmpty());
        for (int index = 0; index < readingloop::RequestQueue::MaxPerClient; ++index)
            QVERIFY(queue.push(entry(7)));
        QVERIFY(!queue.push(entry(7)));
        QVERIFY(queue.push(entry(8)));
    }

    // A client's bytes become requests sent on sixteen at a time; what was read beyond
    // that waits in order, and the client is not read until it has gone.
    void requestStream()
    {
        RequestStream stream;
        QByteArray input;
        for (int index = 0; index < 40; ++index)
            input += QByteArray::fromHex(index % 2 ? "0100" : "0200");
        QByteArrayList sent;
        int reads = 0;
        const auto read = [&](qint64 maxBytes) {
            ++reads;
            const QByteArray bytes = input.left(int(maxBytes));
            input.remove(0, bytes.size());
            return bytes;
        };
        const auto submit = [&sent](const QByteArray &request) { sent.append(request); };
        stream.pump(read, submit, 0);
        QCOMPARE(sent.size(), RequestStream::MaxInFlight);
        QVERIFY(!stream.wantsInput());
        QCOMPARE(reads, 1);
        while (sent.size() < 40) {
            const int before = sent.size();
            stream.answered();
            stream.pump(read, submit, 0);
            QCOMPARE(sent.size(), before + 1);
        }
        for (int index = 0; index < 40; ++index)
            QCOMPARE(sent.at(index).toHex(), QByteArray(index % 2 ? "0100" : "0200"));
        QCOMPARE(stream.inFlight(), RequestStream::MaxInFlight);
    }
};

QTEST_GUILESS_MAIN(TestServerCore)
#include "tst_servercore.moc"
