#include "instrument.h"
#include "monitorsession.h"
#include "monitorwindow.h"
#include "portdiscovery.h"
#include "testsupport.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <mutex>

#include <signal.h>

namespace {

constexpr double IntervalSeconds = 0.05;
constexpr qint64 IntervalMs = 50;

QProcessEnvironment environment(bool display)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (display)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    else
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return env;
}

void startMonitor(QProcess &process, const QStringList &arguments)
{
    process.setProcessEnvironment(environment(true));
    process.start(QStringLiteral(MONITOR_PATH), arguments);
    if (!process.waitForStarted())
        qFatal("thermocal-monitor did not start");
}

void stopMonitor(QProcess &process, int signal)
{
    ::kill(pid_t(process.processId()), signal);
    if (!process.waitForFinished(20000))
        process.kill();
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Row
{
    qint64 timeMs = 0;
    QString port;
    QString voltage;
    QString temperature;
};

// The rows of a recording: every line but the header, each complete; rows cut short (the
// program killed while writing one, a full disk) are left out when `allowCut`.
QVector<Row> rowsOf(const QString &path, bool allowCut = false)
{
    const QByteArray content = contentOf(path);
    if (content.isEmpty())
        return {};
    QList<QByteArray> lines = content.split('\n');
    const QByteArray lastLine = lines.takeLast(); // after the final newline: empty unless cut
    if (!allowCut && !lastLine.isEmpty())
        qWarning("a row is cut short: %s", lastLine.constData());
    QVector<Row> rows;
    if (lines.isEmpty() || lines.first() != "time,port,voltage_V,temperature_K") {
        qWarning("no header in %s", qPrintable(path));
        return rows;
    }
    for (int index = 1; index < lines.size(); ++index) {
        const QStringList fields = QString::fromUtf8(lines.at(index)).split(QLatin1Char(','));
        const QDateTime time = QDateTime::fromString(fields.value(0), Qt::ISODateWithMs);
        const bool whole = fields.size() == 4 && time.isValid() && time.timeSpec() == Qt::UTC;
        if (!whole && allowCut && fields.size() < 4)
            continue;
        if (!whole) {
            qWarning("a broken row: %s", lines.at(index).constData());
            return {};
        }
        rows.append({time.toMSecsSinceEpoch(), fields.at(1), fields.at(2), fields.at(3)});
    }
    return rows;
}

QVector<Row> rowsFor(const QVector<Row> &rows, const QString &port)
{
    QVector<Row> chosen;
    for (const Row &row : rows) {
        if (row.port == port)
            chosen.append(row);
    }
    return chosen;
}

// The shortest time between two consecutive rows.
qint64 closestRows(const QVector<Row> &rows)
{
    qint64 closest = std::numeric_limits<qint64>::max();
    for (int index = 1; index < rows.size(); ++index)
        closest = std::min(closest, rows.at(index).timeMs - rows.at(index - 1).timeMs);
    return closest;
}

void setTemperature(sim::Instrument &instrument, float kelvin)
{
    instrument.withFirmware([kelvin](sim::Firmware &firmware) {
        firmware.voltage = 1.5f;
        firmware.temperature = kelvin;
    });
}

// Discovery as a test drives it: the ports present change while the monitor runs.
struct PresentPorts
{
    std::mutex mutex;
    QList<portdiscovery::Port> ports;

    void set(const QList<portdiscovery::Port> &now)
    {
        std::lock_guard<std::mutex> lock(mutex);
        ports = now;
    }
};

// The text of a label in an instrument's readout: lbState, lbPort.
QString readoutText(const MonitorWindow &window, int index, const char *label)
{
    const QWidget *readout = window.findChild<QWidget *>(QStringLiteral("readout%1").arg(index));
    const QLabel *found = readout ? readout->findChild<QLabel *>(QLatin1String(label)) : nullptr;
    return found ? found->text() : QString();
}

} // namespace

