#include <QProcess>
#include <QtTest>

// Runs the program's start-up in a separate process, as the operator would meet it.
class TestStartup : public QObject
{
    Q_OBJECT

private:
    struct Run
    {
        int exitCode = -1;
        QProcess::ExitStatus exitStatus = QProcess::CrashExit;
        QString out;
        QString err;
    };

    static Run run(const QString &ports, bool withInstrument, bool closeWhenShown)
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("THERMOCAL_TEST_PORTS"), ports);
        env.insert(QStringLiteral("THERMOCAL_TEST_SIM"), withInstrument ? QStringLiteral("1") : QString());
        env.insert(QStringLiteral("THERMOCAL_TEST_CLOSE"), closeWhenShown ? QStringLiteral("1") : QString());
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(TESTHOST_PATH), QStringList());
        Run result;
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.exitCode = process.exitCode();
        result.exitStatus = process.exitStatus();
        result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
        result.err = QString::fromLocal8Bit(process.readAllStandardError());
        return result;
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
        QCOMPARE(result.out.trimmed(), QStringLiteral("BOX Error|") + message);
        QVERIFY(!result.out.contains(QLatin1String("SHOWN")));

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
        QCOMPARE(result.out.trimmed(), QStringLiteral("SHOWN tab=0"));
        QVERIFY2(result.err.contains(QLatin1String("/dev/pts/")), qPrintable(result.err));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
