// thermocal-sim: the demo's simulated instrument without a window. It serves on a
// pseudo-terminal, prints the terminal's path and runs until Ctrl-C or SIGTERM, so that
// thermocal-cli (or the window, with --port) can be tried and scripted without hardware.
// With --bench the instrument sits on a calibration bench whose bath (or voltage
// calibrator) and reference readout serve SCPI on TCP ports of 127.0.0.1.
#include "benchhost.h"
#include "demofirmware.h"
#include "instrument.h"
#include "numbers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#include <pthread.h>

namespace {
constexpr double MostOffsetMillivolts = 500.0;
constexpr double LeastTimeConstant = 0.01;
constexpr double MostTimeConstant = 3600.0;

// A TCP port given on the command line: 1 to 65535, or 0 for one that is free.
std::optional<quint16> portOption(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    if (!parser.isSet(option))
        return quint16(0);
    bool ok = false;
    const uint port = parser.value(option).toUInt(&ok);
    if (!ok || port > 65535)
        return std::nullopt;
    return quint16(port);
}

// The bench's options, or a message for the usage error.
std::optional<sim::BenchSettings> benchSettings(const QCommandLineParser &parser, const QCommandLineOption &timeConstant,
                                                const QCommandLineOption &calibrator, const QCommandLineOption &format,
                                                const QCommandLineOption &referenceUnit,
                                                const QCommandLineOption &setPointUnit, const QCommandLineOption &adcError,
                                                QString *problem)
{
    sim::BenchSettings settings;
    if (parser.isSet(timeConstant)) {
        bool ok = false;
        settings.timeConstantSeconds = parser.value(timeConstant).toDouble(&ok);
        if (!ok || !(settings.timeConstantSeconds >= LeastTimeConstant && settings.timeConstantSeconds <= MostTimeConstant)) {
            *problem = QStringLiteral("--time-constant takes seconds from %1 to %2").arg(LeastTimeConstant).arg(MostTimeConstant);
            return std::nullopt;
        }
    }
    if (parser.isSet(calibrator))
        settings.source = sim::BenchSource::Calibrator;
    const QString formatName = parser.value(format);
    if (formatName == QLatin1String("plain") || formatName.isEmpty())
        settings.referenceFormat = sim::ReadoutFormat::Plain;
    else if (formatName == QLatin1String("labelled"))
        settings.referenceFormat = sim::ReadoutFormat::Labelled;
    else if (formatName == QLatin1String("logged"))
        settings.referenceFormat = sim::ReadoutFormat::Logged;
    else {
        *problem = QStringLiteral("--reference-format takes plain, labelled or logged");
        return std::nullopt;
    }
    for (const auto &[option, celsius] : {std::make_pair(&referenceUnit, &settings.referenceCelsius),
                                          std::make_pair(&setPointUnit, &settings.setPointCelsius)}) {
        if (!parser.isSet(*option))
            continue;
        const QString unit = parser.value(*option);
        if (unit != QLatin1String("K") && unit != QLatin1String("C")) {
            *problem = QStringLiteral("--%1 takes K or C").arg(option->names().first());
            return std::nullopt;
        }
        *celsius = unit == QLatin1String("C");
    }
    settings.adcError = parser.isSet(adcError);
    return settings;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("thermocal-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(THERMOCAL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated thermocal instrument (a silicon diode in a bath of boiling nitrogen) on a\n"
        "pseudo-terminal. Prints the terminal's path and serves until Ctrl-C or SIGTERM.\n"
        "SIGUSR1 unplugs it; SIGUSR2 plugs it in again on a new terminal, which the link\n"
        "then leads to.\n"
        "\n"
        "With --bench the instrument sits on a calibration bench instead: a dry-well (SCPI:\n"
        "SOUR:SPO <value>, SOUR:SPO?, MEAS:TEMP?, *IDN?; set point in Celsius unless\n"
        "--set-point-unit K) that approaches its set point with some overshoot, noise and slow\n"
        "drift, and a reference readout in the same well (MEAS:TEMP?, FETC?, *IDN?). The\n"
        "instrument's sensor deviates from its factory curve by 2 mV + 3 mV * sin(T / 120 K).\n"
        "With --calibrator a voltage calibrator at the sensor input replaces the dry-well\n"
        "(SOUR:VOLT <V>, SOUR:VOLT?), and the readout measures its voltage (MEAS:VOLT?).\n"
        "Both answer SYST:ERR?. It prints one labelled line each:\n"
        "  instrument: /dev/pts/N\n"
        "  bath: socket://127.0.0.1:PORT      (calibrator: ... with --calibrator)\n"
        "  reference: socket://127.0.0.1:PORT"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption link(QStringLiteral("link"),
                                  QStringLiteral("Also makes PATH a symbolic link to the terminal (replacing an "
                                                 "older link, never a file)."),
                                  QStringLiteral("PATH"));
    const QCommandLineOption offset(QStringLiteral("sensor-offset"),
                                    QStringLiteral("Makes the sensor read MILLIVOLTS above the standard curve that the "
                                                   "instrument is calibrated with, as a second, uncalibrated diode would."),
                                    QStringLiteral("MILLIVOLTS"));
    const QCommandLineOption bench(QStringLiteral("bench"),
                                   QStringLiteral("Puts the instrument on a calibration bench with a dry-well and a "
                                                  "reference readout, each on a TCP port of 127.0.0.1."));
    const QCommandLineOption bathPort(QStringLiteral("bath-port"),
                                      QStringLiteral("The dry-well's (or calibrator's) TCP port (default: one that is free)."),
                                      QStringLiteral("PORT"));
    const QCommandLineOption referencePort(QStringLiteral("reference-port"),
                                           QStringLiteral("The reference readout's TCP port (default: one that is free)."),
                                           QStringLiteral("PORT"));
    const QCommandLineOption timeConstant(QStringLiteral("time-constant"),
                                          QStringLiteral("How fast the dry-well settles: its approach to a new set point "
                                                         "decays with this time constant (default 5)."),
                                          QStringLiteral("SECONDS"));
    const QCommandLineOption calibrator(QStringLiteral("calibrator"),
                                        QStringLiteral("A voltage calibrator at the sensor input instead of the dry-well."));
    const QCommandLineOption format(QStringLiteral("reference-format"),
                                    QStringLiteral("How the readout answers: plain (77.352), labelled (t: 77.352 K) or "
                                                   "logged (77.352,K,1,2026-12-08 14:33:20). Default plain."),
                                    QStringLiteral("FORMAT"));
    const QCommandLineOption referenceUnit(QStringLiteral("reference-unit"),
                                           QStringLiteral("The readout's temperature unit, K or C (default K)."),
                                           QStringLiteral("UNIT"));
    const QCommandLineOption setPointUnit(QStringLiteral("set-point-unit"),
                                          QStringLiteral("The dry-well's set point unit, C or K (default C)."),
                                          QStringLiteral("UNIT"));
    const QCommandLineOption adcError(QStringLiteral("adc-error"),
                                      QStringLiteral("The instrument's converter has a step 200 ppm larger and 0.4 mV more "
                                                     "at count zero than its factory ADC constants claim."));
    parser.addOptions({link, offset, bench, bathPort, referencePort, timeConstant, calibrator, format, referenceUnit,
                       setPointUnit, adcError});
    parser.process(application);
    const auto usageError = [](const QString &message) {
        std::fprintf(stderr, "thermocal-sim: %s\n", qPrintable(message));
        return 2;
    };
    bool offsetOk = true;
    const double offsetMillivolts = parser.isSet(offset) ? parser.value(offset).toDouble(&offsetOk) : 0.0;
    if (!offsetOk || !std::isfinite(offsetMillivolts) || std::fabs(offsetMillivolts) > MostOffsetMillivolts)
        return usageError(QStringLiteral("--sensor-offset takes millivolts within +-%1").arg(MostOffsetMillivolts));
    QString problem;
    const std::optional<sim::BenchSettings> settings = benchSettings(parser, timeConstant, calibrator, format, referenceUnit,
                                                                     setPointUnit, adcError, &problem);
    if (!settings)
        return usageError(problem);
    const std::optional<quint16> bathPortNumber = portOption(parser, bathPort);
    const std::optional<quint16> referencePortNumber = portOption(parser, referencePort);
    if (!bathPortNumber || !referencePortNumber)
        return usageError(QStringLiteral("--bath-port and --reference-port take a TCP port number"));
    const bool onBench = parser.isSet(bench);
    for (const QCommandLineOption *benchOnly : {&bathPort, &referencePort, &timeConstant, &calibrator, &format,
                                                &referenceUnit, &setPointUnit, &adcError}) {
        if (!onBench && parser.isSet(*benchOnly))
            return usageError(QStringLiteral("--%1 needs --bench").arg(benchOnly->names().first()));
    }

    // The signals are taken by sigwait below: blocked here, before the serving threads start,
    // so that no thread is interrupted by them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::unique_ptr<sim::BenchHost> benchHost;
    std::unique_ptr<sim::Instrument> alone;
    if (onBench)
        benchHost = std::make_unique<sim::BenchHost>(*settings);
    else
        alone = std::make_unique<sim::Instrument>(std::make_unique<sim::DemoFirmware>());
    sim::Instrument &instrument = benchHost ? benchHost->instrument() : *alone;
    instrument.withFirmware([&](sim::Firmware &firmware) {
        static_cast<sim::DemoFirmware &>(firmware).sensorOffsetVolts = offsetMillivolts / numbers::MillivoltsPerVolt;
    });
    QString error;
    const bool started = benchHost ? benchHost->start(&error, *bathPortNumber, *referencePortNumber)
                                   : instrument.start(&error);
    if (!started) {
        std::fprintf(stderr, "thermocal-sim: cannot start the simulated %s: %s\n", onBench ? "bench" : "instrument",
                     qPrintable(error));
        return 1;
    }

    const QString linkPath = parser.value(link);
    if (!linkPath.isEmpty()) {
        const QFileInfo existing(linkPath);
        if (existing.exists() && !existing.isSymLink()) {
            std::fprintf(stderr, "thermocal-sim: %s exists and is not a symbolic link\n", qPrintable(linkPath));
            return 1;
        }
        if (!instrument.setLink(linkPath)) {
            std::fprintf(stderr, "thermocal-sim: cannot make the link %s\n", qPrintable(linkPath));
            return 1;
        }
    }

    const char *const instrumentLabel = onBench ? "instrument: " : "";
    std::printf("%s%s\n", instrumentLabel, qPrintable(instrument.portName()));
    if (benchHost) {
        const bool isCalibrator = settings->source == sim::BenchSource::Calibrator;
        std::printf("%s: %s\n", isCalibrator ? "calibrator" : "bath", qPrintable(benchHost->bathUrl()));
        std::printf("reference: %s\n", qPrintable(benchHost->referenceUrl()));
    }
    std::fflush(stdout);

    int received = 0;
    for (;;) {
        sigwait(&stopSignals, &received);
        if (received == SIGUSR1) {
            instrument.unplug();
        } else if (received == SIGUSR2) {
            if (!instrument.replug(&error))
                std::fprintf(stderr, "thermocal-sim: cannot plug in again: %s\n", qPrintable(error));
            std::printf("%s%s\n", instrumentLabel, qPrintable(instrument.portName()));
            std::fflush(stdout);
        } else {
            break;
        }
    }
    if (!linkPath.isEmpty())
        QFile::remove(linkPath);
    return 0;
}
