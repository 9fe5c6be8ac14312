#include "instrument.h"
#include "servers.h"
#include "testsupport.h"

#include <QProcess>
#include <QtTest>

// Runs the program's start-up in a separate process, as the operator would meet it.
class TestStartup : public QObject
{
    Q_OBJECT

private:
    using Run = testsupport::ProcessRun;

    static Run run(const QString &ports, bool withInstrument, bool closeWhenShown,
                   const QStringList &arguments = {}, const QString &program = QStringLiteral(TESTHOST_PATH))
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("THERMOCAL_TEST_PORTS"), ports);
        env.insert(QStringLiteral("THERMOCAL_TEST_SIM"), withInstrument ? QStringLiteral("1") : QString());
        env.insert(QStringLiteral("THERMOCAL_TEST_CLOSE"), closeWhenShown ? QStringLiteral("1") : QString());
        process.setProcessEnvironment(env);
        process.start(program, arguments);
        return testsupport::finishProcess(process);
    }

private slots:
    void refusesToStart_data()
    {
        QTest::addColumn<QString>("ports");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("logged");

        const QString none = QStringLiteral("There is no any connected devices");
        QTest::newRow("no ports at all") << QString() << none << QStringList();
        QTest::newRow("right vendor, other product")
            << QStringLiteral("/dev/ttyACM7:0483:5741") << none << QStringList();
        QTest::newRow("other vendor, right product")
            << QStringLiteral("/dev/ttyACM7:0484:5740") << none << QStringList();
        QTest::newRow("ports without USB identifiers")
            << QStringLiteral("ttyS0;ttyS1") << none << QStringList();
        QTest::newRow("two instruments")
            << QStringLiteral("ttyS0;/dev/ttyACM3:0483:5740;/dev/ttyUSB0:0403:6001;/dev/ttyACM1:0483:5740")
            << QStringLiteral("Too much available ports. Must be only one.")
            << QStringList{QStringLiteral("/dev/ttyACM3"), QStringLiteral("/dev/ttyACM1")};
        QTest::newRow("instrument port that cannot be opened")
            << QStringLiteral("/nonexistent/ttyACM0:0483:5740")
            << QStringLiteral("Can't open Virtual Com port.")
            << QStringList{QStringLiteral("/nonexistent/ttyACM0")};
    }

    void refusesToStart()
    {
        QFETCH(QString, ports);
        QFETCH(QString, message);
        QFETCH(QStringList, logged);

        const Run result = run(ports, false, false);
        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(QString::fromUtf8(result.out).trimmed(), QStringLiteral("BOX Error|") + message);
        QVERIFY(!result.out.contains("SHOWN"));

        // One debug line per matching port, in the order the platform listed them.
        int from = 0;
        for (const QString &name : logged) {
            const int at = result.err.indexOf(name, from);
            QVERIFY2(at >= 0, qPrintable(result.err));
            from = at + name.size();
        }
        QCOMPARE(result.err.count(QLatin1String("ttyACM")), logged.size());
    }

    void startsOnTheDataTabAndExitsNormally()
    {
        const Run result = run(QString(), true, true);
        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(QString::fromUtf8(result.out).trimmed(), QStringLiteral("SHOWN tab=0"));
        QVERIFY2(result.err.contains(QLatin1String("/dev/pts/")), qPrintable(result.err));
    }

    // --port opens the named port whatever the other ports are; without a usable port the
    // start-up fails as it would with the port found by itself.
    void portOption_data()
    {
        QTest::addColumn<QString>("ports");
        QTest::addColumn<bool>("simulatorPort");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::newRow("named port among two instruments")
            << QStringLiteral("/dev/ttyACM3:0483:5740;/dev/ttyACM1:0483:5740") << true << 0
            << QStringLiteral("SHOWN tab=0");
        QTest::newRow("named port without USB identifiers") << QString() << true << 0 << QStringLiteral("SHOWN tab=0");
        QTest::newRow("named port missing")
            << QStringLiteral("/dev/ttyACM3:0483:5740") << false << 1
            << QStringLiteral("BOX Error|Can't open Virtual Com port.");
    }

    void portOption()
    {
        QFETCH(QString, ports);
        QFETCH(bool, simulatorPort);
        QFETCH(int, exitCode);
        QFETCH(QString, out);

        sim::Instrument instrument;
        QVERIFY(instrument.start());
        const QString port = simulatorPort ? instrument.portName() : QStringLiteral("/nonexistent/ttyACM9");
        const Run result = run(ports, false, true, {QStringLiteral("--port"), port});
        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(QString::fromUtf8(result.out).trimmed(), out);
        QVERIFY2(result.err.contains(port), qPrintable(result.err));
    }

    // A port served on the network is connected to at start-up, through a real ser2net on
    // the loopback address; one that cannot be reached fails the start-up as a local port
    // that cannot be opened does, with the reason on stderr.
    void networkPortOption_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("reason");
        QTest::newRow("socket:// through ser2net") << "raw" << 0 << QStringLiteral("SHOWN tab=0") << QString();
        QTest::newRow("rfc2217:// through ser2net") << "telnet" << 0 << QStringLiteral("SHOWN tab=0") << QString();
        QTest::newRow("nothing listening") << "refused" << 1 << QStringLiteral("BOX Error|Can't open Virtual Com port.")
                                           << QStringLiteral("Connection refused");
    }

    void networkPortOption()
    {
        QFETCH(QString, kind);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, reason);

        testsupport::Ser2netInstruments served;
        QString error;
        QVERIFY2(served.start(&error), qPrintable(error));
        const QString url = kind == QLatin1String("refused") ? QStringLiteral("socket://127.0.0.1:%1").arg(testsupport::freePort())
                                                             : served.url(kind);

        const Run result = run(QString(), false, true, {QStringLiteral("--port"), url});
        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(QString::fromUtf8(result.out).trimmed(), out);
        QVERIFY2(result.err.contains(url), qPrintable(result.err));
        QVERIFY2(result.err.contains(reason), qPrintable(result.err));
    }

    // The real program answers these without a display and without looking for a port.
    void informationAndUsageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0 << "Usage: thermocal [--port NAME]" << "";
        QTest::newRow("version") << QStringList{QStringLiteral("-v")} << 0 << "thermocal 1." << "";
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--prot"), QStringLiteral("x")} << 2 << ""
                                        << "thermocal: Unknown option 'prot'.";
        QTest::newRow("stray argument") << QStringList{QStringLiteral("ttyACM0")} << 2 << ""
                                        << "thermocal: Unexpected argument: ttyACM0";
        QTest::newRow("bogus option") << QStringList{QStringLiteral("--bogus")} << 2 << ""
                                      << "thermocal: Unknown option 'bogus'.\nUsage: thermocal [--port NAME]";
        QTest::newRow("port without a name") << QStringList{QStringLiteral("--port")} << 2 << ""
                                             << "thermocal: Missing value after '--port'.";
        QTest::newRow("Qt's own option let through")
            << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("--bogus")} << 2 << ""
            << "thermocal: Unknown option 'bogus'.";
        QTest::newRow("network port without a port number")
            << QStringList{QStringLiteral("--port"), QStringLiteral("rfc2217://lab-pi")} << 2 << ""
            << "thermocal: --port: rfc2217://lab-pi: the port number is missing (HOST:PORT).";
        QTest::newRow("network port of an unknown kind")
            << QStringList{QStringLiteral("--port"), QStringLiteral("ftp://lab-pi:21")} << 2 << ""
            << "thermocal: --port: 'ftp' is not a kind of port URL";
    }

    void informationAndUsageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);

        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(THERMOCAL_PATH), arguments);
        const Run result = testsupport::finishProcess(process);
        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, exitCode);
        const QString stdoutText = QString::fromUtf8(result.out);
        QVERIFY2(out.isEmpty() ? stdoutText.isEmpty() : stdoutText.startsWith(out), qPrintable(stdoutText));
        QVERIFY2(err.isEmpty() ? result.err.isEmpty() : result.err.contains(err), qPrintable(result.err));
    }

    void informationToAFullDisk_data()
    {
        QTest::addColumn<QString>("option");
        QTest::newRow("help") << "--help";
        QTest::newRow("version") << "--version";
    }

    // Help or version that could not be written is a failure, said on standard error.
    void informationToAFullDisk()
    {
        QFETCH(QString, option);
        QProcess process;
        process.setStandardOutputFile(QStringLiteral("/dev/full"));
        process.start(QStringLiteral(THERMOCAL_PATH), {option});
        const Run result = testsupport::finishProcess(process);
        QCOMPARE(result.exitStatus, QProcess::NormalExit);
        QCOMPARE(result.exitCode, 5);
        QVERIFY2(result.err.contains(QLatin1String("thermocal: cannot write to standard output: No space left on device")),
                 qPrintable(result.err));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
