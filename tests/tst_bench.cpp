#include "bench.h"
#include "benchsupport.h"
#include "curvemath.h"
#include "demofirmware.h"
#include "device.h"
#include "portname.h"
#include "testsupport.h"

#include <QtTest>

#include <cmath>

using sim::Bench;
using Device = sim::Bench::Device;

Q_DECLARE_METATYPE(sim::ReadoutFormat)

namespace {

// The first number of a readout's answer, as a calibration takes it.
double numberIn(const QByteArray &answer)
{
    const QRegularExpressionMatch number
        = QRegularExpression(QStringLiteral("[-+]?\\d+(\\.\\d*)?")).match(QString::fromLatin1(answer));
    return number.hasMatch() ? number.captured().toDouble() : std::nan("");
}

// The slope of the demo diode curve at `kelvin`, V/K.
double diodeSlope(double kelvin)
{
    constexpr double Step = 1e-3;
    return (sim::DemoFirmware::diodeVoltage(kelvin + Step) - sim::DemoFirmware::diodeVoltage(kelvin - Step)) / (2 * Step);
}

// The temperature at which the demo diode curve has the voltage `volts`, found from `kelvin`
// by following the curve's slope.
double curveTemperature(double volts, double kelvin)
{
    for (int step = 0; step < 20; ++step)
        kelvin += (volts - sim::DemoFirmware::diodeVoltage(kelvin)) / diodeSlope(kelvin);
    return kelvin;
}

// The instrument's live reading through its own protocol on its pseudo-terminal.
device::Reading readInstrument(const QString &portName)
{
    const portname::Opened opened = portname::open(portName);
    if (!opened.port)
        return {};
    protocol::Link link(opened.port.get());
    return device::readLive(link);
}

} // namespace

// The simulated calibration bench that the calibration's tests and demo drive: a bath that
// behaves like one, a readout that answers like real ones, faults, and an instrument whose
// sensor deviates from its table by a known amount.
class TestBench : public QObject
{
    Q_OBJECT

private slots:
    // Set through SCPI in either unit, the bath overshoots, settles within a few time
    // constants, and then stays within its noise and drift.
    void bathApproachesItsSetPoint_data()
    {
        QTest::addColumn<bool>("celsius");
        QTest::addColumn<double>("startKelvin");
        QTest::addColumn<QByteArray>("setPoint");
        QTest::addColumn<double>("targetKelvin");
        QTest::addColumn<double>("timeConstant");
        QTest::addColumn<double>("overshoot");
        QTest::newRow("heating, Celsius") << true << 293.15 << QByteArray("100") << 373.15 << 2.0 << 0.04;
        QTest::newRow("cooling, Celsius") << true << 293.15 << QByteArray("-100.5") << 172.65 << 8.0 << 0.04;
        QTest::newRow("kelvin, slow, larger overshoot") << false << 77.35 << QByteArray("150") << 150.0 << 30.0 << 0.1;
        QTest::newRow("small step") << false << 300.0 << QByteArray("301") << 301.0 << 1.0 << 0.02;
    }

    void bathApproachesItsSetPoint()
    {
        QFETCH(bool, celsius);
        QFETCH(double, startKelvin);
        QFETCH(QByteArray, setPoint);
        QFETCH(double, targetKelvin);
        QFETCH(double, timeConstant);
        QFETCH(double, overshoot);
        sim::BenchSettings settings;
        settings.setPointCelsius = celsius;
        settings.startKelvin = startKelvin;
        settings.timeConstantSeconds = timeConstant;
        settings.overshoot = overshoot;
        double now = 0.0;
        Bench bench(settings, [&now] { return now; });
        scpi::Status errors;

        QCOMPARE(bench.handle(Device::Bath, "SOUR:SPO " + setPoint + ";SOUR:SPO?", errors),
                 QByteArray::number(setPoint.toDouble(), 'f', 2));
        QCOMPARE(errors.errors().size(), 0);
        QCOMPARE(bench.setPointKelvin(), targetKelvin);

        const double step = targetKelvin - startKelvin;
        const double wander = settings.bathNoiseKelvin + settings.driftKelvin;
        double furthest = 0.0;  // beyond the set point, in the step's direction
        for (now = 0.0; now < 8 * timeConstant; now += timeConstant / 50) {
            const double kelvin = bench.trueKelvin();
            furthest = std::max(furthest, (kelvin - targetKelvin) * (step > 0 ? 1 : -1));
            if (now > 5 * timeConstant)
                QVERIFY2(std::fabs(kelvin - targetKelvin) < 0.01 * std::fabs(step) + wander,
                         qPrintable(QStringLiteral("%1 K at %2 s").arg(kelvin).arg(now)));
        }
        QVERIFY2(furthest > 0.5 * overshoot * std::fabs(step) && furthest < 1.5 * overshoot * std::fabs(step) + wander,
                 qPrintable(QStringLiteral("overshoot %1 K").arg(furthest)));

        // Held at the set point, the readings stay within the noise and drift and are not all
        // the same.
        QVector<double> held;
        for (int sample = 0; sample < 200; ++sample, now += 0.37)
            held.append(bench.trueKelvin());
        const auto [low, high] = std::minmax_element(held.cbegin(), held.cend());
        QVERIFY(*high - *low > settings.bathNoiseKelvin / 2);
        QVERIFY(*low > targetKelvin - wander - 1e-3 * std::fabs(step) && *high < targetKelvin + wander + 1e-3 * std::fabs(step));
    }

