#include "benchsupport.h"
#include "clirun.h"
#include "dccschema.h"
#include "curvemath.h"
#include "demofirmware.h"
#include "record.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

#include <signal.h>

namespace {

using Run = testsupport::ProcessRun;

using testsupport::runCli;

// A bench that settles within a fraction of a second, so windows of seconds judge it.
sim::BenchSettings quickBench()
{
    sim::BenchSettings settings;
    settings.timeConstantSeconds = 0.3;
    return settings;
}

// A procedure for the bench: readings every 0.1 s, a window of 2 s, 20 paired readings.
// Limits three standard errors above what the instrument's own noise gives over a window.
QJsonObject procedureFor(sim::BenchHost &bench, const QJsonArray &points, bool adc = false)
{
    return QJsonObject{
        {QStringLiteral("kind"), adc ? QStringLiteral("adc") : QStringLiteral("sensor")},
        {QStringLiteral("points"), points},
        {QStringLiteral("reference"),
         QJsonObject{{QStringLiteral("port"), bench.referenceUrl()},
                     {QStringLiteral("query"), adc ? QStringLiteral("MEAS:VOLT?") : QStringLiteral("MEAS:TEMP?")},
                     {QStringLiteral("unit"), adc ? QStringLiteral("V") : QStringLiteral("K")},
                     {QStringLiteral("identify"), true},
                     {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("REF-9")},
                                                                 {QStringLiteral("expanded_uncertainty"), adc ? 0.00002 : 0.002},
                                                                 {QStringLiteral("k"), 2},
                                                                 {QStringLiteral("due"), QStringLiteral("2099-01-01")}}},
                     {QStringLiteral("resolution"), adc ? 0.000001 : 0.001}}},
        {QStringLiteral("source"), QJsonObject{{QStringLiteral("port"), bench.bathUrl()},
                                               {QStringLiteral("set"), adc ? QStringLiteral("SOUR:VOLT {V}") : QStringLiteral("SOUR:SPO {C}")},
                                               {QStringLiteral("settle"), 0.5}}},
        {QStringLiteral("stability"), QJsonObject{{QStringLiteral("interval"), 0.1}, {QStringLiteral("window"), 2},
                                                  {QStringLiteral("slope"), adc ? 0.001 : 0.6}, {QStringLiteral("sd"), adc ? 0.0001 : 0.03},
                                                  {QStringLiteral("samples"), 20}, {QStringLiteral("timeout"), 20}}},
        {QStringLiteral("tolerance"), adc ? 0.0005 : 0.05},
        {QStringLiteral("decision_rule"), QStringLiteral("guarded")},
        {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("T-1")},
                                                    {QStringLiteral("lab"), QStringLiteral("Test Lab")},
                                                    {QStringLiteral("country"), QStringLiteral("DE")},
                                                    {QStringLiteral("city"), QStringLiteral("Coldtown")},
                                                    {QStringLiteral("language"), QStringLiteral("en")}}}};
}

QString writeProcedure(const QTemporaryDir &dir, const QJsonObject &procedure)
{
    return testsupport::writeFile(dir.path(), QStringLiteral("procedure.json"), QJsonDocument(procedure).toJson());
}

