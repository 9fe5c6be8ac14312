#include "device.h"
#include "hostileserver.h"
#include "instrument.h"
#include "lineprotocol.h"
#include "portname.h"
#include "ports.h"
#include "reconnect.h"
#include "rfc2217.h"
#include "servers.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <cstring>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Run = testsupport::ProcessRun;

Run cli(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(CLI_PATH), arguments);
    return testsupport::finishProcess(process);
}

float fromBits(quint32 bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A set whose bytes on the wire hold 0xFF often, in runs too.
sim::Constants constantsFullOfFF()
{
    sim::Constants constants;
    constants.adcSlope = fromBits(0x3F7FFFFF);     // 0.99999994: FF FF 7F 3F
    constants.adcIntercept = fromBits(0xBFFFFFFF); // FF FF FF BF
    constants.dacSlope = fromBits(0x7F7FFFFF);     // the largest float: FF FF 7F 7F
    constants.dacIntercept = fromBits(0x3FFFFFFF); // FF FF FF 3F
    for (quint32 row = 0; row < 100; ++row)
        constants.table[row] = {fromBits(0x3F7FFF00u | (0xFFu - row)), fromBits(0x42FFFFFFu - row)};
    return constants;
}

// A port on 127.0.0.1 whose connections are never answered, as an unreachable host's: its
// listening queue is full, so the kernel drops every further connection request.
class SilentPort
{
public:
    SilentPort()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(m_listener, 0) != 0
            || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        if (::connect(m_filler, reinterpret_cast<sockaddr *>(&address), length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~SilentPort()
    {
        ::close(m_filler);
        ::close(m_listener);
    }
    quint16 port() const { return m_port; }

private:
    int m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int m_filler = ::socket(AF_INET, SOCK_STREAM, 0);
    quint16 m_port = 0;
};

using Hostile = testsupport::HostileServer;

// The script of a hostile server from the current row of a table with the columns
// greetingBytes, closes, rfc2217, after and atConnect.
Hostile::Script scriptOfRow()
{
    QFETCH(qint64, greetingBytes);
    QFETCH(bool, closes);
    QFETCH(bool, rfc2217);
    QFETCH(int, after);
    QFETCH(bool, atConnect);
    return {greetingBytes, closes, rfc2217, Hostile::After(after), atConnect};
}

void addScriptColumns()
{
    QTest::addColumn<qint64>("greetingBytes");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<bool>("rfc2217");
    QTest::addColumn<int>("after");
    QTest::addColumn<bool>("atConnect");
}

// Starts `program` (thermocal-cli or thermocal-monitor) without a display.
void startOffscreen(QProcess &process, const QString &program, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
}

// Sends SIGTERM and expects the program to end by itself, with status 0, within `withinMs`.
void expectStopWithin(QProcess &process, int withinMs)
{
    QElapsedTimer clock;
    clock.start();
    ::kill(pid_t(process.processId()), SIGTERM);
    const bool ended = process.waitForFinished(10000);
    const qint64 took = clock.elapsed();
    if (!ended)
        process.kill();
    QVERIFY2(ended, "still running 10 s after SIGTERM");
    qInfo("ended %lld ms after SIGTERM", static_cast<long long>(took));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(took < withinMs, qPrintable(QStringLiteral("%1 ms").arg(took)));
}

} // namespace

// thermocal-cli reaching the instrument through a real ser2net, and its readings going into
// a real InfluxDB, both on the loopback address.
class TestNetwork : public QObject
{
    Q_OBJECT

private:
    testsupport::Ser2netInstruments m_served;
    // Started by the first test that writes into it; each write goes into a database of its own.
    testsupport::Influxd m_influxd;
    int m_databases = 0;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_served.start(&error), qPrintable(error));
    }

    void getSetAndRead_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("socket://") << "raw";
        QTest::newRow("rfc2217://") << "telnet";
    }

    // Every byte of the set arrives and comes back as it was, 0xFF included, and is committed.
    void getSetAndRead()
    {
        QFETCH(QString, kind);
        sim::Instrument &instrument = m_served.instrument(kind);
        const QString url = m_served.url(kind);
        const sim::Constants original = constantsFullOfFF();
        instrument.withFirmware([&](sim::Firmware &firmware) {
            firmware.constants = original;
            firmware.voltage = fromBits(0x3F7FFFFF);
            firmware.temperature = 77.35f;
        });
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("got.json"));
        const Run got = cli({QStringLiteral("get"), QStringLiteral("--port"), url, QStringLiteral("-o"), file});
        QVERIFY2(got.exitCode == 0, qPrintable(got.err));

        instrument.withFirmware([](sim::Firmware &firmware) { firmware.constants = sim::Constants(); });
        const Run set = cli({QStringLiteral("set"), file, QStringLiteral("--commit"), QStringLiteral("--no-backup"),
                             QStringLiteral("--port"), url});
        QVERIFY2(set.exitCode == 0, qPrintable(set.err));
        QVERIFY(testsupport::sameBits(instrument.constants(), original));
        // The commit is the last byte sent; the program ends as it leaves, before ser2net
        // and the instrument have passed it on.
        QTRY_VERIFY(testsupport::sameBits(instrument.eeprom(), original));

        const Run read = cli({QStringLiteral("read"), QStringLiteral("--json"), QStringLiteral("--port"), url});
        QVERIFY2(read.exitCode == 0, qPrintable(read.err));
        const QJsonObject reading = QJsonDocument::fromJson(read.out).object();
        QCOMPARE(float(reading.value(QStringLiteral("voltage_V")).toDouble()), fromBits(0x3F7FFFFF));
        QCOMPARE(float(reading.value(QStringLiteral("temperature_K")).toDouble()), 77.35f);
    }

    // A reading worker opens and reads on its own thread, which runs no event loop.
    void openedAndReadOnAnotherThread()
    {
        m_served.telnet.withFirmware([](sim::Firmware &firmware) { firmware.temperature = 77.35f; });
        QString reason;
        std::optional<float> temperature;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            const portname::Opened opened = portname::open(m_served.ser2net.rfc2217Url());
            reason = opened.reason;
            if (!opened.port)
                return;
            protocol::Link link(opened.port.get());
            temperature = device::readLive(link).temperature;
        }));
        worker->start();
        QVERIFY(worker->wait(10000));
        QVERIFY2(temperature, qPrintable(reason));
        QCOMPARE(*temperature, 77.35f);
    }

    void cannotOpen_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("reason");
        QTest::newRow("nothing listening") << QStringLiteral("rfc2217://127.0.0.1:%1").arg(testsupport::freePort())
                                           << "Connection refused.";
        QTest::newRow("no answer") << "silent" << "no connection within 3 s.";
        // ser2net says why before it closes, but a reset can overtake its words.
        QTest::newRow("raw port held by another client") << "raw" << "the server closed the connection";
        QTest::newRow("RFC 2217 port held by another client") << "telnet" << "the server closed the connection";
    }

    // Status 6, naming the URL and the reason, within the connect wait.
    void cannotOpen()
    {
        QFETCH(QString, url);
        QFETCH(QString, reason);
        SilentPort silent;
        std::unique_ptr<ports::Port> holder;
        if (url == QLatin1String("silent")) {
            QVERIFY(silent.port() != 0);
            url = QStringLiteral("socket://127.0.0.1:%1").arg(silent.port());
        } else if (!url.contains(QLatin1String("://"))) {
            portname::Opened first = portname::open(m_served.url(url));
            QVERIFY2(first.port, qPrintable(first.reason));
            holder = std::move(first.port);
            url = m_served.url(url);
        }
        QElapsedTimer clock;
        clock.start();
        const Run run = cli({QStringLiteral("get"), QStringLiteral("--port"), url});
        QCOMPARE(run.exitCode, 6);
        QVERIFY2(run.err.contains(QStringLiteral("cannot open %1: %2").arg(url, reason)), qPrintable(run.err));
        QVERIFY(run.out.isEmpty());
        // The process's own start and end are well under the margin.
        QVERIFY2(clock.elapsed() < portname::ConnectTimeoutMs + 2000, qPrintable(QString::number(clock.elapsed())));
    }

    void peerThatKeepsTalking_data()
    {
        addScriptColumns();
        QTest::addColumn<QString>("said");
        const int flood = int(Hostile::After::Flood);
        const QString noAnswer = QStringLiteral("The instrument did not answer.");
        QTest::newRow("raw, flood after the request") << qint64(0) << false << false << flood << false << noAnswer;
        QTest::newRow("raw, flood from the start") << qint64(0) << false << false << flood << true << noAnswer;
        QTest::newRow("RFC 2217, flood after the request") << qint64(0) << false << true << flood << false << noAnswer;
        QTest::newRow("RFC 2217, flood from the start") << qint64(0) << false << true << flood << true << noAnswer;
        QTest::newRow("RFC 2217, subnegotiation without end")
            << qint64(0) << false << true << int(Hostile::After::EndlessSubnegotiation) << false
            << QStringLiteral("connection lost (the server sent a Telnet subnegotiation longer than %1 bytes)")
                   .arg(ports::SubnegotiationLimitBytes);
    }

    // Readings from a server that never stops sending end on their own: a reading whose
    // request meets a peer still talking fails, as unanswered. A flood that starts only with
    // the first request may give that first reading junk, but not the second: the interval
    // lets more pile up than the discard takes.
    void peerThatKeepsTalking()
    {
        Hostile server(scriptOfRow());
        QFETCH(QString, said);
        QVERIFY(server.start());
        const Run run = cli({QStringLiteral("read"), QStringLiteral("--count"), QStringLiteral("2"), QStringLiteral("--interval"),
                             QStringLiteral("0.2"), QStringLiteral("--port"), server.url()});
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QVERIFY2(run.exitCode == 0 || run.exitCode == 4, qPrintable(QStringLiteral("%1: %2").arg(run.exitCode).arg(run.err)));
        QVERIFY2(run.err.contains(said), qPrintable(run.err));
    }

    void stopDuringAFlood_data()
    {
        addScriptColumns();
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("withinMs");
        const int flood = int(Hostile::After::Flood);
        QTest::newRow("read, raw") << qint64(0) << false << false << flood << false << QStringLiteral(CLI_PATH) << 1000;
        QTest::newRow("read, RFC 2217") << qint64(0) << false << true << flood << false << QStringLiteral(CLI_PATH) << 1000;
        QTest::newRow("monitor, raw") << qint64(0) << false << false << flood << false << QStringLiteral(MONITOR_PATH) << 2000;
        QTest::newRow("monitor, RFC 2217") << qint64(0) << false << true << flood << false << QStringLiteral(MONITOR_PATH) << 2000;
    }

    // SIGTERM ends a log within a second and the monitor within two, whatever the peer does:
    // here it never stops sending.
    void stopDuringAFlood()
    {
        Hostile server(scriptOfRow());
        QFETCH(QString, program);
        QFETCH(int, withinMs);
        QVERIFY(server.start());
        QStringList arguments{QStringLiteral("--interval"), QStringLiteral("0.1"), QStringLiteral("--port"), server.url()};
        if (program == QLatin1String(CLI_PATH))
            arguments = QStringList{QStringLiteral("read"), QStringLiteral("--count"), QStringLiteral("0")} + arguments;
        QProcess process;
        startOffscreen(process, program, arguments);
        QVERIFY(process.waitForStarted());
        // Well into the flood: readings failing, drains running.
        QTRY_VERIFY_WITH_TIMEOUT(server.bytesSent() > 4 * 1024 * 1024, 10000);
        QThread::msleep(500);
        expectStopWithin(process, withinMs);
    }

    void stopWhileReconnecting_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("withinMs");
        QTest::newRow("read --reconnect") << QStringLiteral(CLI_PATH) << 1000;
        QTest::newRow("monitor") << QStringLiteral(MONITOR_PATH) << 2000;
    }

    // SIGTERM while a lost network port is being looked for ends a log within a second and
    // the monitor within two, even while a connect waits for a host that does not answer.
    void stopWhileReconnecting()
    {
        QFETCH(QString, program);
        QFETCH(int, withinMs);
        // A listening queue of one: once the program's connection has been taken and a filler
        // waits in the queue, the kernel drops every further connection request.
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0 && ::listen(listener, 0) == 0
                && ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        const QString url = QStringLiteral("socket://127.0.0.1:%1").arg(ntohs(address.sin_port));
        QStringList arguments{QStringLiteral("--interval"), QStringLiteral("0.1"), QStringLiteral("--port"), url};
        if (program == QLatin1String(CLI_PATH))
            arguments = QStringList{QStringLiteral("read"), QStringLiteral("--reconnect"), QStringLiteral("--count"),
                                    QStringLiteral("0")} + arguments;
        QProcess process;
        startOffscreen(process, program, arguments);
        QVERIFY(process.waitForStarted());
        const int taken = ::accept(listener, nullptr, nullptr);
        QVERIFY(taken >= 0);
        QVERIFY(::connect(filler, reinterpret_cast<sockaddr *>(&address), length) == 0);
        // The port is open once its first request comes.
        pollfd request{taken, POLLIN, 0};
        QVERIFY(::poll(&request, 1, 10000) == 1);
        ::close(taken);
        QString err;
        QTRY_VERIFY_WITH_TIMEOUT((err += QString::fromUtf8(process.readAllStandardError())).contains(QLatin1String(" lost")),
                                 10000);
        // The first retry comes a second after the loss and waits up to three for its connect.
        QTest::qWait(reconnect::RetryIntervalMs + 500);
        // The queue stays full until the program has ended: closed, it would refuse at once.
        expectStopWithin(process, withinMs);
        ::close(filler);
        ::close(listener);
    }

    void beforeThePortIsUsable_data()
    {
        addScriptColumns();
        QTest::addColumn<QString>("reason");
        const int silence = int(Hostile::After::Silence);
        QTest::addColumn<bool>("onRequest");
        const QString closed = QStringLiteral("the server closed the connection: port busy ?[2J? server says");
        QTest::newRow("raw, 20 MB then closed") << qint64(20000000) << true << false << silence << false << closed << false;
        QTest::newRow("RFC 2217, 4 MB then closed") << qint64(4000000) << true << true << silence << false << closed << false;
        QTest::newRow("RFC 2217, subnegotiation without end")
            << qint64(0) << false << true << int(Hostile::After::EndlessSubnegotiation) << true
            << QStringLiteral("the server sent a Telnet subnegotiation longer than %1 bytes").arg(ports::SubnegotiationLimitBytes)
            << false;
        // Words that come only after the first request, as they may from a server slow to
        // refuse: no wait at connect can see them, the failed first action does.
        const QString words = QStringLiteral("the server closed the connection: %1").arg(ports::printableLine(Hostile::greeting(60)));
        QTest::newRow("raw, refused in words once asked") << qint64(60) << true << false << silence << false << words << true;
        QTest::newRow("raw, refused in few words once asked")
            << qint64(6) << true << false << silence << false
            << QStringLiteral("the server closed the connection: %1").arg(ports::printableLine(Hostile::greeting(6))) << true;
    }

    // What a server says before the port is usable comes out as one short printable line.
    void beforeThePortIsUsable()
    {
        Hostile::Script script = scriptOfRow();
        QFETCH(bool, onRequest);
        script.greetingOnRequest = onRequest;
        Hostile server(script);
        QFETCH(QString, reason);
        QVERIFY(server.start());
        const Run run = cli({QStringLiteral("get"), QStringLiteral("--port"), server.url()});
        QCOMPARE(run.exitCode, 6);
        QVERIFY2(run.err.contains(QStringLiteral("cannot open %1: %2").arg(server.url(), reason)), qPrintable(run.err.left(1000)));
        const QString line = run.err.trimmed();
        QVERIFY2(line.size() < ports::ShownGreetingChars + 200, qPrintable(QString::number(line.size())));
        for (const QChar c : line)
            QVERIFY2(c.isPrint(), qPrintable(line));
    }

    void heldBytesStayBounded_data()
    {
        addScriptColumns();
        QTest::newRow("settings answered again and again")
            << qint64(0) << false << true << int(Hostile::After::RepeatedAnswers) << false;
        QTest::newRow("data nobody reads") << qint64(0) << false << true << int(Hostile::After::Flood) << false;
    }

    // A port that is waited on but not read, while the server sends megabytes.
    void heldBytesStayBounded()
    {
        constexpr qint64 Sent = 8 * 1024 * 1024;
        constexpr int WaitMs = 20;
        constexpr int LimitMs = 30000;
        Hostile server(scriptOfRow());
        QVERIFY(server.start());
        rfc2217::Port port;
        QVERIFY2(port.connectToPort(QStringLiteral("127.0.0.1"), server.port(), device::BaudRate, portname::ConnectTimeoutMs),
                 qPrintable(port.errorString()));
        QCOMPARE(port.write(protocol::request(protocol::Command::ReadVoltage)), qint64(2));
        QVERIFY(port.flush());
        QDeadlineTimer limit(LimitMs);
        while (server.bytesSent() < Sent && !limit.hasExpired() && !port.isLost()) {
            port.waitForReadyRead(WaitMs);
            // The data not yet read, and at most a subnegotiation begun.
            QVERIFY2(port.heldBytes() <= ports::ReadBufferBytes + ports::SubnegotiationLimitBytes,
                     qPrintable(QString::number(port.heldBytes())));
        }
        QVERIFY(!port.isLost());
        QVERIFY2(server.bytesSent() >= Sent, qPrintable(QString::number(server.bytesSent())));
    }

    void settleUnderAFlood_data()
    {
        addScriptColumns();
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<bool>("stopped");
        QTest::addColumn<bool>("quiet");
        const int flood = int(Hostile::After::Flood);
        constexpr int SettleLimitMs = 300;
        QTest::newRow("raw, flood") << qint64(0) << false << false << flood << false << SettleLimitMs << false << false;
        QTest::newRow("RFC 2217, flood") << qint64(0) << false << true << flood << false << SettleLimitMs << false << false;
        QTest::newRow("RFC 2217, settings answers are no data")
            << qint64(0) << false << true << int(Hostile::After::RepeatedAnswers) << false << SettleLimitMs << false << true;
        QTest::newRow("raw, silence") << qint64(0) << false << false << int(Hostile::After::Silence) << false << SettleLimitMs << false
                                      << true;
        // A limit far beyond the test's own time: only the stop can end it.
        QTest::newRow("raw, flood, stop asked for") << qint64(0) << false << false << flood << false << 600000 << true
                                                    << false;
    }

    // Waiting for late bytes to stop ends at its limit however long the peer talks, and
    // tells whether the peer fell quiet.
    void settleUnderAFlood()
    {
        // Far above any scheduling delay: what is checked is that the flood does not extend
        // the limit without bound.
        constexpr int MarginMs = 3000;
        Hostile server(scriptOfRow());
        QFETCH(int, limitMs);
        QFETCH(bool, stopped);
        QFETCH(bool, quiet);
        QVERIFY(server.start());
        const portname::Opened opened = portname::open(server.url());
        QVERIFY2(opened.port, qPrintable(opened.reason));
        const qint64 sentAtOpen = server.bytesSent();
        // Any request sets the server off; the settle starts once it talks, since a server
        // slower than the settle's quiet time to start (on a loaded machine) is quiet indeed.
        QCOMPARE(opened.port->device().write("x"), qint64(1));
        opened.port->flush();
        if (!quiet)
            QTRY_VERIFY_WITH_TIMEOUT(server.bytesSent() > sentAtOpen, 10000);
        const std::atomic<bool> stop{stopped};
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(device::settle(*opened.port, limitMs, &stop), quiet);
        QVERIFY2(clock.elapsed() < (stopped ? 0 : limitMs) + MarginMs, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!opened.port->isLost());
    }

    void readingsIntoInfluxDb_data()
    {
        QTest::addColumn<QString>("measurement");
        QTest::addColumn<QStringList>("tags");     // as given to --tag
        QTest::addColumn<QStringList>("stored");   // KEY=VALUE as InfluxDB gives them back; empty: refused
        const QString room = QStringLiteral("room=cold lab, west");
        QTest::newRow("comma and space in a tag value, equals sign in another")
            << "cryo stat" << QStringList{room, QStringLiteral("a=b=c")} << QStringList{room, QStringLiteral("a=b=c")};
        QTest::newRow("comma in the measurement") << "cryo,stat" << QStringList() << QStringList{QString()};
        QTest::newRow("equals sign in the measurement") << "cryo=stat" << QStringList() << QStringList{QString()};
        QTest::newRow("comma and space in a tag key")
            << "cryo" << QStringList{QStringLiteral("lab, room=1")} << QStringList{QStringLiteral("lab, room=1")};
        QTest::newRow("backslash inside the measurement") << "cryo\\stat" << QStringList() << QStringList{QString()};
        QTest::newRow("backslash inside a tag key and a tag value")
            << "cryo" << QStringList{QStringLiteral("dr\\ive=C:\\data")} << QStringList{QStringLiteral("dr\\ive=C:\\data")};
        // A backslash InfluxDB would take for an escape cannot be sent as it is.
        QTest::newRow("backslash at the end of the measurement") << "cryo\\" << QStringList() << QStringList();
        QTest::newRow("backslash at the end of a tag value") << "cryo" << QStringList{QStringLiteral("share=C:\\")} << QStringList();
        QTest::newRow("backslash at the end of a tag key") << "cryo" << QStringList{QStringLiteral("key\\=v")} << QStringList();
        QTest::newRow("backslash before a comma in a tag value")
            << "cryo" << QStringList{QStringLiteral("share=a\\,b")} << QStringList();
        QTest::newRow("backslash before an equals sign in the measurement") << "a\\=b" << QStringList() << QStringList();
    }

    // Readings written by read --format influx into a new database with a plain HTTP write
    // come back as points with the instrument's values, under the measurement and with the
    // tags exactly as given; what InfluxDB cannot store as given is refused before anything
    // is written.
    void readingsIntoInfluxDb()
    {
        QFETCH(QString, measurement);
        QFETCH(QStringList, tags);
        QFETCH(QStringList, stored);
        constexpr int Readings = 3;
        m_served.telnet.withFirmware([](sim::Firmware &firmware) {
            firmware.voltage = 1.0015106f;
            firmware.temperature = 77.44232f;
        });
        QStringList arguments{QStringLiteral("read"), QStringLiteral("--format"), QStringLiteral("influx"),
                              QStringLiteral("--count"), QString::number(Readings), QStringLiteral("--interval"),
                              QStringLiteral("0.01"), QStringLiteral("--measurement"), measurement,
                              QStringLiteral("--port"), m_served.ser2net.rfc2217Url()};
        for (const QString &tag : qAsConst(tags))
            arguments << QStringLiteral("--tag") << tag;
        const Run read = cli(arguments);
        if (stored.isEmpty()) {
            QVERIFY2(read.exitCode == 2, qPrintable(read.err));
            QVERIFY(read.out.isEmpty());
            return;
        }
        QVERIFY2(read.exitCode == 0, qPrintable(read.err));
        QCOMPARE(read.out.count('\n'), Readings);

        if (!m_influxd.isRunning())
            QVERIFY2(m_influxd.start(), qPrintable(m_influxd.error()));
        const QString database = QStringLiteral("lab%1").arg(++m_databases);
        QTemporaryDir dir;
        const QString lines = dir.filePath(QStringLiteral("lines"));
        QFile file(lines);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(read.out) == read.out.size());
        file.close();
        QByteArray body;
        QString error;
        QVERIFY2(testsupport::curl({QStringLiteral("-f"), QStringLiteral("-XPOST"), m_influxd.url() + QStringLiteral("/query"),
                                    QStringLiteral("--data-urlencode"), QStringLiteral("q=CREATE DATABASE ") + database},
                                   &body, &error),
                 qPrintable(error));
        QVERIFY2(testsupport::curl({QStringLiteral("-f"), QStringLiteral("-XPOST"),
                                    m_influxd.url() + QStringLiteral("/write?db=") + database, QStringLiteral("--data-binary"),
                                    QLatin1Char('@') + lines},
                                   &body, &error),
                 qPrintable(error + QLatin1Char('\n') + QString::fromUtf8(read.out)));
        // Every series of the database, so a point stored under a mangled name shows too.
        QVERIFY2(testsupport::curl({QStringLiteral("-f"), QStringLiteral("-G"), m_influxd.url() + QStringLiteral("/query"),
                                    QStringLiteral("--data-urlencode"), QStringLiteral("db=") + database,
                                    QStringLiteral("--data-urlencode"), QStringLiteral("q=SELECT * FROM /.*/")},
                                   &body, &error),
                 qPrintable(error));

        const QJsonArray series = QJsonDocument::fromJson(body)
                                      .object()[QStringLiteral("results")].toArray().at(0).toObject()
                                      [QStringLiteral("series")].toArray();
        QCOMPARE(series.size(), 1);
        QCOMPARE(series.at(0)[QStringLiteral("name")].toString(), measurement);
        QStringList columns;
        for (const QJsonValue &column : series.at(0)[QStringLiteral("columns")].toArray())
            columns.append(column.toString());
        QStringList expectedColumns{QStringLiteral("time"), QStringLiteral("port"), QStringLiteral("temperature_K"),
                                    QStringLiteral("voltage_V")};
        QMap<QString, QString> expectedTags{{QStringLiteral("port"), m_served.ser2net.rfc2217Url()}};
        for (const QString &tag : qAsConst(stored)) {
            if (tag.isEmpty())
                continue;
            const int equals = tag.indexOf(QLatin1Char('='));
            expectedTags.insert(tag.left(equals), tag.mid(equals + 1));
            expectedColumns.append(tag.left(equals));
        }
        std::sort(expectedColumns.begin(), expectedColumns.end());
        QStringList sortedColumns = columns;
        std::sort(sortedColumns.begin(), sortedColumns.end());
        QCOMPARE(sortedColumns, expectedColumns);
        const QJsonArray points = series.at(0)[QStringLiteral("values")].toArray();
        QCOMPARE(points.size(), Readings);
        for (const QJsonValue &value : points) {
            const QJsonArray point = value.toArray();
            QCOMPARE(float(point.at(columns.indexOf(QStringLiteral("temperature_K"))).toDouble()), 77.44232f);
            QCOMPARE(float(point.at(columns.indexOf(QStringLiteral("voltage_V"))).toDouble()), 1.0015106f);
            for (auto tag = expectedTags.cbegin(); tag != expectedTags.cend(); ++tag)
                QCOMPARE(point.at(columns.indexOf(tag.key())).toString(), tag.value());
        }
    }

    void timestampsNeverRepeat_data()
    {
        constexpr qint64 T = 1796649425597000000;  // 2026-12-07T13:17:05.597Z
        constexpr qint64 WindowsTickNs = 15625000;  // 1/64 s, the default timer resolution
        QTest::addColumn<QVector<qint64>>("clock");
        QTest::addColumn<QVector<qint64>>("expected");
        QTest::newRow("advancing") << QVector<qint64>{T, T + 1000, T + 2000} << QVector<qint64>{T, T + 1000, T + 2000};
        QTest::newRow("standing still") << QVector<qint64>{T, T, T, T} << QVector<qint64>{T, T + 1, T + 2, T + 3};
        QTest::newRow("coarse steps")
            << QVector<qint64>{T, T, T, T + WindowsTickNs, T + WindowsTickNs}
            << QVector<qint64>{T, T + 1, T + 2, T + WindowsTickNs, T + WindowsTickNs + 1};
        QTest::newRow("set back") << QVector<qint64>{T, T - 1000000000, T - 999999990, T + 5}
                                  << QVector<qint64>{T, T + 1, T + 2, T + 5};
    }

    // Two points with one timestamp are one point to InfluxDB: however coarse the clock, or
    // when it is set back, each timestamp is later than the one before.
    void timestampsNeverRepeat()
    {
        QFETCH(QVector<qint64>, clock);
        QFETCH(QVector<qint64>, expected);
        int calls = 0;
        lineprotocol::UniqueTimestamps timestamps([&] { return clock.at(calls++); });
        QVector<qint64> given;
        for (int i = 0; i < clock.size(); ++i)
            given.append(timestamps.next());
        QCOMPARE(given, expected);
    }

    void serverStoppedDuringALog_data()
    {
        QTest::addColumn<bool>("reconnect");
        QTest::newRow("log ends") << false;
        QTest::newRow("--reconnect: log resumes") << true;
    }

    // A server that goes away during a log is a lost connection, as an unplugged cable is;
    // with --reconnect the log goes on once the server is back.
    void serverStoppedDuringALog()
    {
        QFETCH(bool, reconnect);
        const QString url = m_served.ser2net.rfc2217Url();
        m_served.telnet.clearRequests();
        QProcess process;
        process.start(QStringLiteral(CLI_PATH), QStringList{QStringLiteral("read"), QStringLiteral("--interval"),
                                                            QStringLiteral("0.02"), QStringLiteral("--count"), QStringLiteral("0"),
                                                            QStringLiteral("--csv"), QStringLiteral("--port"), url}
                                                    + (reconnect ? QStringList{QStringLiteral("--reconnect")} : QStringList()));
        QVERIFY(process.waitForStarted());
        QVERIFY(m_served.telnet.waitForRequests(10, 10000));
        m_served.ser2net.stop();
        bool resumed = true;
        if (reconnect) {
            QVERIFY2(m_served.ser2net.restart(), qPrintable(m_served.ser2net.error()));
            m_served.telnet.clearRequests();
            // Readings arrive again: the log found the server back.
            resumed = m_served.telnet.waitForRequests(10, 10000);
            ::kill(pid_t(process.processId()), SIGTERM);
        }
        const Run run = testsupport::finishProcess(process);
        // The server serves the tests that follow, whatever this one finds.
        QVERIFY2(m_served.ser2net.isRunning() || m_served.ser2net.restart(), qPrintable(m_served.ser2net.error()));
        QVERIFY2(resumed, qPrintable(run.err));
        QVERIFY2(run.exitCode == (reconnect ? 0 : 4), qPrintable(run.err));
        QVERIFY2(run.err.contains(QLatin1String("The connection to the instrument was lost.")), qPrintable(run.err));
        QCOMPARE(run.err.contains(QStringLiteral("%1: reconnected").arg(url)), reconnect);
        const QList<QByteArray> rows = run.out.trimmed().split('\n');
        QVERIFY(rows.size() > 5);
        if (reconnect)
            QVERIFY2(rows.last().count(',') == 2 && !rows.last().endsWith(','), rows.last().constData());
    }
};

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