    void badSetPointsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("error");
        QTest::newRow("below the range") << QByteArray("SOUR:SPO -273") << QByteArray("-222,");
        QTest::newRow("above the range") << QByteArray("SOURce:SPOint 300") << QByteArray("-222,");
        QTest::newRow("no number") << QByteArray("SOUR:SPO hot") << QByteArray("-104,");
        QTest::newRow("two numbers") << QByteArray("SOUR:SPO 1,2") << QByteArray("-104,");
        QTest::newRow("calibrator's command") << QByteArray("SOUR:VOLT 1") << QByteArray("-113,");
        QTest::newRow("no set point") << QByteArray("SOUR:SPO") << QByteArray("-109,\"Missing parameter;a set point\"");
        QTest::newRow("a set point given to the query") << QByteArray("SOUR:SPO? 20") << QByteArray("-108,");
        QTest::newRow("a set point given to *CLS") << QByteArray("*CLS 20") << QByteArray("-108,");
    }

    // The bench's devices answer the common commands as the server does, each client with its
    // own status.
    void commonCommands_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("bath") << int(Device::Bath) << QByteArray("*IDN?;*OPC?") << Bench::BathIdentity + ";1";
        QTest::newRow("reference") << int(Device::Reference) << QByteArray("*idn?") << Bench::ReferenceIdentity;
        QTest::newRow("the event register") << int(Device::Reference) << QByteArray("FOO;*ESR?;*ESR?;SYST:ERR:COUN?") << QByteArray("32;0;1");
        QTest::newRow("*RST keeps the errors, *CLS clears them")
            << int(Device::Bath) << QByteArray("FOO;*RST;SYST:ERR:COUN?;*CLS;SYST:ERR:COUN?") << QByteArray("1;0");
        QTest::newRow("a reading before FETCh?") << int(Device::Reference) << QByteArray("FETC?;SYST:ERR?")
                                                 << QByteArray("-113,\"Undefined header;FETC?\"");
    }

    void commonCommands()
    {
        QFETCH(int, device);
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, reply);
        Bench bench;
        scpi::Status first;
        scpi::Status second;
        QCOMPARE(bench.handle(Device(device), line, first), reply);
        QCOMPARE(bench.handle(Device(device), "SYST:ERR:COUN?", second), QByteArray("0"));
    }

    void badSetPointsAreRefused()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, error);
        Bench bench;
        scpi::Status errors;
        QCOMPARE(bench.handle(Device::Bath, line, errors), QByteArray());
        QVERIFY(bench.handle(Device::Bath, "SYST:ERR?", errors).startsWith(error));
        QCOMPARE(bench.setPointKelvin(), bench.settings().startKelvin);
    }

    // The readout's answer in each form and unit real readouts use, wrong unit included,
    // through its server; the number is the bath's temperature within noise and resolution.
    void readoutAnswers_data()
    {
        QTest::addColumn<sim::ReadoutFormat>("format");
        QTest::addColumn<bool>("celsius");
        QTest::addColumn<bool>("wrongUnit");
        QTest::addColumn<QString>("pattern");
        QTest::newRow("plain, K") << sim::ReadoutFormat::Plain << false << false << QStringLiteral("^\\d+\\.\\d{3}$");
        QTest::newRow("plain, C") << sim::ReadoutFormat::Plain << true << false << QStringLiteral("^\\d+\\.\\d{3}$");
        QTest::newRow("labelled, C") << sim::ReadoutFormat::Labelled << true << false << QStringLiteral("^t: \\d+\\.\\d{3} C$");
        QTest::newRow("labelled, K, wrong unit") << sim::ReadoutFormat::Labelled << false << true << QStringLiteral("^t: \\d+\\.\\d{3} C$");
        QTest::newRow("logged, K") << sim::ReadoutFormat::Logged << false << false
                                   << QStringLiteral("^\\d+\\.\\d{3},K,1,\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$");
        QTest::newRow("logged, C, wrong unit") << sim::ReadoutFormat::Logged << true << true
                                               << QStringLiteral("^\\d+\\.\\d{3},K,1,\\d{4}-");
    }

    void readoutAnswers()
    {
        QFETCH(sim::ReadoutFormat, format);
        QFETCH(bool, celsius);
        QFETCH(bool, wrongUnit);
        QFETCH(QString, pattern);
        sim::BenchSettings settings;
        settings.referenceFormat = format;
        settings.referenceCelsius = celsius;
        QString error;
        const auto host = testsupport::startBench(settings, &error, [] { return 12.0; });
        QVERIFY2(host, qPrintable(error));
        sim::BenchFaults faults;
        faults.referenceWrongUnit = wrongUnit;
        host->bench().setFaults(faults);

        QCOMPARE(testsupport::ask(host->referenceUrl(), "*IDN?"), Bench::ReferenceIdentity);
        const QByteArray answer = testsupport::ask(host->referenceUrl(), "MEAS:TEMP?");
        QVERIFY2(QRegularExpression(pattern).match(QString::fromLatin1(answer)).hasMatch(), answer.constData());
        const bool answersCelsius = celsius != wrongUnit;
        const double kelvin = numberIn(answer) + (answersCelsius ? Bench::KelvinAtZeroCelsius : 0.0);
        QVERIFY2(std::fabs(kelvin - host->bench().trueKelvin()) <= settings.referenceNoiseKelvin + settings.referenceResolutionKelvin,
                 answer.constData());
        QCOMPARE(testsupport::ask(host->referenceUrl(), "FETC?"), answer);
    }

    // Stale readings repeat exactly while the fault lasts, then the readout reads again; a
    // silent device reads and records every line and answers none.
    void faults_data()
    {
        QTest::addColumn<double>("staleSeconds");
        QTest::addColumn<bool>("referenceSilent");
        QTest::addColumn<bool>("bathSilent");
        QTest::newRow("stale until cleared") << 0.0 << false << false;
        QTest::newRow("stale for 10 s") << 10.0 << false << false;
        QTest::newRow("reference silent") << -1.0 << true << false;
        QTest::newRow("bath silent") << -1.0 << false << true;
    }

    void faults()
    {
        QFETCH(double, staleSeconds);
        QFETCH(bool, referenceSilent);
        QFETCH(bool, bathSilent);
        double now = 100.0;
        QString error;
        const auto host = testsupport::startBench({}, &error, [&now] { return now; });
        QVERIFY2(host, qPrintable(error));
        Bench &bench = host->bench();
        const QByteArray first = testsupport::ask(host->referenceUrl(), "MEAS:TEMP?");
        QVERIFY(!first.isEmpty());
        sim::BenchFaults faults;
        faults.referenceStale = staleSeconds >= 0;
        faults.staleSeconds = std::max(staleSeconds, 0.0);
        faults.referenceSilent = referenceSilent;
        faults.bathSilent = bathSilent;
        bench.setFaults(faults);

        QSet<QByteArray> answers;
        for (int reading = 0; reading < 8; ++reading, now += 1.0)
            answers.insert(testsupport::ask(host->referenceUrl(), "MEAS:TEMP?", referenceSilent ? 200 : 2000));
        if (faults.referenceStale)
            QCOMPARE(answers, QSet<QByteArray>{first});
        else if (referenceSilent)
            QCOMPARE(answers, QSet<QByteArray>{QByteArray()});
        else
            QVERIFY(answers.size() > 1);
        QCOMPARE(testsupport::ask(host->bathUrl(), "*IDN?", bathSilent ? 200 : 2000), bathSilent ? QByteArray() : Bench::BathIdentity);
        QCOMPARE(bench.requests(Device::Reference).size(), 9);
        QCOMPARE(bench.requests(Device::Reference).last().bytes, QByteArray("MEAS:TEMP?"));
        QCOMPARE(bench.requests(Device::Bath).size(), 1);

        // A stale spell with a length ends by itself; one without ends when cleared.
        now += 10.0;
        if (staleSeconds == 0.0)
            QCOMPARE(testsupport::ask(host->referenceUrl(), "MEAS:TEMP?"), first);
        bench.setFaults({});
        QVERIFY(testsupport::ask(host->referenceUrl(), "MEAS:TEMP?") != first);
    }

    // Many lines in one write, from several clients at once, are answered in order, each
    // client its own answers and errors; an overlong line is dropped and the next one answered.
    void pipelinedLines()
    {
        QString error;
        const auto host = testsupport::startBench({}, &error);
        QVERIFY2(host, qPrintable(error));
        QByteArray lines;
        QByteArrayList expected;
        int requests = 0;
        for (int line = 0; line < 100; ++line) {
            if (line % 3 == 0) {
                lines += "*IDN?;SYST:ERR?\r\n";
                expected.append(Bench::BathIdentity + ";0,\"No error\"");
                requests += 1;
            } else if (line % 3 == 1) {
                lines += "bogus" + QByteArray::number(line) + "\nsour:spo?\nSYST:ERR?\n";
                expected << "20.00" << "-113,\"Undefined header;bogus" + QByteArray::number(line) + '"';
                requests += 3;
            } else {
                lines += QByteArray(3 * Bench::LongestLine, 'x') + "\n:SOURce:SPOint?\n";
                expected.append("20.00");
                requests += 1;
            }
        }
        constexpr int Clients = 6;
        QVector<QByteArrayList> answers(Clients);
        std::vector<std::unique_ptr<QThread>> clients;
        for (QByteArrayList &answer : answers) {
            clients.push_back(std::unique_ptr<QThread>(QThread::create(
                [&] { answer = testsupport::askLines(host->bathUrl(), lines, expected.size()); })));
            clients.back()->start();
        }
        for (const auto &client : clients)
            QVERIFY(client->wait(30000));
        for (const QByteArrayList &answer : qAsConst(answers))
            QCOMPARE(answer, expected);
        QCOMPARE(host->bench().requests(Device::Bath).size(), Clients * requests);
    }

    // The instrument reads the bath through its factory table, off by the sensor's known
    // deviation carried into kelvin through the curve's slope; on the calibrator, its ADC
    // reads the applied voltage off by the converter's error.
    void instrumentOnTheBench_data()
    {
        QTest::addColumn<double>("kelvin");
        QTest::newRow("nitrogen") << 77.35;
        QTest::newRow("20 K") << 20.0;
        QTest::newRow("room") << 293.15;
        QTest::newRow("450 K") << 450.0;
    }

    void instrumentOnTheBench()
    {
        QFETCH(double, kelvin);
        sim::BenchSettings settings;
        settings.startKelvin = kelvin;
        QString error;
        const auto host = testsupport::startBench(settings, &error, [] { return 3.0; });
        QVERIFY2(host, qPrintable(error));
        const device::Reading reading = readInstrument(host->instrumentPort());
        QVERIFY(reading.temperature);
        const double reference = numberIn(testsupport::ask(host->referenceUrl(), "MEAS:TEMP?"));
        const double deviation = Bench::sensorDeviationVolts(kelvin);
        const double expected = curveTemperature(sim::DemoFirmware::diodeVoltage(kelvin) + deviation, kelvin) - kelvin;
        QVERIFY(std::fabs(expected - deviation / diodeSlope(kelvin)) < 0.01 * std::fabs(expected));
        // Half the ADC's step and the instrument's own noise, carried into kelvin; the table's
        // interpolation (a few mK where the curve bends) and the reference's noise and resolution.
        const double tolerance = (sim::DemoFirmware::AdcVoltsPerCount / 2 + settings.instrumentNoiseVolts) / std::fabs(diodeSlope(kelvin))
            + 0.01;
        QVERIFY2(std::fabs(double(*reading.temperature) - reference - expected) < tolerance,
                 qPrintable(QStringLiteral("instrument %1 K, reference %2 K, expected a difference of %3 K")
                                .arg(double(*reading.temperature), 0, 'f', 4).arg(reference, 0, 'f', 4).arg(expected, 0, 'f', 4)));
    }

    void calibratorDrivesTheAdc_data()
    {
        QTest::addColumn<bool>("adcError");
        QTest::addColumn<double>("volts");
        QTest::newRow("true converter, 0.1 V") << false << 0.1;
        QTest::newRow("true converter, 2.4 V") << false << 2.4;
        QTest::newRow("converter error, 0.1 V") << true << 0.1;
        QTest::newRow("converter error, 2.4 V") << true << 2.4;
    }

    void calibratorDrivesTheAdc()
    {
        QFETCH(bool, adcError);
        QFETCH(double, volts);
        sim::BenchSettings settings;
        settings.source = sim::BenchSource::Calibrator;
        settings.adcError = adcError;
        QString error;
        const auto host = testsupport::startBench(settings, &error);
        QVERIFY2(host, qPrintable(error));
        QCOMPARE(testsupport::ask(host->bathUrl(), "*IDN?"), Bench::CalibratorIdentity);
        QCOMPARE(testsupport::ask(host->bathUrl(), "SOUR:VOLT " + QByteArray::number(volts) + ";SOUR:VOLT?"),
                 QByteArray::number(volts, 'f', 6));
        QVERIFY(std::fabs(numberIn(testsupport::ask(host->referenceUrl(), "MEAS:VOLT?")) - volts) <= 3e-6);
        QVERIFY(testsupport::ask(host->referenceUrl(), "MEAS:TEMP?;SYST:ERR?").startsWith("-113,"));

        const device::Reading reading = readInstrument(host->instrumentPort());
        QVERIFY(reading.voltage);
        // What the factory constants make of the count: short by the converter's zero and
        // by its larger step, within a count and the noise.
        const double expected = adcError ? (volts - Bench::AdcErrorZeroVolts) / (1.0 + 2e-4) : volts;
        QVERIFY2(std::fabs(double(*reading.voltage) - expected) < sim::DemoFirmware::AdcVoltsPerCount + settings.instrumentNoiseVolts,
                 qPrintable(QStringLiteral("%1 V read, %2 V expected").arg(double(*reading.voltage), 0, 'g', 8).arg(expected, 0, 'g', 8)));
    }

    // thermocal-sim --bench as the demo and scripts run it: three labelled lines, each device
    // answering at its address, and a prompt end on SIGTERM.
    void thermocalSimServesTheBench_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("sourceLabel");
        QTest::addColumn<QByteArray>("sourceIdentity");
        QTest::addColumn<QByteArray>("reading");
        QTest::newRow("dry-well") << QStringList{QStringLiteral("--time-constant"), QStringLiteral("0.5")}
                                  << QByteArray("bath") << Bench::BathIdentity << QByteArray("MEAS:TEMP?");
        QTest::newRow("calibrator") << QStringList{QStringLiteral("--calibrator"), QStringLiteral("--adc-error")}
                                    << QByteArray("calibrator") << Bench::CalibratorIdentity << QByteArray("MEAS:VOLT?");
    }

    void thermocalSimServesTheBench()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, sourceLabel);
        QFETCH(QByteArray, sourceIdentity);
        QFETCH(QByteArray, reading);
        QProcess sim;
        sim.start(QStringLiteral(SIM_PATH), QStringList{QStringLiteral("--bench")} + options);
        QByteArray printed;
        while (printed.count('\n') < 3 && sim.waitForReadyRead(10000))
            printed += sim.readAllStandardOutput();
        const QByteArrayList lines = printed.trimmed().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].startsWith("instrument: /dev/pts/"));
        QVERIFY(lines[1].startsWith(sourceLabel + ": socket://127.0.0.1:"));
        QVERIFY(lines[2].startsWith("reference: socket://127.0.0.1:"));
        const auto valueOf = [](const QByteArray &line) { return QString::fromLatin1(line.mid(line.indexOf(": ") + 2)); };

        QCOMPARE(testsupport::ask(valueOf(lines[1]), "*IDN?"), sourceIdentity);
        QCOMPARE(testsupport::ask(valueOf(lines[2]), "*IDN?"), Bench::ReferenceIdentity);
        QVERIFY(std::isfinite(numberIn(testsupport::ask(valueOf(lines[2]), reading))));
        QVERIFY(readInstrument(valueOf(lines[0])).voltage);

        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
    }

    void thermocalSimRefusesBadOptions_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("message");
        QTest::newRow("bench option alone") << QStringList{QStringLiteral("--calibrator")} << QStringLiteral("--calibrator needs --bench");
        QTest::newRow("no time constant") << QStringList{QStringLiteral("--bench"), QStringLiteral("--time-constant"), QStringLiteral("0")}
                                          << QStringLiteral("--time-constant takes seconds");
        QTest::newRow("bad port") << QStringList{QStringLiteral("--bench"), QStringLiteral("--bath-port"), QStringLiteral("70000")}
                                  << QStringLiteral("take a TCP port number");
        QTest::newRow("bad unit") << QStringList{QStringLiteral("--bench"), QStringLiteral("--reference-unit"), QStringLiteral("F")}
                                  << QStringLiteral("--reference-unit takes K or C");
        QTest::newRow("bad format") << QStringList{QStringLiteral("--bench"), QStringLiteral("--reference-format"), QStringLiteral("csv")}
                                    << QStringLiteral("--reference-format takes plain, labelled or logged");
    }

    void thermocalSimRefusesBadOptions()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, message);
        QProcess sim;
        sim.start(QStringLiteral(SIM_PATH), options);
        const testsupport::ProcessRun run = testsupport::finishProcess(sim);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(run.out.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestBench)
#include "tst_bench.moc"