QJsonObject readRecord(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

// thermocal-cli calibrate with the procedure at `procedurePath` on the bench's instrument,
// recording into `recordPath`, then `more`.
QStringList calibrateArguments(const QString &procedurePath, const sim::BenchHost &bench, const QString &recordPath,
                               const QStringList &more = {})
{
    return QStringList{QStringLiteral("calibrate"), procedurePath, QStringLiteral("--port"), bench.instrumentPort(),
                       QStringLiteral("--record"), recordPath}
        + more;
}

// The reference's mean at point `index` of the record at `path`.
double referenceAt(const QString &path, int index)
{
    const QJsonObject point = readRecord(path).value(QStringLiteral("points")).toArray().at(index).toObject();
    return point.value(QStringLiteral("statistics")).toObject().value(QStringLiteral("reference")).toDouble();
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QVector<curveimport::Point> tableOf(const QJsonValue &set)
{
    QVector<curveimport::Point> rows;
    for (const QJsonValue &row : set.toObject().value(QStringLiteral("TempTable")).toArray())
        rows.append({row.toArray().at(0).toDouble(), row.toArray().at(1).toDouble()});
    return rows;
}

} // namespace

// thermocal-cli calibrate against the simulated bench: a dry-well (or a voltage calibrator)
// and a reference readout on loopback ports, sharing one temperature with the instrument
// on a pseudo-terminal, its sensor off its table by a known smooth function.
class TestCalibrate : public QObject
{
    Q_OBJECT

    // The sensor run's DCC, which the ADC run's record must refuse as another run's.
    QTemporaryDir m_runs;
    const QString m_sensorDcc = m_runs.filePath(QStringLiteral("sensor.xml"));

private slots:
    // Five points, written: the as-left points read the bath within a few mK, and between the
    // points the new table follows the sensor within what a quartic allows.
    void sensorCalibrationRecoversTheDeviation()
    {
        QTemporaryDir dir;
        QString error;
        const auto bench = testsupport::startBench(quickBench(), &error);
        QVERIFY2(bench, qPrintable(error));
        QJsonObject procedure = procedureFor(*bench, QJsonArray{50, 100, 200, 300, 400});
        procedure.insert(QStringLiteral("fit"), QJsonObject{{QStringLiteral("degree"), 4}});
        const QString recordPath = dir.filePath(QStringLiteral("record.json"));
        const QString pdf = dir.filePath(QStringLiteral("certificate.pdf"));
        const Run run = runCli(calibrateArguments(writeProcedure(dir, procedure), *bench, recordPath,
                                                      {QStringLiteral("--write"), QStringLiteral("--backup"),
                                                       dir.filePath(QStringLiteral("backup.json")), QStringLiteral("--certificate"), pdf,
                                                       QStringLiteral("--dcc"), m_sensorDcc}));
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        QVERIFY2(run.err.contains(QStringLiteral("sent, verified and committed to EEPROM")), qPrintable(run.err));
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("backup.json"))));
        QVERIFY(QFileInfo(pdf).size() > 0);

        const QJsonObject record = readRecord(recordPath);
        QCOMPARE(record.value(QStringLiteral("state")).toString(), QStringLiteral("complete"));
        QVERIFY(record.value(QStringLiteral("reference")).toObject().value(QStringLiteral("idn")).toString().contains(QStringLiteral("reference")));
        int asLeft = 0;
        for (const QJsonValue &value : record.value(QStringLiteral("points")).toArray()) {
            const QJsonObject point = value.toObject();
            const double errorMk = point.value(QStringLiteral("result")).toObject().value(QStringLiteral("error")).toDouble() * 1000.0;
            if (point.value(QStringLiteral("phase")).toString() == QLatin1String("as found")) {
                QVERIFY2(std::fabs(errorMk) > 300.0, qPrintable(QString::number(errorMk)));
            } else {
                ++asLeft;
                QVERIFY2(std::fabs(errorMk) < 12.0, qPrintable(QStringLiteral("%1 K: %2 mK").arg(point.value(QStringLiteral("nominal")).toDouble()).arg(errorMk)));
            }
        }
        QCOMPARE(asLeft, 5);
        // The instrument holds the new table, and it reads the sensor between the points too.
        const sim::Constants held = bench->instrument().constants();
        QVector<curveimport::Point> heldTable;
        for (const auto &row : held.table)
            heldTable.append({row.first, row.second});
        const QVector<curveimport::Point> recorded = tableOf(record.value(QStringLiteral("as_left_set")));
        QCOMPARE(recorded.size(), TableRows);
        for (int row = 0; row < TableRows; ++row) {
            QCOMPARE(float(recorded.at(row).first), held.table[size_t(row)].first);
            QCOMPARE(float(recorded.at(row).second), held.table[size_t(row)].second);
        }
        for (double kelvin = 55; kelvin < 400; kelvin += 15) {
            const double volts = sim::DemoFirmware::diodeVoltage(kelvin) + sim::Bench::sensorDeviationVolts(kelvin);
            const double errorMk = (curvemath::tableTemperature(heldTable, volts) - kelvin) * 1000.0;
            QVERIFY2(std::fabs(errorMk) < 50.0, qPrintable(QStringLiteral("%1 K: %2 mK").arg(kelvin).arg(errorMk)));
        }

        QCOMPARE(runCli({QStringLiteral("verify-record"), recordPath}).out, QByteArray("record verified\n"));
        // The DCC written at the end of the run: valid, the record's own, inside the PDF byte for
        // byte, and what the dcc command writes from the record alone.
        const QByteArray xml = readBytes(m_sensorDcc);
        const QString invalid = dccschema::problem(xml);
        QVERIFY2(invalid.isEmpty(), qPrintable(invalid));
        const Run own = runCli({QStringLiteral("verify-record"), recordPath, QStringLiteral("--dcc"), m_sensorDcc});
        QVERIFY2(own.exitCode == 0, qPrintable(own.err));
        QCOMPARE(own.out, QByteArray("record verified; the DCC is its own\n"));
        // The DCC alone is enough: its embedded record is verified, and the DCC against it.
        const Run alone = runCli({QStringLiteral("verify-record"), m_sensorDcc});
        QVERIFY2(alone.exitCode == 0, qPrintable(alone.err));
        QByteArray changed = xml;
        const int reference = changed.indexOf("<si:valueXMLList>", changed.indexOf("<si:valueXMLList>") + 1) + int(qstrlen("<si:valueXMLList>"));
        changed[reference] = changed.at(reference) == '9' ? '8' : char(changed.at(reference) + 1);
        const QString changedPath = testsupport::writeFile(dir.path(), QStringLiteral("changed.xml"), changed);
        const Run digit = runCli({QStringLiteral("verify-record"), changedPath});
        QCOMPARE(digit.exitCode, 3);
        QVERIFY2(digit.err.contains(QStringLiteral("valueXMLList")), qPrintable(digit.err));
        QProcess detach;
        detach.start(QStringLiteral("pdfdetach"), {QStringLiteral("-saveall"), QStringLiteral("-o"), dir.path(), pdf});
        QVERIFY2(detach.waitForStarted(10000), "pdfdetach (poppler-utils) is not installed; scripts/bootstrap installs it");
        QVERIFY(detach.waitForFinished(30000));
        QCOMPARE(readBytes(dir.filePath(QStringLiteral("T-1.dcc.xml"))), xml);
        const QString fromRecord = dir.filePath(QStringLiteral("from-record.xml"));
        const Run written = runCli({QStringLiteral("dcc"), recordPath, QStringLiteral("-o"), fromRecord});
        QVERIFY2(written.exitCode == 0, qPrintable(written.err));
        QCOMPARE(runCli({QStringLiteral("verify-record"), recordPath, QStringLiteral("--dcc"), fromRecord}).exitCode, 0);
        // A second run never replaces the record.
        const Run again = runCli(calibrateArguments(writeProcedure(dir, procedure), *bench, recordPath));
        QCOMPARE(again.exitCode, 5);
        QVERIFY2(again.err.contains(QStringLiteral("exists already")), qPrintable(again.err));
        QCOMPARE(readRecord(recordPath), record);
        // Nor does a resumed run replace a file other than its record.
        const QString other = testsupport::writeFile(dir.path(), QStringLiteral("other.json"), QByteArray("keep me"));
        const Run elsewhere = runCli({QStringLiteral("calibrate"), writeProcedure(dir, procedure), QStringLiteral("--port"),
                                      bench->instrumentPort(), QStringLiteral("--resume"), recordPath, QStringLiteral("--record"), other});
        QCOMPARE(elsewhere.exitCode, 5);
        QVERIFY2(elsewhere.err.contains(QStringLiteral("is not the record being resumed")), qPrintable(elsewhere.err));
        QFile kept(other);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("keep me"));
        // One reading changed by a millikelvin is found.
        QJsonObject tampered = record;
        QJsonArray points = tampered.value(QStringLiteral("points")).toArray();
        QJsonObject first = points.at(0).toObject();
        QJsonArray samples = first.value(QStringLiteral("samples")).toArray();
        QJsonArray sample = samples.last().toArray();
        sample[1] = sample.at(1).toDouble() + 0.001;
        samples[samples.size() - 1] = sample;
        first.insert(QStringLiteral("samples"), samples);
        points[0] = first;
        tampered.insert(QStringLiteral("points"), points);
        const QString tamperedPath = testsupport::writeFile(dir.path(), QStringLiteral("tampered.json"), QJsonDocument(tampered).toJson());
        const Run verify = runCli({QStringLiteral("verify-record"), tamperedPath});
        QCOMPARE(verify.exitCode, 3);
        QVERIFY2(verify.err.contains(QStringLiteral("recorded")) && verify.err.contains(QStringLiteral("recomputed")), qPrintable(verify.err));
        // Nor does it get a DCC.
        const Run refused = runCli({QStringLiteral("dcc"), tamperedPath, QStringLiteral("-o"), dir.filePath(QStringLiteral("tampered.xml"))});
        QCOMPARE(refused.exitCode, 3);
        QVERIFY2(refused.err.contains(QStringLiteral("does not verify")), qPrintable(refused.err));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("tampered.xml"))));
    }

    // A voltage calibrator at the input and a converter whose step is 200 ppm off: the fit
    // finds the step and the zero the bench gave it.
    void adcCalibrationRecoversTheConstants()
    {
        QTemporaryDir dir;
        QString error;
        sim::BenchSettings settings = quickBench();
        settings.source = sim::BenchSource::Calibrator;
        settings.adcError = true;
        const auto bench = testsupport::startBench(settings, &error);
        QVERIFY2(bench, qPrintable(error));
        const QString recordPath = dir.filePath(QStringLiteral("adc.json"));
        const Run run = runCli(calibrateArguments(writeProcedure(dir, procedureFor(*bench, QJsonArray{0.2, 0.9, 1.6, 2.3}, true)), *bench,
                                                      recordPath,
                                                      {QStringLiteral("--write"), QStringLiteral("--backup"),
                                                       dir.filePath(QStringLiteral("backup.json")), QStringLiteral("--dcc"),
                                                       dir.filePath(QStringLiteral("adc.xml"))}));
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        // The changes in µV, as a U of about 20 µV needs: each to the microvolt, and what the
        // found and predicted columns (to the microvolt) differ by.
        const QString microvolt = QStringLiteral("\u00b5V");
        const int table = run.err.indexOf(QStringLiteral("with the new constants, change (%1):").arg(microvolt));
        QVERIFY2(table >= 0, qPrintable(run.err));
        const QStringList lines = run.err.mid(table).split(QLatin1Char('\n'));
        for (int row = 1; row <= 4; ++row) {
            const QStringList cells = lines.value(row).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            // The program's name, then nominal, reference, found, with the new constants, change.
            QCOMPARE(cells.size(), 6);
            QVERIFY2(QRegularExpression(QStringLiteral("^-?\\d+$")).match(cells.at(5)).hasMatch(), qPrintable(lines.value(row)));
            const double change = (cells.at(4).toDouble() - cells.at(3).toDouble()) * 1e6;
            QVERIFY2(std::fabs(cells.at(5).toDouble() - change) <= 1.5, qPrintable(lines.value(row)));
        }
        QVERIFY2(run.err.contains(QRegularExpression(QStringLiteral("largest change \\d+ %1\\.").arg(microvolt))), qPrintable(run.err));
        const sim::Constants held = bench->instrument().constants();
        QVERIFY2(std::fabs(held.adcSlope / sim::Bench::AdcErrorVoltsPerCount - 1.0) < 2e-5, qPrintable(QString::number(double(held.adcSlope), 'g', 9)));
        QVERIFY2(std::fabs(held.adcIntercept - sim::Bench::AdcErrorZeroVolts) < 3e-5, qPrintable(QString::number(double(held.adcIntercept), 'g', 9)));
        const QJsonObject record = readRecord(recordPath);
        for (const QJsonValue &value : record.value(QStringLiteral("points")).toArray()) {
            const QJsonObject point = value.toObject();
            if (point.value(QStringLiteral("phase")).toString() == QLatin1String("as left"))
                QVERIFY(std::fabs(point.value(QStringLiteral("result")).toObject().value(QStringLiteral("error")).toDouble()) < 5e-5);
        }
        QCOMPARE(runCli({QStringLiteral("verify-record"), recordPath}).exitCode, 0);
        const QString invalid = dccschema::problem(readBytes(dir.filePath(QStringLiteral("adc.xml"))));
        QVERIFY2(invalid.isEmpty(), qPrintable(invalid));
        QCOMPARE(runCli({QStringLiteral("verify-record"), recordPath, QStringLiteral("--dcc"), dir.filePath(QStringLiteral("adc.xml"))}).exitCode, 0);
        // The sensor run's DCC is not this record's.
        QVERIFY2(QFile::exists(m_sensorDcc), "runs after sensorCalibrationRecoversTheDeviation, whose DCC it compares");
        const Run other = runCli({QStringLiteral("verify-record"), recordPath, QStringLiteral("--dcc"), m_sensorDcc});
        QCOMPARE(other.exitCode, 3);
        QVERIFY2(other.err.contains(QStringLiteral("is not this record's certificate")), qPrintable(other.err));
    }

    // What is refused before anything is measured, and what a reference's answer can stop.
    void refusals_data()
    {
        QTest::addColumn<QString>("member");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("celsiusReadout");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("expired reference") << "reference.certificate.due" << QJsonValue(QStringLiteral("2020-02-29")) << false << 2
                                           << "was due on 2020-02-29";
        QTest::newRow("point off the table") << "points" << QJsonValue(QJsonArray{100, 700}) << false << 2
                                             << "the point 700 K lies outside the instrument's table (1.4 K to 500 K)";
        QTest::newRow("unknown member") << "stability.windw" << QJsonValue(3) << false << 2 << "unknown member \"stability.windw\"";
        QTest::newRow("reference in the wrong unit") << "" << QJsonValue() << true << 4 << "the reference answered in C";
        // A DCC asked for from a procedure that does not say where the lab is: before the run.
        QTest::newRow("--dcc without the lab's city") << "certificate.city" << QJsonValue(QJsonValue::Undefined) << false << 2
                                                      << "needs the procedure's \"certificate.city\"";
    }

    void refusals()
    {
        QFETCH(QString, member);
        QFETCH(QJsonValue, value);
        QFETCH(bool, celsiusReadout);
        QFETCH(int, status);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QString error;
        sim::BenchSettings settings = quickBench();
        settings.referenceCelsius = celsiusReadout;
        settings.referenceFormat = sim::ReadoutFormat::Labelled;
        const auto bench = testsupport::startBench(settings, &error);
        QVERIFY2(bench, qPrintable(error));
        QJsonObject procedure = procedureFor(*bench, QJsonArray{100, 200});
        if (member == QLatin1String("reference.certificate.due")) {
            QJsonObject reference = procedure.value(QStringLiteral("reference")).toObject();
            QJsonObject certificate = reference.value(QStringLiteral("certificate")).toObject();
            certificate.insert(QStringLiteral("due"), value);
            reference.insert(QStringLiteral("certificate"), certificate);
            procedure.insert(QStringLiteral("reference"), reference);
        } else if (member == QLatin1String("stability.windw")) {
            QJsonObject stability = procedure.value(QStringLiteral("stability")).toObject();
            stability.insert(QStringLiteral("windw"), value);
            procedure.insert(QStringLiteral("stability"), stability);
        } else if (member == QLatin1String("certificate.city")) {
            QJsonObject certificate = procedure.value(QStringLiteral("certificate")).toObject();
            certificate.remove(QStringLiteral("city"));
            procedure.insert(QStringLiteral("certificate"), certificate);
        } else if (!member.isEmpty()) {
            procedure.insert(member, value);
        }
        const QString recordPath = dir.filePath(QStringLiteral("record.json"));
        const QStringList dcc{QStringLiteral("--dcc"), dir.filePath(QStringLiteral("dcc.xml"))};
        const Run run = runCli(calibrateArguments(writeProcedure(dir, procedure), *bench, recordPath,
                                                  member == QLatin1String("certificate.city") ? dcc : QStringList()));
        QCOMPARE(run.exitCode, status);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        // The instrument was not written to.
        QCOMPARE(bench->instrument().constants(), sim::DemoFirmware::factoryConstants());
        if (status == 2 && member != QLatin1String("points"))
            QVERIFY(!QFile::exists(recordPath));
    }

    // A readout that resends its last reading is stale, never stable: status 7, the record
    // kept with the readings of the point that never settled.
    void staleReferenceIsNotStable()
    {
        QTemporaryDir dir;
        QString error;
        const auto bench = testsupport::startBench(quickBench(), &error);
        QVERIFY2(bench, qPrintable(error));
        sim::BenchFaults faults;
        faults.referenceStale = true;
        bench->bench().setFaults(faults);
        QJsonObject procedure = procedureFor(*bench, QJsonArray{293.15, 300});
        QJsonObject stability = procedure.value(QStringLiteral("stability")).toObject();
        stability.insert(QStringLiteral("timeout"), 4);
        procedure.insert(QStringLiteral("stability"), stability);
        const QString recordPath = dir.filePath(QStringLiteral("record.json"));
        const Run run = runCli(calibrateArguments(writeProcedure(dir, procedure), *bench, recordPath));
        QCOMPARE(run.exitCode, 7);
        QVERIFY2(run.err.contains(QStringLiteral("stale")), qPrintable(run.err));
        QVERIFY2(run.err.contains(QStringLiteral("did not become stable within 4 s (the reference is stale)")), qPrintable(run.err));
        const QJsonObject record = readRecord(recordPath);
        QCOMPARE(record.value(QStringLiteral("state")).toString(), QStringLiteral("not stable"));
        QVERIFY(record.value(QStringLiteral("points")).toArray().first().toObject().value(QStringLiteral("samples")).toArray().size() > 20);
        QCOMPARE(runCli({QStringLiteral("verify-record"), recordPath}).exitCode, 0);
    }

    // Without a source the run asks for each set point on the terminal and reads the answer
    // from standard input: here the test sets the bath when asked.
    void operatorSetsTheBath()
    {
        QTemporaryDir dir;
        QString error;
        const auto bench = testsupport::startBench(quickBench(), &error);
        QVERIFY2(bench, qPrintable(error));
        QJsonObject procedure = procedureFor(*bench, QJsonArray{200, 250});
        procedure.remove(QStringLiteral("source"));
        QProcess process;
        process.start(QStringLiteral(CLI_PATH), calibrateArguments(writeProcedure(dir, procedure), *bench, dir.filePath(QStringLiteral("r.json"))));
        QVERIFY(process.waitForStarted());
        QString said;
        for (const QString &prompt : {QStringLiteral("point 1 of 2: set the bath to 200 K, then press Enter"),
                                      QStringLiteral("point 2 of 2: set the bath to 250 K, then press Enter")}) {
            QTRY_VERIFY_WITH_TIMEOUT((said += QString::fromUtf8(process.readAllStandardError())).contains(prompt), 30000);
            bench->bench().setSetPointKelvin(prompt.contains(QStringLiteral("200")) ? 200.0 : 250.0);
            process.write("\n");
        }
        QVERIFY(process.waitForFinished(60000));
        said += QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(process.exitCode() == 0, qPrintable(said));
        QCOMPARE(readRecord(dir.filePath(QStringLiteral("r.json"))).value(QStringLiteral("points")).toArray().size(), 2);
        QVERIFY(std::fabs(referenceAt(dir.filePath(QStringLiteral("r.json")), 1) - 250.0) < 0.1);
    }

    // A manual reference: each reading is typed, as an operator reads a display; here the
    // test types the bench's own temperature to the readout's millikelvin.
    void operatorTypesTheReference()
    {
        QTemporaryDir dir;
        QString error;
        const auto bench = testsupport::startBench(quickBench(), &error);
        QVERIFY2(bench, qPrintable(error));
        QJsonObject procedure = procedureFor(*bench, QJsonArray{293.15, 295});
        QJsonObject reference = procedure.value(QStringLiteral("reference")).toObject();
        reference.insert(QStringLiteral("port"), QStringLiteral("manual"));
        procedure.insert(QStringLiteral("reference"), reference);
        QJsonObject stability = procedure.value(QStringLiteral("stability")).toObject();
        stability.insert(QStringLiteral("samples"), 5);
        procedure.insert(QStringLiteral("stability"), stability);
        QProcess process;
        process.start(QStringLiteral(CLI_PATH), calibrateArguments(writeProcedure(dir, procedure), *bench, dir.filePath(QStringLiteral("r.json"))));
        QVERIFY(process.waitForStarted());
        int answered = 0;
        QString pending;
        QElapsedTimer limit;
        limit.start();
        while (process.state() != QProcess::NotRunning && limit.elapsed() < 60000) {
            process.waitForReadyRead(100);
            pending += QString::fromUtf8(process.readAllStandardError());
            // One answer per prompt; a text without a number is asked again.
            while (pending.contains(QStringLiteral("reference reading in K:"))) {
                pending.remove(0, pending.indexOf(QStringLiteral("reference reading in K:")) + 23);
                process.write(answered == 0 ? QByteArray("no idea\n")
                                            : QByteArray::number(std::round(bench->bench().trueKelvin() * 1000.0) / 1000.0, 'f', 3) + '\n');
                ++answered;
            }
        }
        QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(5000));
        QVERIFY2(process.exitCode() == 0, qPrintable(pending + QString::fromUtf8(process.readAllStandardError())));
        QVERIFY(answered > 10);
        QCOMPARE(readRecord(dir.filePath(QStringLiteral("r.json"))).value(QStringLiteral("points")).toArray().size(), 2);
        QVERIFY(std::fabs(referenceAt(dir.filePath(QStringLiteral("r.json")), 1) - 295.0) < 0.1);
    }

    // SIGTERM during the second point ends the program at once with the first point kept;
    // --resume measures the second again and goes on.
    void sigtermThenResume()
    {
        QTemporaryDir dir;
        QString error;
        const auto bench = testsupport::startBench(quickBench(), &error);
        QVERIFY2(bench, qPrintable(error));
        const QString procedurePath = writeProcedure(dir, procedureFor(*bench, QJsonArray{150, 250, 350}));
        const QString recordPath = dir.filePath(QStringLiteral("record.json"));
        QProcess process;
        process.start(QStringLiteral(CLI_PATH), calibrateArguments(procedurePath, *bench, recordPath));
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(readRecord(recordPath).value(QStringLiteral("points")).toArray().size() == 1, 30000);
        QTest::qWait(500);
        QElapsedTimer stopping;
        stopping.start();
        ::kill(pid_t(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(5000));
        // A reading in progress takes at most the reference's and the instrument's waits.
        QVERIFY2(stopping.elapsed() < 3000, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 8);
        const QString said = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(said.contains(QStringLiteral("The instrument's EEPROM holds the set as found")), qPrintable(said));
        const QJsonObject stopped = readRecord(recordPath);
        QCOMPARE(stopped.value(QStringLiteral("state")).toString(), QStringLiteral("stopped"));
        // The first point, and the attempt at the second that the stop cut short when it came
        // during its readings rather than while the bath settled.
        const QJsonArray kept = stopped.value(QStringLiteral("points")).toArray();
        QVERIFY(kept.size() == 1 || (kept.size() == 2 && kept.at(1).toObject().contains(QStringLiteral("interrupted"))));
        QCOMPARE(runCli({QStringLiteral("verify-record"), recordPath}).exitCode, 0);

        const Run resumed = runCli({QStringLiteral("calibrate"), procedurePath, QStringLiteral("--port"), bench->instrumentPort(),
                                       QStringLiteral("--resume"), recordPath});
        QVERIFY2(resumed.exitCode == 0, qPrintable(resumed.err));
        QVERIFY2(resumed.err.contains(QStringLiteral("resuming: %1 points kept").arg(kept.size())), qPrintable(resumed.err));
        const QJsonObject done = readRecord(recordPath);
        QCOMPARE(done.value(QStringLiteral("state")).toString(), QStringLiteral("complete"));
        QCOMPARE(done.value(QStringLiteral("sessions")).toArray().size(), 2);
        const QJsonArray points = done.value(QStringLiteral("points")).toArray();
        QCOMPARE(points.size(), 3 + kept.size() - 1);
        QCOMPARE(points.at(0).toObject().value(QStringLiteral("samples")),
                 stopped.value(QStringLiteral("points")).toArray().at(0).toObject().value(QStringLiteral("samples")));
        QVERIFY(done.contains(QStringLiteral("proposed_set")));
        QCOMPARE(runCli({QStringLiteral("verify-record"), recordPath}).exitCode, 0);
    }
};

QTEST_MAIN(TestCalibrate)
#include "tst_calibrate.moc"