// thermocal-monitor against simulated instruments: the real program as a subprocess, and its
// session and window in this process where the test unplugs the instrument.
class TestMonitor : public QObject
{
    Q_OBJECT

private slots:
    // Answers without a display and opens no window.
    void startsWithoutDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--alarm-after <SECONDS>" << QString();
        QTest::newRow("help names the program") << QStringList{"--help"} << 0 << "Usage: thermocal-monitor [options]" << QString();
        QTest::newRow("version") << QStringList{"--version"} << 0 << "thermocal-monitor " THERMOCAL_VERSION << QString();
        QTest::newRow("interval out of range") << QStringList{"--interval", "0"} << 2 << QString()
                                               << "thermocal-monitor: --interval takes seconds from 0.01 to 86400, not '0'";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << QString() << "Unknown option 'bogus'";
    }

    void startsWithoutDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QProcess process;
        process.setProcessEnvironment(environment(false));
        process.start(QStringLiteral(MONITOR_PATH), arguments);
        const testsupport::ProcessRun run = testsupport::finishProcess(process);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, status);
        QVERIFY2(QString::fromUtf8(run.out).contains(out), run.out.constData());
        QVERIFY2(run.err.contains(err), qPrintable(run.err));
    }

    // Help that could not be written is a failure, said on standard error.
    void helpToAFullDisk()
    {
        QProcess process;
        process.setProcessEnvironment(environment(false));
        process.setStandardOutputFile(QStringLiteral("/dev/full"));
        process.start(QStringLiteral(MONITOR_PATH), {QStringLiteral("--help")});
        const testsupport::ProcessRun run = testsupport::finishProcess(process);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 5);
        QVERIFY2(run.err.contains(QLatin1String("thermocal-monitor: cannot write to standard output: No space left on device")),
                 qPrintable(run.err));
    }

    // A row per reading at the interval; killed outright, the file holds every row but at most
    // the one being written. A second run appends, and SIGTERM ends it with status 0.
    void recordingSurvivesAKill()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("night.csv"));
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        setTemperature(instrument, 300.0f);
        const QStringList arguments{QStringLiteral("--port"), instrument.portName(), QStringLiteral("--interval"),
                                    QString::number(IntervalSeconds), QStringLiteral("--record"), path};

        QProcess first;
        startMonitor(first, arguments);
        QTRY_VERIFY_WITH_TIMEOUT(contentOf(path).count('\n') > 40, 20000);
        stopMonitor(first, SIGKILL);
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);
        const QVector<Row> killed = rowsOf(path, true);
        QVERIFY(killed.size() >= 40);
        for (const Row &row : killed) {
            QCOMPARE(row.port, instrument.portName());
            QCOMPARE(row.voltage, QStringLiteral("1.5"));
            QCOMPARE(row.temperature, QStringLiteral("300"));
        }
        // On the schedule: no burst of readings a moment apart, and none left out.
        QVERIFY2(closestRows(killed) >= IntervalMs / 2, qPrintable(QString::number(closestRows(killed))));
        const qint64 spanMs = killed.last().timeMs - killed.first().timeMs;
        QVERIFY2(killed.size() >= spanMs / IntervalMs * 3 / 4, qPrintable(QString::number(spanMs)));

        // A row cut short (by the kill, or as here by a full disk) stays alone on its line:
        // the next run starts a new one.
        QFile cut(path);
        QVERIFY(cut.open(QIODevice::Append));
        QVERIFY(cut.write("2026-12-0") == 9);
        cut.close();
        const int rowsBefore = rowsOf(path).size();
        QProcess second;
        startMonitor(second, arguments);
        QTRY_VERIFY_WITH_TIMEOUT(rowsOf(path, true).size() > rowsBefore + 10, 20000);
        stopMonitor(second, SIGTERM);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(contentOf(path).count("time,port"), 1);
        QVERIFY(contentOf(path).endsWith('\n'));
        QVERIFY(contentOf(path).contains("\n2026-12-0\n"));
        QVERIFY(rowsOf(path, true).size() > rowsBefore + 10);
    }

    // A disk that takes long to sync holds up neither the window nor the readings: the syncs
    // run on a thread of their own, at least one per second of rows, and the last one, at the
    // stop when rows came after the last timed one, covers the whole file. Rows stay whole
    // and in order, and a file that cannot be opened is still reported.
    void recordingOnASlowDisk()
    {
        constexpr int SlowSyncMs = 400;
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("slow.csv"));
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        setTemperature(instrument, 300.0f);
        struct Sync
        {
            QThread *thread;
            qint64 atMs;
            qint64 fileSize;
        };
        QElapsedTimer clock;
        clock.start();
        std::mutex mutex;
        QVector<Sync> syncs;
        Recorder::setSyncHook([&] {
            {
                std::lock_guard<std::mutex> lock(mutex);
                syncs.append({QThread::currentThread(), clock.elapsed(), QFileInfo(path).size()});
            }
            QThread::msleep(SlowSyncMs);
        });
        // The longest time the window's event loop went without running a timer.
        QTimer beat;
        beat.setInterval(10);
        qint64 lastBeat = clock.elapsed();
        qint64 longestStall = 0;
        connect(&beat, &QTimer::timeout, [&] {
            longestStall = std::max(longestStall, clock.elapsed() - lastBeat);
            lastBeat = clock.elapsed();
        });

        MonitorOptions options;
        options.intervalSeconds = IntervalSeconds;
        options.recordPath = path;
        options.ports = QStringList{instrument.portName()};
        MonitorSession session(options);
        MonitorWindow window(session);
        session.start();
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(rowsOf(path, true).size() >= 10, 5000);
        lastBeat = clock.elapsed();
        beat.start();
        QTest::qWait(3000);
        beat.stop();
        const qint64 stopAt = clock.elapsed();
        session.stop();
        Recorder::setSyncHook({});

        qInfo("the window's longest stall: %lld ms; %d syncs", static_cast<long long>(longestStall), syncs.size());
        QVERIFY2(longestStall < SlowSyncMs, qPrintable(QStringLiteral("the window stalled %1 ms").arg(longestStall)));
        const QVector<Row> rows = rowsOf(path);
        QVERIFY(rows.size() >= 40);
        for (int index = 1; index < rows.size(); ++index)
            QVERIFY(rows.at(index).timeMs > rows.at(index - 1).timeMs);
        const qint64 spanMs = rows.last().timeMs - rows.first().timeMs;
        std::lock_guard<std::mutex> lock(mutex);
        int beforeStop = 0;
        for (const Sync &sync : qAsConst(syncs)) {
            QVERIFY(sync.thread != QThread::currentThread());
            beforeStop += sync.atMs < stopAt ? 1 : 0;
        }
        QVERIFY2(beforeStop >= spanMs / 1000, qPrintable(QStringLiteral("%1 syncs in %2 ms").arg(beforeStop).arg(spanMs)));
        // The stop syncs only what came after the last timed sync, and a timed sync may just
        // have taken the last row; either way the file's end was on the disk.
        QCOMPARE(syncs.last().fileSize, QFileInfo(path).size());

        // Opened on the recording's thread, a file that cannot be had is reported all the same.
        const QString missing = dir.filePath(QStringLiteral("missing/slow.csv"));
        MonitorSession idle{MonitorOptions()};
        QSignalSpy changed(&idle, &MonitorSession::recordingChanged);
        idle.startRecording(missing);
        QTRY_VERIFY_WITH_TIMEOUT(!idle.isRecording(), 5000);
        QCOMPARE(changed.last().at(0).toBool(), false);
        QVERIFY2(changed.last().at(1).toString().startsWith(QStringLiteral("Couldn't open \"%1\" for recording").arg(missing)),
                 qPrintable(changed.last().at(1).toString()));
    }

    // A silent instrument beside a prompt one holds up none of the prompt one's readings.
    void silentInstrumentDelaysNoOther()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("two.csv"));
        sim::Instrument prompt;
        sim::Instrument silent;
        QVERIFY(prompt.start());
        QVERIFY(silent.start());
        setTemperature(prompt, 300.0f);
        sim::Faults faults;
        faults.silent = true;
        silent.setFaults(faults);
        QProcess monitor;
        startMonitor(monitor, {QStringLiteral("--port"), prompt.portName(), QStringLiteral("--port"), silent.portName(),
                               QStringLiteral("--interval"), QString::number(IntervalSeconds), QStringLiteral("--record"), path});
        QTRY_VERIFY_WITH_TIMEOUT(rowsFor(rowsOf(path, true), prompt.portName()).size() >= 60, 20000);
        stopMonitor(monitor, SIGTERM);
        QCOMPARE(monitor.exitCode(), 0);

        const QVector<Row> rows = rowsOf(path);
        const QVector<Row> quick = rowsFor(rows, prompt.portName());
        const QVector<Row> quiet = rowsFor(rows, silent.portName());
        QVERIFY(!quiet.isEmpty());
        for (const Row &row : quiet)
            QVERIFY(row.voltage.isEmpty() && row.temperature.isEmpty());
        // Each silent reading takes a reply time and a drain, four intervals or more: had the
        // prompt instrument waited for it, it would have a fraction of its readings.
        const qint64 spanMs = quick.last().timeMs - quick.first().timeMs;
        QVERIFY2(quick.size() >= spanMs / IntervalMs * 3 / 4,
                 qPrintable(QStringLiteral("%1 readings in %2 ms").arg(quick.size()).arg(spanMs)));
        QVERIFY(closestRows(quick) >= IntervalMs / 2);
        // The silent one skips the times that passed while it waited, rather than bursting.
        QVERIFY(closestRows(quiet) >= IntervalMs / 2);
    }

    // The command runs once per episode: not for a glitch shorter than the hold time, once for
    // a long one, once when no reading comes at all; both clear.
    void alarmCommandOncePerEpisode()
    {
        QTemporaryDir dir;
        const QString ran = dir.filePath(QStringLiteral("ran.txt"));
        const QString record = dir.filePath(QStringLiteral("alarms.csv"));
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        setTemperature(instrument, 77.0f);
        QProcess monitor;
        startMonitor(monitor, {QStringLiteral("--port"), instrument.portName(), QStringLiteral("--interval"),
                               QString::number(IntervalSeconds), QStringLiteral("--record"), record,
                               QStringLiteral("--alarm-above"), QStringLiteral("200"),
                               QStringLiteral("--alarm-after"), QStringLiteral("1"), QStringLiteral("--alarm-command"),
                               QStringLiteral("echo \"$THERMOCAL_ALARM,$THERMOCAL_TEMPERATURE_K,$THERMOCAL_PORT\" >> '%1'").arg(ran)});
        const auto holdFor = [](int ms) { QTest::qWait(ms); };
        holdFor(1500);
        setTemperature(instrument, 300.0f);  // a glitch
        holdFor(300);
        setTemperature(instrument, 77.0f);
        holdFor(1500);
        setTemperature(instrument, 300.0f);  // an episode
        holdFor(2500);
        setTemperature(instrument, 77.0f);
        holdFor(2000);
        sim::Faults faults;
        faults.silent = true;                 // a dead sensor
        instrument.setFaults(faults);
        holdFor(2500);
        instrument.setFaults(sim::Faults());
        holdFor(2000);
        // A sensor beyond its table: the instrument answers nan, which is no reading.
        setTemperature(instrument, std::numeric_limits<float>::quiet_NaN());
        holdFor(2500);
        stopMonitor(monitor, SIGTERM);
        QCOMPARE(monitor.exitCode(), 0);
        const QString err = QString::fromUtf8(monitor.readAllStandardError());

        const QString expected = QStringLiteral("above,300,%1\nno-reading,,%1\nno-reading,,%1\n").arg(instrument.portName());
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(contentOf(ran)), expected, 5000);
        QCOMPARE(err.count(QLatin1String("thermocal-monitor: alarm: ")), 3);
        QCOMPARE(err.count(QLatin1String("thermocal-monitor: alarm cleared: ")), 2);
        // Recorded as an empty temperature beside the voltage that did come.
        const QVector<Row> rows = rowsOf(record);
        QVERIFY(!rows.isEmpty());
        QCOMPARE(rows.last().voltage, QStringLiteral("1.5"));
        QCOMPARE(rows.last().temperature, QString());
        for (const Row &row : rows)
            QVERIFY2(row.temperature != QLatin1String("nan"), qPrintable(row.temperature));
        QVERIFY2(err.contains(QLatin1String(": temperature above 200 K since ")), qPrintable(err));
        QVERIFY2(err.contains(QLatin1String(": no reading since ")), qPrintable(err));
    }

    // Unplugged, the instrument's state says since when and its rows stop; plugged in again,
    // under the same link or, found by its USB identifiers, under a new name with the same
    // serial number, reading resumes by itself.
    void unplugAndReplug_data()
    {
        QTest::addColumn<bool>("discovered");
        QTest::addColumn<bool>("swapped");
        QTest::newRow("same link") << false << false;
        QTest::newRow("new name, same serial number") << true << false;
        QTest::newRow("another instrument under the old name") << true << true;
    }

    void unplugAndReplug()
    {
        QFETCH(bool, discovered);
        QFETCH(bool, swapped);
        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("replug.csv"));
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        setTemperature(instrument, 300.0f);
        auto present = std::make_shared<PresentPorts>();
        portdiscovery::setPortSource([present] {
            std::lock_guard<std::mutex> lock(present->mutex);
            return present->ports;
        });
        const auto instrumentAt = [&](const QString &name) {
            portdiscovery::Port port = portdiscovery::instrumentPort(dir.filePath(name));
            port.serialNumber = QStringLiteral("TC0042");
            return port;
        };
        // A second instrument that must never be taken for the first.
        portdiscovery::Port other = instrumentAt(QStringLiteral("ttyACM7"));
        other.serialNumber = QStringLiteral("TC0099");
        const QString firstName = dir.filePath(QStringLiteral("ttyACM0"));
        QVERIFY(instrument.setLink(firstName));

        MonitorOptions options;
        options.intervalSeconds = IntervalSeconds;
        options.recordPath = record;
        if (!discovered)
            options.ports = QStringList{firstName};
        MonitorSession session(options);
        MonitorWindow window(session);
        session.start();
        window.show();
        if (discovered) {
            // Nothing plugged in yet: the window says so and keeps looking.
            const QLabel *none = window.findChild<QLabel *>(QStringLiteral("lbNoInstrument"));
            QVERIFY(none && none->isVisible());
            QCOMPARE(none->text(), QStringLiteral("No instrument connected"));
            present->set({instrumentAt(QStringLiteral("ttyACM0"))});
            QTRY_VERIFY_WITH_TIMEOUT(!none->isVisible(), 5000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(readoutText(window, 0, "lbState"), QStringLiteral("reading"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(rowsOf(record).size() >= 10, 5000);

        instrument.unplug();
        if (discovered) {
            QFile::remove(firstName);
            present->set({other});
        }
        QTRY_VERIFY_WITH_TIMEOUT(readoutText(window, 0, "lbState").startsWith(QLatin1String("disconnected since ")), 5000);
        const QString since = readoutText(window, 0, "lbState").section(QLatin1Char(' '), 2);
        QVERIFY2(QTime::fromString(since, QStringLiteral("HH:mm:ss")).isValid(), qPrintable(since));
        const int rowsAtLoss = rowsOf(record).size();
        QTest::qWait(1500);
        // The window stayed live meanwhile (the wait ran its events); no rows while gone.
        QCOMPARE(rowsOf(record).size(), rowsAtLoss);

        if (swapped) {
            // Another instrument takes the name: it is watched as a new one, and the first
            // stays lost until its own serial number is back.
            QVERIFY(instrument.setLink(firstName));
            QVERIFY(instrument.replug());
            portdiscovery::Port newcomer = instrumentAt(QStringLiteral("ttyACM0"));
            newcomer.serialNumber = QStringLiteral("TC0077");
            present->set({other, newcomer});
            QTRY_COMPARE_WITH_TIMEOUT(session.count(), 3, 5000);
            QTRY_COMPARE_WITH_TIMEOUT(readoutText(window, 2, "lbState"), QStringLiteral("reading"), 5000);
            QCOMPARE(readoutText(window, 2, "lbPort"), firstName);
            QVERIFY(readoutText(window, 0, "lbState").startsWith(QLatin1String("disconnected since ")));
            session.stop();
            portdiscovery::setPortSource({});
            return;
        }
        const QString secondName = dir.filePath(discovered ? QStringLiteral("ttyACM1") : QStringLiteral("ttyACM0"));
        QVERIFY(instrument.setLink(secondName) || !discovered);
        QVERIFY(instrument.replug());
        if (discovered)
            present->set({other, instrumentAt(QStringLiteral("ttyACM1"))});
        QTRY_COMPARE_WITH_TIMEOUT(readoutText(window, 0, "lbState"), QStringLiteral("reading"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(rowsOf(record).size() >= rowsAtLoss + 10, 5000);
        QCOMPARE(readoutText(window, 0, "lbPort"), secondName);
        session.stop();

        const QVector<Row> rows = rowsOf(record);
        int empty = 0;
        for (const Row &row : rows)
            empty += row.temperature.isEmpty() ? 1 : 0;
        QVERIFY2(empty <= 1, qPrintable(QString::number(empty)));
        // The gap shows in the times: at least the wait between the last row before and the
        // first after.
        qint64 widest = 0;
        for (int index = 1; index < rows.size(); ++index)
            widest = std::max(widest, rows.at(index).timeMs - rows.at(index - 1).timeMs);
        QVERIFY(widest >= 1500);
        QCOMPARE(rows.last().port, discovered ? secondName : firstName);
        // The other instrument is watched on its own, never taken for this one.
        QCOMPARE(session.count(), discovered ? 2 : 1);
        if (discovered)
            QCOMPARE(readoutText(window, 1, "lbPort"), other.name);
        portdiscovery::setPortSource({});
    }
};

QTEST_MAIN(TestMonitor)
#include "tst_monitor.moc"
