#include "calibrationfile.h"
#include "clirun.h"
#include "curveimport.h"
#include "curvemath.h"
#include "demofirmware.h"
#include "instrument.h"
#include "portdiscovery.h"
#include "protocol.h"
#include "readingloop.h"
#include "testsupport.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cfloat>
#include <cstring>

#include <signal.h>

Q_DECLARE_METATYPE(sim::Faults)

namespace {

using Run = testsupport::ProcessRun;

// The environment of a machine without a display: the command line must not need one.
QProcessEnvironment headless(const QString &ports = QString())
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("THERMOCAL_TEST_PORTS"), ports);
    return env;
}

// The real program, or with `ports` its test host that reports exactly those ports.
Run runProcess(const QStringList &arguments, const QString &workingDirectory = QString(),
        const QString &ports = QString())
{
    QProcess process;
    process.setProcessEnvironment(headless(ports));
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(ports.isNull() ? QStringLiteral(CLI_PATH) : QStringLiteral(CLIHOST_PATH), arguments);
    return testsupport::finishProcess(process);
}

// The command run in the test's own process through the program's entry, with its streams
// captured and, with `ports`, discovery reporting exactly those ports.
Run inProcess(const QStringList &arguments, const QString &ports = QString())
{
    if (!ports.isNull()) {
        const QList<portdiscovery::Port> reported = testsupport::portsFromList(ports);
        portdiscovery::setPortSource([reported] { return reported; });
    }
    const Run run = testsupport::runCli(arguments);
    portdiscovery::setPortSource({});
    return run;
}

// `read` with these options against an instrument whose sensor reads 1.5 V and 300 K.
Run readFrom(sim::Instrument &instrument, const sim::Faults &faults, const QStringList &options)
{
    instrument.withFirmware([](sim::Firmware &firmware) {
        firmware.voltage = 1.5f;
        firmware.temperature = 300.0f;
    });
    instrument.setFaults(faults);
    return inProcess(QStringList{QStringLiteral("read"), QStringLiteral("--port"), instrument.portName()} + options);
}

// Values that six digits would round, as a set read from a real instrument has.
sim::Constants unroundedConstants()
{
    sim::Constants constants;
    constants.adcSlope = 2.5f / 65536.0f;
    constants.adcIntercept = -0.25f;
    constants.dacSlope = 3.3f / 4096.0f;
    constants.dacIntercept = 0.125f;
    for (int row = 0; row < 100; ++row)
        constants.table[size_t(row)] = {float(1.6 - 0.012 * row), float(1.4 * std::pow(1.06, row))};
    return constants;
}

QJsonObject sampleFile()
{
    QJsonArray table;
    for (int row = 0; row < 100; ++row)
        table.append(QJsonArray{1.5 - 0.0101 * row, 2.0 + row});
    return QJsonObject{{QStringLiteral("ADCCoeffs"), QJsonArray{3.8e-05, 0}},
                       {QStringLiteral("DACCoeffs"), QJsonArray{0.0008, 0}},
                       {QStringLiteral("TempTable"), table}};
}

QString write(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    return testsupport::writeFile(dir.path(), name, bytes);
}

using testsupport::requestCodes;

// Milliseconds since the epoch of an ISO 8601 time with milliseconds.
qint64 msOf(const QString &time)
{
    return QDateTime::fromString(time, Qt::ISODateWithMs).toMSecsSinceEpoch();
}

} // namespace

// thermocal-cli against the simulated instrument: through its entry in this process where only
// the output and the status matter, as a separate process for what depends on one (signals,
// standard output on a full disk, the real executable, drawing).
class TestCli : public QObject
{
    Q_OBJECT

private slots:
    // Values that six digits would round come back bit for bit.
    void getThenSetIsBitExact_data()
    {
        QTest::addColumn<float>("value");
        QTest::newRow("2.5/65536") << 2.5f / 65536.0f;
        QTest::newRow("0.1") << 0.1f;
        QTest::newRow("1e-5") << 1e-5f;
        QTest::newRow("largest float") << FLT_MAX;
        QTest::newRow("smallest normal float") << -FLT_MIN;
    }

    void getThenSetIsBitExact()
    {
        QFETCH(float, value);
        QTemporaryDir dir;
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        sim::Constants original = unroundedConstants();
        original.adcSlope = value;
        original.dacIntercept = value;
        original.table[12].first = value;
        original.table[99].second = value;
        instrument.withFirmware([&](sim::Firmware &firmware) { firmware.constants = original; });

        const QString file = dir.filePath(QStringLiteral("got.json"));
        const Run got = inProcess({QStringLiteral("get"), QStringLiteral("--port"), instrument.portName(), QStringLiteral("-o"), file});
        QCOMPARE(got.exitCode, 0);
        QVERIFY2(got.out.isEmpty(), got.out.constData());

        instrument.withFirmware([](sim::Firmware &firmware) { firmware.constants = sim::Constants(); });
        const Run set = inProcess({QStringLiteral("set"), file, QStringLiteral("--no-backup"), QStringLiteral("--port"),
                             instrument.portName()});
        QVERIFY2(set.exitCode == 0, qPrintable(set.err));
        QVERIFY(testsupport::sameBits(instrument.constants(), original));
        // Nothing committed without --commit.
        QVERIFY(!requestCodes(instrument).contains('\x0c'));
    }

    void setRefusesBadFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");

        const auto variant = [](const std::function<void(QJsonObject &)> &change) {
            QJsonObject file = sampleFile();
            change(file);
            return QJsonDocument(file).toJson();
        };
        const auto withRow = [&](int row, const QJsonValue &value) {
            return variant([=](QJsonObject &file) {
                QJsonArray table = file.value(QStringLiteral("TempTable")).toArray();
                table[row] = value;
                file.insert(QStringLiteral("TempTable"), table);
            });
        };
        QTest::newRow("not JSON") << QByteArray("{\"ADCCoeffs\": [1, 0],") << "not valid JSON";
        QTest::newRow("top level an array") << QByteArray("[1, 2]") << "the top level is not a JSON object";
        QTest::newRow("member missing")
            << variant([](QJsonObject &file) { file.remove(QStringLiteral("DACCoeffs")); })
            << "the member \"DACCoeffs\" is missing";
        QTest::newRow("three coefficients")
            << variant([](QJsonObject &file) { file.insert(QStringLiteral("ADCCoeffs"), QJsonArray{1, 0, 2}); })
            << "ADCCoeffs: expected two numbers, found 3 elements";
        QTest::newRow("coefficient a string")
            << variant([](QJsonObject &file) { file.insert(QStringLiteral("DACCoeffs"), QJsonArray{1, QStringLiteral("0")}); })
            << "DACCoeffs: element 2 is not a number";
        QTest::newRow("99 rows") << variant([](QJsonObject &file) {
            QJsonArray table = file.value(QStringLiteral("TempTable")).toArray();
            table.removeLast();
            file.insert(QStringLiteral("TempTable"), table);
        }) << "TempTable: expected 100 rows, found 99";
        QTest::newRow("row of one number") << withRow(11, QJsonArray{1.2}) << "TempTable row 12: expected two numbers, found 1";
        QTest::newRow("row not an array") << withRow(0, 5) << "TempTable row 1: expected an array of two numbers";
        QTest::newRow("beyond single precision")
            << withRow(4, QJsonArray{1.0, 3.5e38}) << "TempTable row 5: element 2 (3.5e+38) is beyond";
        QTest::newRow("ADC slope 0")
            << variant([](QJsonObject &file) { file.insert(QStringLiteral("ADCCoeffs"), QJsonArray{0, 1}); })
            << "bad.json: ADC slope is 0.";
        QTest::newRow("ADC slope 0 in single precision")
            << variant([](QJsonObject &file) { file.insert(QStringLiteral("ADCCoeffs"), QJsonArray{1e-50, 1}); })
            << "bad.json: ADC slope is 0.";
        QTest::newRow("DAC slope -0")
            << variant([](QJsonObject &file) { file.insert(QStringLiteral("DACCoeffs"), QJsonArray{-0.0, 1}); })
            << "bad.json: DAC slope is 0.";
    }

    // Every rule is checked before anything is sent.
    void setRefusesBadFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        QTemporaryDir dir;
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        const QString file = write(dir, QStringLiteral("bad.json"), content);
        const Run run = runProcess({QStringLiteral("set"), file, QStringLiteral("--commit"), QStringLiteral("--port"),
                             instrument.portName()}, dir.path());
        QCOMPARE(run.exitCode, 5);
        QVERIFY2(run.err.startsWith(QStringLiteral("thermocal-cli: ")) && run.err.contains(message), qPrintable(run.err));
        QTest::qWait(20);
        QVERIFY(instrument.requests().isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("bad.json")});
    }

    // The backup holds what the instrument held; a read-back that differs gives status 3 and
    // no commit; a clean one with --commit sends the commit last.
    void setBacksUpVerifiesAndCommits_data()
    {
        QTest::addColumn<int>("corruptRow");
        QTest::addColumn<int>("dropLastRows");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("clean") << -1 << 0 << 0 << "sent, verified and committed to EEPROM.";
        QTest::newRow("one point stored wrongly")
            << 12 << 0 << 3 << "  Table row 13, Temperature(K): sent 77.35, holds 0";
        QTest::newRow("last rows lost") << -1 << 7 << 3 << "  and 4 more";
    }

    void setBacksUpVerifiesAndCommits()
    {
        QFETCH(int, corruptRow);
        QFETCH(int, dropLastRows);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QTemporaryDir dir;
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        const sim::Constants before = unroundedConstants();
        instrument.withFirmware([&](sim::Firmware &firmware) {
            firmware.constants = before;
            firmware.eeprom = before;
            firmware.storeFaults.corruptRow = corruptRow;
            firmware.storeFaults.corruptColumn = 1;
            firmware.storeFaults.dropLastRows = dropLastRows;
        });
        QJsonObject wanted = sampleFile();
        QJsonArray table = wanted.value(QStringLiteral("TempTable")).toArray();
        table[12] = QJsonArray{1.25, 77.35};
        wanted.insert(QStringLiteral("TempTable"), table);
        const QString file = write(dir, QStringLiteral("new.json"), QJsonDocument(wanted).toJson());

        const Run run = runProcess({QStringLiteral("set"), file, QStringLiteral("--commit"), QStringLiteral("--port"),
                             instrument.portName()}, dir.path());
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(requestCodes(instrument).endsWith('\x0c'), exitCode == 0);
        QCOMPARE(requestCodes(instrument).count('\x0c'), exitCode == 0 ? 1 : 0);
        QCOMPARE(instrument.eeprom() == before, exitCode != 0);

        const QStringList backups = QDir(dir.path()).entryList({QStringLiteral("thermocal-backup-*.json")});
        QCOMPARE(backups.size(), 1);
        QVERIFY(QRegularExpression(QStringLiteral("^thermocal-backup-\\d{8}T\\d{6}Z\\.json$")).match(backups.first()).hasMatch());
        QVERIFY2(run.err.contains(backups.first()), qPrintable(run.err));
        const Run compared = runProcess({QStringLiteral("diff"), dir.filePath(backups.first()), QStringLiteral("instrument"),
                                  QStringLiteral("--port"), instrument.portName()});
        QCOMPARE(compared.exitCode, 1);
        instrument.withFirmware([&](sim::Firmware &firmware) { firmware.constants = before; });
        const Run same = runProcess({QStringLiteral("diff"), dir.filePath(backups.first()), QStringLiteral("instrument"),
                              QStringLiteral("--port"), instrument.portName()});
        QCOMPARE(same.exitCode, 0);
        QVERIFY(same.out.isEmpty());
    }

    // A dry run and a refused backup send no write; a backup never overwrites a file.
    void setWritesNothingWithoutABackup()
    {
        QTemporaryDir dir;
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        instrument.withFirmware([](sim::Firmware &firmware) { firmware.constants = unroundedConstants(); });
        const QString file = write(dir, QStringLiteral("new.json"), QJsonDocument(sampleFile()).toJson());

        const Run dry = runProcess({QStringLiteral("set"), file, QStringLiteral("--dry-run"), QStringLiteral("--port"),
                             instrument.portName()}, dir.path());
        QCOMPARE(dry.exitCode, 0);
        QVERIFY2(dry.out.startsWith("ADC slope: 3.8146973e-05 -> 3.8e-05\nADC intercept: -0.25 -> 0\n"), dry.out.constData());
        QCOMPARE(dry.out.count('\n'), 204);
        QCOMPARE(requestCodes(instrument), QByteArray::fromHex("06080a"));

        const QString existing = write(dir, QStringLiteral("keep.json"), "precious");
        const Run refused = runProcess({QStringLiteral("set"), file, QStringLiteral("--backup"), existing, QStringLiteral("--port"),
                                 instrument.portName()}, dir.path());
        QCOMPARE(refused.exitCode, 5);
        QVERIFY2(refused.err.contains(QLatin1String("the file exists already; nothing was sent")), qPrintable(refused.err));
        QCOMPARE(requestCodes(instrument), QByteArray::fromHex("06080a06080a"));
        QFile kept(existing);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("precious"));
    }

    void exitStatuses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("ports");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const QString sim = QStringLiteral("SIM");
        QTest::newRow("no command") << QStringList() << QString() << false << 2 << "no command given";
        QTest::newRow("unknown command") << QStringList{QStringLiteral("flash")} << QString() << false << 2
                                         << "'flash' is not a command";
        QTest::newRow("unknown option") << QStringList{QStringLiteral("get"), QStringLiteral("--out"), QStringLiteral("x")}
                                        << QString() << false << 2 << "get: Unknown option 'out'.";
        QTest::newRow("bad count") << QStringList{QStringLiteral("read"), QStringLiteral("--count"), QStringLiteral("many")}
                                   << QString() << false << 2 << "--count takes a whole number";
        QTest::newRow("port URL of an unknown kind")
            << QStringList{QStringLiteral("get"), QStringLiteral("--port"), QStringLiteral("telnet://lab-pi:23")} << QString()
            << false << 2 << "--port: 'telnet' is not a kind of port URL";
        QTest::newRow("tag without the line protocol")
            << QStringList{QStringLiteral("read"), QStringLiteral("--csv"), QStringLiteral("--tag"), QStringLiteral("room=cold")}
            << QString() << false << 2 << "--tag and --measurement go with --format influx";
        QTest::newRow("tag without a value")
            << QStringList{QStringLiteral("read"), QStringLiteral("--format"), QStringLiteral("influx"), QStringLiteral("--tag"),
                           QStringLiteral("room")}
            << QString() << false << 2 << "--tag room: has no '='";
        QTest::newRow("port tag given twice")
            << QStringList{QStringLiteral("read"), QStringLiteral("--format"), QStringLiteral("influx"), QStringLiteral("--tag"),
                           QStringLiteral("port=x")}
            << QString() << false << 2 << "the tag 'port' is given twice";
        QTest::newRow("measurement read as a comment")
            << QStringList{QStringLiteral("read"), QStringLiteral("--format"), QStringLiteral("influx"),
                           QStringLiteral("--measurement"), QStringLiteral("#cryo")}
            << QString() << false << 2 << "--measurement: the name starts with '#'";
        QTest::newRow("interval longer than a day")
            << QStringList{QStringLiteral("read"), QStringLiteral("--interval"), QStringLiteral("86401")} << QString() << false
            << 2 << "--interval takes seconds from 0.01 to 86400, not '86401'";
        QTest::newRow("interval shorter than the monitor's")
            << QStringList{QStringLiteral("read"), QStringLiteral("--interval"), QStringLiteral("0.001")} << QString() << false
            << 2 << "--interval takes seconds from 0.01 to 86400, not '0.001'";
        QTest::newRow("backup and no backup")
            << QStringList{QStringLiteral("set"), QStringLiteral("f.json"), QStringLiteral("--backup"), QStringLiteral("b.json"),
                           QStringLiteral("--no-backup")}
            << QString() << false << 2 << "--backup and --no-backup exclude each other";
        QTest::newRow("import without a source of constants")
            << QStringList{QStringLiteral("import"), QStringLiteral(EXAMPLES "/sample-curve.txt")} << QString() << false << 2
            << "--constants-from FILE|instrument is required";
        QTest::newRow("import with an unknown spacing")
            << QStringList{QStringLiteral("import"), QStringLiteral(EXAMPLES "/sample-curve.txt"), QStringLiteral("--constants-from"),
                           QStringLiteral(EXAMPLES "/sample-calibration.json"), QStringLiteral("--spacing"), QStringLiteral("even")}
            << QString() << false << 2 << "import: --spacing takes curvature or geometric, not 'even'";
        QTest::newRow("softcal point off the curve")
            << QStringList{QStringLiteral("softcal"), QStringLiteral(EXAMPLES "/standard-curve.340"), QStringLiteral("--point"),
                           QStringLiteral("600:0.05"), QStringLiteral("--constants-from"), QStringLiteral("instrument")}
            << sim << false << 2 << "The reference point at 600 K lies outside the standard curve's temperatures";
        QTest::newRow("softcal point malformed")
            << QStringList{QStringLiteral("softcal"), QStringLiteral(EXAMPLES "/standard-curve.340"), QStringLiteral("--point"),
                           QStringLiteral("77.35"), QStringLiteral("--constants-from"), QStringLiteral("instrument")}
            << sim << false << 2 << "--point takes KELVIN:VOLTS";
        QTest::newRow("plot to an unknown format")
            << QStringList{QStringLiteral("plot"), QStringLiteral("instrument"), QStringLiteral("-o"), QStringLiteral("plot.gif")}
            << sim << false << 2 << "-o takes a file name ending in .png or .svg";
        const QString noFile;
        QTest::newRow("get -o empty") << QStringList{QStringLiteral("get"), QStringLiteral("-o"), noFile} << sim << false << 2
                                      << "get: -o needs a file name";
        QTest::newRow("export -o empty")
            << QStringList{QStringLiteral("export"), QStringLiteral(EXAMPLES "/sample-calibration.json"), QStringLiteral("--format"),
                           QStringLiteral("csv"), QStringLiteral("-o"), noFile}
            << sim << false << 2 << "export: -o needs a file name";
        QTest::newRow("import -o empty")
            << QStringList{QStringLiteral("import"), QStringLiteral(EXAMPLES "/sample-curve.txt"), QStringLiteral("--constants-from"),
                           QStringLiteral(EXAMPLES "/sample-calibration.json"), QStringLiteral("--output=")}
            << sim << false << 2 << "import: -o needs a file name";
        QTest::newRow("softcal -o empty")
            << QStringList{QStringLiteral("softcal"), QStringLiteral(EXAMPLES "/standard-curve.340"), QStringLiteral("--point"),
                           QStringLiteral("77.35:1.0"), QStringLiteral("--constants-from"),
                           QStringLiteral(EXAMPLES "/sample-calibration.json"), QStringLiteral("-o"), noFile}
            << sim << false << 2 << "softcal: -o needs a file name";
        QTest::newRow("diff with one set") << QStringList{QStringLiteral("diff"), QStringLiteral("instrument")} << sim << false
                                           << 2 << "diff: takes exactly 2 arguments: A B";
        const QString endless = QStringLiteral("/dev/zero");
        const QString limit = QStringLiteral("/dev/zero: The file is larger than 256 MiB");
        QTest::newRow("import an endless file")
            << QStringList{QStringLiteral("import"), endless, QStringLiteral("--constants-from"), QStringLiteral("instrument")}
            << sim << false << 5 << limit;
        QTest::newRow("plot an endless file")
            << QStringList{QStringLiteral("plot"), endless, QStringLiteral("-o"), QStringLiteral("/nonexistent/p.png")}
            << sim << false << 5 << limit;
        QTest::newRow("softcal on an endless file")
            << QStringList{QStringLiteral("softcal"), endless, QStringLiteral("--measure"), QStringLiteral("77"),
                           QStringLiteral("--constants-from"), QStringLiteral("instrument")}
            << sim << false << 5 << limit;
        QTest::newRow("silent instrument") << QStringList{QStringLiteral("get")} << sim << true << 4
                                           << "The instrument did not answer.";
        QTest::newRow("missing file") << QStringList{QStringLiteral("diff"), QStringLiteral("/nonexistent.json"), QStringLiteral("instrument")}
                                      << sim << false << 5 << "/nonexistent.json: cannot be read";
        QTest::newRow("endless calibration file")
            << QStringList{QStringLiteral("diff"), QStringLiteral("/dev/zero"), QStringLiteral("instrument")} << sim << false << 5
            << "/dev/zero: larger than 64 MiB, far too large for a calibration file.";
        QTest::newRow("named port missing")
            << QStringList{QStringLiteral("commit"), QStringLiteral("--port"), QStringLiteral("/nonexistent/ttyACM0")}
            << QString() << false << 6 << "cannot open /nonexistent/ttyACM0";
        QTest::newRow("no instrument") << QStringList{QStringLiteral("commit")} << QStringLiteral("ttyS0;ttyUSB0:0403:6001")
                                       << false << 6 << "Serial ports present: ttyS0 (no USB ids), ttyUSB0 (0403:6001)";
        QTest::newRow("two instruments") << QStringList{QStringLiteral("commit")}
                                         << QStringLiteral("ttyACM0:0483:5740;ttyS0;") + sim << false << 6
                                         << "2 instruments found: ttyACM0 (0483:5740), SIM (0483:5740). Choose one with --port NAME.";
        QTest::newRow("the one instrument") << QStringList{QStringLiteral("commit")} << QStringLiteral("ttyS0;") + sim
                                            << false << 0 << "committed to EEPROM.";
    }

    // The statuses scripts branch on, each from a run through the program's entry (in this
    // process, but for drawing); "SIM" in the ports stands for the simulated instrument's
    // terminal, reported with the instrument's USB identifiers.
    void exitStatuses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, ports);
        QFETCH(bool, silent);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        sim::Faults faults;
        faults.silent = silent;
        instrument.setFaults(faults);
        const QString simPort = instrument.portName() + QStringLiteral(":0483:5740");
        QString message2 = message;
        message2.replace(QStringLiteral("SIM"), instrument.portName());
        const QString reported = ports.isNull() ? QString() : QString(ports).replace(QStringLiteral("SIM"), simPort);
        // Drawing needs a QGuiApplication, which this process does not have.
        const Run run = arguments.value(0) == QLatin1String("plot") ? runProcess(arguments, QString(), reported)
                                                                     : inProcess(arguments, reported);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message2), qPrintable(run.err));
        // The commit is the last byte out as the command returns; the instrument takes it a
        // moment later, on its own thread.
        if (exitCode == 0)
            QVERIFY(instrument.waitForRequests(1, 5000));
        QCOMPARE(requestCodes(instrument) == "\x0c", exitCode == 0);
    }

    void writeFailures_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("readings");  // the most readings taken before the end; -1: not a reading
        const QString sim = QStringLiteral("SIM");
        const QString port = QStringLiteral("--port");
        QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0;
        QTest::newRow("get") << QStringList{QStringLiteral("get"), port, sim} << -1;
        QTest::newRow("export csv") << QStringList{QStringLiteral("export"), QStringLiteral(EXAMPLES "/sample-calibration.json"),
                                                   QStringLiteral("--format"), QStringLiteral("csv")}
                                    << 0;
        QTest::newRow("export 340") << QStringList{QStringLiteral("export"), QStringLiteral(EXAMPLES "/sample-calibration.json"),
                                                   QStringLiteral("--format"), QStringLiteral("340")}
                                    << 0;
        QTest::newRow("ports --json") << QStringList{QStringLiteral("ports"), QStringLiteral("--json")} << 0;
        // Differences found would be status 1.
        QTest::newRow("diff") << QStringList{QStringLiteral("diff"), QStringLiteral(EXAMPLES "/sample-calibration.json"),
                                             QStringLiteral("instrument"), port, sim}
                              << -1;
        QTest::newRow("read") << QStringList{QStringLiteral("read"), port, sim} << 1;
        // The header is the first line lost: no reading is taken.
        QTest::newRow("read --csv log") << QStringList{QStringLiteral("read"), QStringLiteral("--csv"), QStringLiteral("--interval"),
                                                       QStringLiteral("0.01"), QStringLiteral("--count"), QStringLiteral("50"), port, sim}
                                        << 0;
        QTest::newRow("read --format influx log")
            << QStringList{QStringLiteral("read"), QStringLiteral("--format"), QStringLiteral("influx"), QStringLiteral("--interval"),
                           QStringLiteral("0.01"), QStringLiteral("--count"), QStringLiteral("50"), port, sim}
            << 1;
    }

    // Standard output on a full disk: every command ends with status 5 and says so, and a
    // log ends at the first line it could not write rather than reading on into nothing.
    void writeFailures()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, readings);
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        arguments.replaceInStrings(QStringLiteral("SIM"), instrument.portName());
        // What one reading asks of the instrument.
        QCOMPARE(inProcess({QStringLiteral("read"), QStringLiteral("--port"), instrument.portName()}).exitCode, 0);
        const int perReading = requestCodes(instrument).size();
        QVERIFY(perReading > 0);
        instrument.clearRequests();

        QProcess process;
        process.setProcessEnvironment(headless());
        process.setStandardOutputFile(QStringLiteral("/dev/full"));
        process.start(QStringLiteral(CLI_PATH), arguments);
        const Run run = testsupport::finishProcess(process);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QVERIFY2(run.exitCode == 5, qPrintable(QString::number(run.exitCode) + QLatin1Char(' ') + run.err));
        QVERIFY2(run.err.contains(QLatin1String("thermocal-cli: cannot write to standard output: No space left on device")),
                 qPrintable(run.err));
        if (readings >= 0)
            QVERIFY2(requestCodes(instrument).size() <= readings * perReading,
                     qPrintable(QStringLiteral("%1 requests").arg(requestCodes(instrument).size())));
    }

    // Readings are due at fixed times from the start: an instrument that takes 40 ms to
    // answer does not push the 50 ms schedule back. A reading that overran its slot makes the
    // next one wait for the following slot rather than go at once.
    void readLogsAtFixedTimes()
    {
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        sim::Faults faults;
        faults.replyDelayMs = 20;
        const Run run = readFrom(instrument, faults, {QStringLiteral("--interval"), QStringLiteral("0.05"),
                             QStringLiteral("--count"), QStringLiteral("20"), QStringLiteral("--csv")});
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = QString::fromUtf8(run.out).split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 22);
        QCOMPARE(lines.first(), QStringLiteral("time,voltage_V,temperature_K"));
        QCOMPARE(lines.last(), QString());
        const qint64 start = msOf(lines.at(1).section(QLatin1Char(','), 0, 0));
        qint64 lastSlot = -1;
        for (int k = 0; k < 20; ++k) {
            const QStringList fields = lines.at(k + 1).split(QLatin1Char(','));
            QCOMPARE(fields.mid(1), (QStringList{QStringLiteral("1.5"), QStringLiteral("300")}));
            const qint64 offset = msOf(fields.first()) - start;
            const qint64 slot = (offset + 2) / 50;
            const qint64 late = offset - 50 * slot;
            QVERIFY2(slot > lastSlot && late >= -2 && late < 30, qPrintable(lines.at(k + 1)));
            lastSlot = slot;
        }
    }

    // Ctrl-C ends a log after the reading in progress, leaving a complete CSV.
    void readStopsCleanlyOnInterrupt()
    {
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        QProcess process;
        process.setProcessEnvironment(headless());
        process.start(QStringLiteral(CLI_PATH), {QStringLiteral("read"), QStringLiteral("--interval"), QStringLiteral("0.02"),
                                                 QStringLiteral("--count"), QStringLiteral("0"), QStringLiteral("--csv"),
                                                 QStringLiteral("--port"), instrument.portName()});
        QVERIFY(process.waitForStarted());
        QVERIFY(instrument.waitForRequests(10, 10000));
        ::kill(pid_t(process.processId()), SIGINT);
        const Run run = testsupport::finishProcess(process);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.endsWith('\n'));
        const QStringList lines = QString::fromUtf8(run.out).trimmed().split(QLatin1Char('\n'));
        QVERIFY(lines.size() >= 6);
        const QRegularExpression row(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z,0,0$"));
        for (const QString &line : lines.mid(1))
            QVERIFY2(row.match(line).hasMatch(), qPrintable(line));
    }

    // A stop while the drain after a failed reading waits out an instrument that keeps
    // talking ends the log at once, not when the drain's second is up.
    void readStopsDuringADrain()
    {
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        sim::Faults chattering;
        chattering.chunkSize = 1;
        chattering.chunkGapUs = 60000;
        chattering.trailingBytes = QByteArray(16, '\x55');
        instrument.setFaults(chattering);
        QProcess process;
        process.setProcessEnvironment(headless());
        process.start(QStringLiteral(CLI_PATH), {QStringLiteral("read"), QStringLiteral("--interval"), QStringLiteral("1"),
                                                 QStringLiteral("--count"), QStringLiteral("0"), QStringLiteral("--csv"),
                                                 QStringLiteral("--port"), instrument.portName()});
        QVERIFY(process.waitForStarted());
        QVERIFY(instrument.waitForRequests(1, 10000));
        // The reply's pieces come 60 ms apart: past its 100 ms the reading has failed and
        // the drain has begun.
        QThread::msleep(protocol::ReplyTimeoutMs + 50);
        QElapsedTimer stopping;
        stopping.start();
        ::kill(pid_t(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 0);
        // A quarter of the drain's limit, against the three quarters it would still wait.
        QVERIFY2(stopping.elapsed() < readingloop::SettleLimitMs / 4, qPrintable(QString::number(stopping.elapsed())));
    }

    // Readings without an answer: a late reply is drained, never taken for the next value; the
    // reading's values are left empty; a lost connection ends the log with status 4.
    void readWithoutAnswers_data()
    {
        QTest::addColumn<sim::Faults>("faults");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("values"); // voltage,temperature of each row logged
        QTest::addColumn<QString>("message");

        const QString answered = QStringLiteral("1.5,300");
        sim::Faults lateVoltage;
        lateVoltage.replyDelayMs = 150;
        lateVoltage.delayedReplies = 1;
        QTest::newRow("late voltage, JSON")
            << lateVoltage << QStringList{QStringLiteral("--interval"), QStringLiteral("0.1"), QStringLiteral("--json")} << 0
            << QStringList{QStringLiteral(","), answered, answered, answered} << "The instrument did not answer.";
        QTest::newRow("late voltage, CSV")
            << lateVoltage << QStringList{QStringLiteral("--interval"), QStringLiteral("0.1"), QStringLiteral("--csv")} << 0
            << QStringList{QStringLiteral(","), answered, answered, answered} << "The instrument did not answer.";
        sim::Faults lateTemperature = lateVoltage;
        lateTemperature.delayedCommands = {0x02};
        QTest::newRow("late temperature drained")
            << lateTemperature << QStringList{QStringLiteral("--interval"), QStringLiteral("0.05"), QStringLiteral("--csv")}
            << 0 << QStringList{QStringLiteral(","), answered, answered, answered} << "The instrument did not answer.";
        // Later than the interval: without the drain it would land in the next reading's
        // voltage exchange, after that exchange had dropped what waited before it.
        sim::Faults laterThanTheInterval = lateTemperature;
        laterThanTheInterval.replyDelayMs = 250;
        QTest::newRow("temperature later than the interval, drained")
            << laterThanTheInterval << QStringList{QStringLiteral("--interval"), QStringLiteral("0.1"), QStringLiteral("--csv")}
            << 0 << QStringList{QStringLiteral(","), answered, answered, answered} << "The instrument did not answer.";
        sim::Faults unplugged;
        unplugged.unplugAfterRequests = 3;
        QTest::newRow("connection lost")
            << unplugged << QStringList{QStringLiteral("--interval"), QStringLiteral("0.05"), QStringLiteral("--csv")} << 4
            << QStringList{answered, QStringLiteral(",")} << "The connection to the instrument was lost.";
    }

    void readWithoutAnswers()
    {
        QFETCH(sim::Faults, faults);
        QFETCH(QStringList, options);
        QFETCH(int, exitCode);
        QFETCH(QStringList, values);
        QFETCH(QString, message);
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        const Run run = readFrom(instrument, faults, options + QStringList{QStringLiteral("--count"), QStringLiteral("4")});
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QStringList logged;
        QVector<qint64> times;
        const bool json = options.contains(QStringLiteral("--json"));
        const QList<QByteArray> lines = run.out.trimmed().split('\n');
        for (const QByteArray &line : lines.mid(json ? 0 : 1)) {
            if (!json) {
                logged.append(QString::fromUtf8(line).section(QLatin1Char(','), 1));
                times.append(msOf(QString::fromUtf8(line).section(QLatin1Char(','), 0, 0)));
                continue;
            }
            // A value without an answer is null; a number is written as CSV would write it.
            const QJsonObject reading = QJsonDocument::fromJson(line).object();
            times.append(msOf(reading.value(QStringLiteral("time")).toString()));
            QStringList fields;
            for (const char *key : {"voltage_V", "temperature_K"}) {
                const QJsonValue value = reading.value(QLatin1String(key));
                fields.append(value.isNull() ? QString() : QString::number(value.toDouble()));
            }
            logged.append(fields.join(QLatin1Char(',')));
        }
        QCOMPARE(logged, values);
        // Times that passed during a late reply and its drain are skipped, not made up for in
        // readings a moment apart.
        const qint64 intervalMs = qint64(options.at(options.indexOf(QStringLiteral("--interval")) + 1).toDouble() * 1000);
        for (int index = 1; index < times.size(); ++index)
            QVERIFY2(times.at(index) - times.at(index - 1) >= intervalMs / 2, qPrintable(QString::number(times.at(index) - times.at(index - 1))));
    }
    // With --reconnect a lost connection does not end the log: the rows stop, stderr says
    // so, and the schedule goes on once the port is back. Without it, the log ends with
    // status 4 as before.
    void readAcrossAnUnplug_data()
    {
        QTest::addColumn<bool>("reconnect");
        QTest::newRow("--reconnect") << true;
        QTest::newRow("without --reconnect") << false;
    }

    void readAcrossAnUnplug()
    {
        QFETCH(bool, reconnect);
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("instrument"));
        sim::Instrument instrument;
        QVERIFY(instrument.start());
        QVERIFY(instrument.setLink(link));
        QStringList arguments{QStringLiteral("read"), QStringLiteral("--interval"), QStringLiteral("0.05"),
                              QStringLiteral("--count"), QStringLiteral("0"), QStringLiteral("--csv"),
                              QStringLiteral("--port"), link};
        if (reconnect)
            arguments << QStringLiteral("--reconnect");
        QProcess process;
        process.setProcessEnvironment(headless());
        process.start(QStringLiteral(CLI_PATH), arguments);
        QVERIFY(process.waitForStarted());
        QVERIFY(instrument.waitForRequests(20, 10000));
        instrument.unplug();
        if (reconnect) {
            // Waiting without an event loop, so the process's end is collected below.
            QThread::msleep(1500);
            QVERIFY(instrument.replug());
            instrument.clearRequests();
            QVERIFY(instrument.waitForRequests(20, 10000));
            ::kill(pid_t(process.processId()), SIGINT);
        }
        const Run run = testsupport::finishProcess(process);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, reconnect ? 0 : 4);
        const QStringList lines = QString::fromUtf8(run.out).trimmed().split(QLatin1Char('\n'));
        qint64 widest = 0;
        int empty = 0;
        for (int index = 1; index < lines.size(); ++index) {
            const QStringList fields = lines.at(index).split(QLatin1Char(','));
            QCOMPARE(fields.size(), 3);
            empty += fields.at(2).isEmpty() ? 1 : 0;
            if (index > 1) {
                const qint64 apart = msOf(fields.first()) - msOf(lines.at(index - 1).section(QLatin1Char(','), 0, 0));
                QVERIFY2(apart >= 25, qPrintable(lines.at(index)));  // never a burst
                widest = std::max(widest, apart);
            }
        }
        QVERIFY(empty <= 1);
        if (!reconnect) {
            QVERIFY2(run.err.contains(QLatin1String("The connection to the instrument was lost.")), qPrintable(run.err));
            return;
        }
        QVERIFY(lines.size() > 20);
        QVERIFY2(widest >= 1500, qPrintable(QString::number(widest)));
        QVERIFY2(run.err.contains(QLatin1String("connection lost")), qPrintable(run.err));
        QVERIFY2(run.err.contains(QStringLiteral("%1: reconnected").arg(link)), qPrintable(run.err));
    }

    // A curve imported with another file's constants is exactly what the window's import
    // makes of it; its standard curve file reads back as the same table.
    void importAndExport()
    {
        QTemporaryDir dir;
        const QString imported = dir.filePath(QStringLiteral("imported.json"));
        const Run run = inProcess({QStringLiteral("import"), QStringLiteral(EXAMPLES "/sample-curve.txt"), QStringLiteral("--constants-from"),
                             QStringLiteral(EXAMPLES "/sample-calibration.json"), QStringLiteral("-o"), imported});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.err.contains(QLatin1String("read 300 points (columns: voltage, temperature), 1.4 K to 500 K; "
                                                "largest interpolation error of the table ")),
                 qPrintable(run.err));
        const calibrationfile::LoadResult file = calibrationfile::load(imported);
        const calibrationfile::LoadResult constants = calibrationfile::load(QStringLiteral(EXAMPLES "/sample-calibration.json"));
        QCOMPARE(float(file.set.adcSlope), float(constants.set.adcSlope));
        QCOMPARE(float(file.set.dacSlope), float(constants.set.dacSlope));
        const curveimport::Result window = curveimport::importFile(QStringLiteral(EXAMPLES "/sample-curve.txt"));
        QCOMPARE(file.set.table.size(), 100);
        for (int row = 0; row < 100; ++row) {
            QCOMPARE(float(file.set.table[row].first), float(window.rows[row].first));
            QCOMPARE(float(file.set.table[row].second), float(window.rows[row].second));
        }

        const QString exported = dir.filePath(QStringLiteral("sensor.340"));
        QCOMPARE(inProcess({QStringLiteral("export"), imported, QStringLiteral("--format"), QStringLiteral("340"), QStringLiteral("-o"),
                      exported, QStringLiteral("--sensor-model"), QStringLiteral("DT-X"), QStringLiteral("--serial-number"),
                      QStringLiteral("D1234")})
                     .exitCode,
                 0);
        QFile text(exported);
        QVERIFY(text.open(QIODevice::ReadOnly));
        QCOMPARE(text.readAll().split('\n').mid(0, 10),
                 (QList<QByteArray>{"Sensor Model:  DT-X", "Serial Number:  D1234", "Data Format:  2 (Volts/Kelvin)",
                                    "SetPoint Limit:  500 (Kelvin)", "Temperature coefficient:  1 (Negative)",
                                    "Number of Breakpoints:  100", "", "No.  Units  Temperature (K)",
                                    "  1  0.09          500", "  2  0.15196991    471.1766"}));
        // Read back, temperatures are the same and voltages within one single-precision step:
        // the import resamples at temperatures it computes itself.
        const curveimport::Result back = curveimport::importFile(exported);
        QVERIFY(back.ok());
        for (int row = 0; row < 100; ++row) {
            QCOMPARE(float(back.rows[row].second), float(file.set.table[row].second));
            const float voltage = float(file.set.table[row].first);
            QVERIFY(std::fabs(float(back.rows[row].first) - voltage) <= std::nextafter(voltage, 10.0f) - voltage);
        }

        const Run csv = inProcess({QStringLiteral("export"), imported, QStringLiteral("--format"), QStringLiteral("csv")});
        QCOMPARE(csv.exitCode, 0);
        QVERIFY(csv.out.startsWith("voltage_V,temperature_K\n1.635653,1.4\n"));
        QCOMPARE(csv.out.count('\n'), 101);

        QFile source(imported);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QJsonObject bent = QJsonDocument::fromJson(source.readAll()).object();
        QJsonArray rows = bent.value(QStringLiteral("TempTable")).toArray();
        rows[40] = QJsonArray{rows.at(38).toArray().at(0), rows.at(40).toArray().at(1)};
        bent.insert(QStringLiteral("TempTable"), rows);
        const Run refused = inProcess({QStringLiteral("export"), write(dir, QStringLiteral("bent.json"), QJsonDocument(bent).toJson()),
                                 QStringLiteral("--format"), QStringLiteral("340")});
        QCOMPARE(refused.exitCode, 5);
        QVERIFY2(refused.err.contains(QLatin1String("row 41")), qPrintable(refused.err));
        QVERIFY(refused.out.isEmpty());
    }

    void importBySpacing_data()
    {
        QTest::addColumn<QStringList>("spacing");
        QTest::addColumn<bool>("within15Millikelvin");

        QTest::newRow("curvature") << QStringList{QStringLiteral("--spacing"), QStringLiteral("curvature")} << true;
        QTest::newRow("geometric") << QStringList{QStringLiteral("--spacing"), QStringLiteral("geometric")} << false;
        QTest::newRow("default") << QStringList() << false;
    }

    // The knee diode's curve, read through each table as the instrument reads it, finely over
    // its whole range: rows placed by curvature keep within 15 mK of it, geometric rows do
    // not. The figure the import prints is that error, and the table exports as a standard
    // curve file holding exactly its rows.
    void importBySpacing()
    {
        QFETCH(QStringList, spacing);
        QFETCH(bool, within15Millikelvin);

        QTemporaryDir dir;
        const QString imported = dir.filePath(QStringLiteral("imported.json"));
        const Run run = inProcess(QStringList{QStringLiteral("import"), testsupport::kneeDiodeFile(), QStringLiteral("--constants-from"),
                                              QStringLiteral(EXAMPLES "/sample-calibration.json"), QStringLiteral("-o"), imported}
                                  + spacing);
        QCOMPARE(run.exitCode, 0);
        const QRegularExpressionMatch figure
            = QRegularExpression(QStringLiteral("^thermocal-cli: read 1725 points \\(columns: voltage, temperature\\), 1.2 K to 500 K; "
                                                "largest interpolation error of the table (-?[0-9.]+) mK at [0-9.]+ K.\n$"))
                  .match(run.err);
        QVERIFY2(figure.hasMatch(), qPrintable(run.err));
        const calibrationfile::LoadResult file = calibrationfile::load(imported);
        QCOMPARE(file.status, calibrationfile::LoadStatus::Loaded);
        const QVector<QPair<double, double>> table = file.set.table;
        QCOMPARE(table.size(), 100);

        // Finely between every two rows, where reading along a straight line costs most: a
        // segment's error is smooth, so 64 places a segment find its largest within a fraction
        // of a percent, at a thousandth of a uniform millikelvin scan's cost.
        QVector<double> rows;
        for (const auto &row : table)
            rows.append(row.second);
        std::sort(rows.begin(), rows.end());
        constexpr int PlacesPerSegment = 64;
        double worst = 0.0;
        for (int segment = 0; segment + 1 < rows.size(); ++segment) {
            for (int place = 0; place <= PlacesPerSegment; ++place) {
                const double kelvin = rows.at(segment) + (rows.at(segment + 1) - rows.at(segment)) * place / PlacesPerSegment;
                const double error = (curvemath::tableTemperature(table, testsupport::kneeDiodeVolts(kelvin)) - kelvin) * 1000.0;
                worst = std::max(worst, std::fabs(error));
            }
        }
        QVERIFY2((worst <= 15.0) == within15Millikelvin, qPrintable(QString::number(worst)));
        QVERIFY2(std::fabs(std::fabs(figure.captured(1).toDouble()) - worst) < 0.1 * worst,
                 qPrintable(QStringLiteral("%1 printed, %2 mK found").arg(figure.captured(1)).arg(worst)));

        const QString exported = dir.filePath(QStringLiteral("sensor.340"));
        QCOMPARE(inProcess({QStringLiteral("export"), imported, QStringLiteral("--format"), QStringLiteral("340"), QStringLiteral("-o"), exported})
                     .exitCode,
                 0);
        QVector<QPair<double, double>> breakpoints = curveimport::readFile(exported).points;
        std::reverse(breakpoints.begin(), breakpoints.end());
        QCOMPARE(breakpoints.size(), table.size());
        for (int row = 0; row < table.size(); ++row) {
            QCOMPARE(float(breakpoints.at(row).first), float(table.at(row).first));
            QCOMPARE(float(breakpoints.at(row).second), float(table.at(row).second));
        }
    }

    // A curve whose voltage turns back has no table placed by curvature: the file is refused
    // and nothing is written.
    void importRefusesACurveThatTurnsBack()
    {
        QTemporaryDir dir;
        const QString curve = write(dir, QStringLiteral("turning.txt"), "1.7\t2\n1.2\t20\n1.25\t30\n0.5\t300\n");
        const QString imported = dir.filePath(QStringLiteral("imported.json"));
        const Run run = inProcess({QStringLiteral("import"), curve, QStringLiteral("--constants-from"),
                                   QStringLiteral(EXAMPLES "/sample-calibration.json"), QStringLiteral("--spacing"),
                                   QStringLiteral("curvature"), QStringLiteral("-o"), imported});
        QCOMPARE(run.exitCode, 5);
        QVERIFY2(run.err.contains(QLatin1String("turning.txt: Rows can be placed by curvature only on a curve whose voltage rises or "
                                                "falls all the way")),
                 qPrintable(run.err));
        QVERIFY(!QFile::exists(imported));
        // The geometric rows of the window's import take it as they always have.
        QCOMPARE(inProcess({QStringLiteral("import"), curve, QStringLiteral("--constants-from"),
                            QStringLiteral(EXAMPLES "/sample-calibration.json"), QStringLiteral("-o"), imported})
                     .exitCode,
                 0);
    }

    // The second diode of the demo reads 10 mV above the standard curve: a one-point fit at
    // the bath, sent, makes the instrument read the bath's temperature again.
    void softcalAtTheBath()
    {
        QTemporaryDir dir;
        auto firmware = std::make_unique<sim::DemoFirmware>();
        firmware->sensorOffsetVolts = 0.010;
        sim::Instrument instrument(std::move(firmware));
        QVERIFY(instrument.start());
        const QString fitted = dir.filePath(QStringLiteral("fitted.json"));
        const Run fit = inProcess({QStringLiteral("softcal"), QStringLiteral(EXAMPLES "/standard-curve.340"), QStringLiteral("--measure"),
                             QStringLiteral("77.35"), QStringLiteral("--constants-from"), QStringLiteral("instrument"),
                             QStringLiteral("-o"), fitted, QStringLiteral("--port"), instrument.portName()});
        QCOMPARE(fit.exitCode, 0);
        // The bath drifts by a few tenths of a kelvin, about 2.4 mV per kelvin.
        const QRegularExpressionMatch correction
            = QRegularExpression(QStringLiteral("at 77.35 K: correction ([0-9.]+) mV, (-[0-9.]+) mK")).match(fit.err);
        QVERIFY2(correction.hasMatch(), qPrintable(fit.err));
        QVERIFY(std::fabs(correction.captured(1).toDouble() - 10.0) < 1.0);

        // Every row of the fitted table lies the same voltage above the standard curve.
        const calibrationfile::LoadResult file = calibrationfile::load(fitted);
        const curveimport::Result standard = curveimport::importFile(QStringLiteral(EXAMPLES "/standard-curve.340"));
        for (int row = 0; row < 100; ++row) {
            QCOMPARE(float(file.set.table[row].second), float(standard.rows[row].second));
            QVERIFY(std::fabs(file.set.table[row].first - standard.rows[row].first - correction.captured(1).toDouble() / 1000)
                    < 2e-6);
        }

        QCOMPARE(inProcess({QStringLiteral("set"), fitted, QStringLiteral("--commit"), QStringLiteral("--no-backup"),
                      QStringLiteral("--port"), instrument.portName()})
                     .exitCode,
                 0);
        const Run reading = inProcess({QStringLiteral("read"), QStringLiteral("--json"), QStringLiteral("--port"), instrument.portName()});
        const double kelvin = QJsonDocument::fromJson(reading.out).object().value(QStringLiteral("temperature_K")).toDouble();
        QVERIFY2(std::fabs(kelvin - 77.35) < 0.7, reading.out.constData());
    }

    // A sensor whose readings still wander is not fitted.
    void softcalRefusesAnUnsettledSensor()
    {
        class Wandering : public sim::Firmware
        {
            float liveVoltage() override { return 1.0f + 0.0006f * float(++m_readings % 3); }
            int m_readings = 0;
        };
        sim::Instrument instrument(std::make_unique<Wandering>());
        QVERIFY(instrument.start());
        const Run run = inProcess({QStringLiteral("softcal"), QStringLiteral(EXAMPLES "/standard-curve.340"), QStringLiteral("--measure"),
                             QStringLiteral("77.35"), QStringLiteral("--constants-from"), QStringLiteral(EXAMPLES "/sample-calibration.json"),
                             QStringLiteral("--port"), instrument.portName()});
        QCOMPARE(run.exitCode, 4);
        QVERIFY2(run.err.contains(QLatin1String("the sensor is not settled at 77.35 K: 10 readings spread over 1.200 mV")),
                 qPrintable(run.err));
        QVERIFY(run.out.isEmpty());
    }

    // Pictures are drawn without a display: a PNG of the asked size with something on it,
    // an SVG with one path per curve.
    void plot()
    {
        QTemporaryDir dir;
        sim::Instrument instrument(std::make_unique<sim::DemoFirmware>());
        QVERIFY(instrument.start());
        const QString png = dir.filePath(QStringLiteral("curves.png"));
        const Run drawn = runProcess({QStringLiteral("plot"), QStringLiteral(EXAMPLES "/sample-curve.txt"),
                               QStringLiteral(EXAMPLES "/sample-calibration.json"), QStringLiteral("instrument"),
                               QStringLiteral("--size"), QStringLiteral("640x480"), QStringLiteral("-o"), png,
                               QStringLiteral("--port"), instrument.portName()});
        QCOMPARE(drawn.exitCode, 0);
        QVERIFY2(drawn.err.isEmpty(), qPrintable(drawn.err));
        const QImage image(png);
        QCOMPARE(image.size(), QSize(640, 480));
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 4) {
            for (int x = 0; x < image.width(); x += 4)
                colours.insert(image.pixel(x, y));
        }
        QVERIFY2(colours.size() > 10, qPrintable(QString::number(colours.size())));

        const QString svg = dir.filePath(QStringLiteral("difference.svg"));
        QCOMPARE(runProcess({QStringLiteral("plot"), QStringLiteral(EXAMPLES "/standard-curve.340"),
                      QStringLiteral(EXAMPLES "/sample-calibration.json"), QStringLiteral("--difference"), QStringLiteral("-o"), svg})
                     .exitCode,
                 0);
        QFile drawing(svg);
        QVERIFY(drawing.open(QIODevice::ReadOnly));
        QCOMPARE(drawing.readAll().count("<path"), 2);
    }

    // thermocal-sim as a user starts it, with the listing and the comparison in JSON.
    void againstThermocalSim()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("instrument"));
        QProcess simulator;
        simulator.start(QStringLiteral(SIM_PATH), {QStringLiteral("--link"), link});
        QVERIFY(simulator.waitForReadyRead(10000));
        const QString terminal = QString::fromUtf8(simulator.readLine()).trimmed();
        QCOMPARE(QFileInfo(link).symLinkTarget(), terminal);

        const Run listed = runProcess({QStringLiteral("ports"), QStringLiteral("--json")}, QString(),
                               QStringLiteral("ttyS0;") + terminal + QStringLiteral(":0483:5740"));
        QCOMPARE(listed.exitCode, 0);
        const QJsonArray ports = QJsonDocument::fromJson(listed.out).array();
        QCOMPARE(ports.size(), 2);
        QCOMPARE(ports.at(0).toObject().value(QStringLiteral("vid")), QJsonValue());
        QCOMPARE(ports.at(0).toObject().value(QStringLiteral("instrument")).toBool(), false);
        QCOMPARE(ports.at(1).toObject().value(QStringLiteral("port")).toString(), terminal);
        QCOMPARE(ports.at(1).toObject().value(QStringLiteral("vid")).toString(), QStringLiteral("0483"));
        QCOMPARE(ports.at(1).toObject().value(QStringLiteral("pid")).toString(), QStringLiteral("5740"));
        QCOMPARE(ports.at(1).toObject().value(QStringLiteral("instrument")).toBool(), true);

        const Run got = runProcess({QStringLiteral("get"), QStringLiteral("--port"), link});
        QCOMPARE(got.exitCode, 0);
        const std::optional<CalibrationSet> factory = calibrationfile::parse(got.out);
        QVERIFY(factory && factory->table.size() == 100);
        QVERIFY(got.out.contains("3.8146973e-05,\n"));
        QCOMPARE(got.out.count('\n'), 412);

        QJsonObject changed = QJsonDocument::fromJson(got.out).object();
        QJsonArray table = changed.value(QStringLiteral("TempTable")).toArray();
        table[41] = QJsonArray{1.0, 77.35};
        changed.insert(QStringLiteral("TempTable"), table);
        const QString file = write(dir, QStringLiteral("changed.json"), QJsonDocument(changed).toJson());
        const Run compared = runProcess({QStringLiteral("diff"), QStringLiteral("instrument"), file, QStringLiteral("--json"),
                                  QStringLiteral("--port"), link});
        QCOMPARE(compared.exitCode, 1);
        const QJsonObject result = QJsonDocument::fromJson(compared.out).object();
        QCOMPARE(result.value(QStringLiteral("identical")).toBool(), false);
        const QJsonArray differences = result.value(QStringLiteral("differences")).toArray();
        QCOMPARE(differences.size(), 2);
        const QJsonObject voltage = differences.at(0).toObject();
        QCOMPARE(voltage.value(QStringLiteral("field")).toString(), QStringLiteral("voltage"));
        QCOMPARE(voltage.value(QStringLiteral("row")).toInt(), 42);
        QCOMPARE(voltage.value(QStringLiteral("b")).toDouble(), 1.0);
        // The voltage difference as the temperature error it means at that row of the curve.
        QVERIFY(voltage.value(QStringLiteral("mK")).toDouble() > 1000.0);
        const QJsonObject temperature = differences.at(1).toObject();
        QVERIFY(std::fabs(temperature.value(QStringLiteral("mK")).toDouble()
                          - (77.35 - temperature.value(QStringLiteral("a")).toDouble()) * 1000) < 0.01);
        QCOMPARE(differences.at(1).toObject().value(QStringLiteral("b")).toDouble(), 77.35);

        ::kill(pid_t(simulator.processId()), SIGTERM);
        QVERIFY(simulator.waitForFinished(10000));
        QCOMPARE(simulator.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
