// thermocal-sim: the demo's simulated instrument without a window. It serves on a
// pseudo-terminal, prints the terminal's path and runs until Ctrl-C or SIGTERM, so that
// thermocal-cli (or the window, with --port) can be tried and scripted without hardware.
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

#include <pthread.h>

namespace {
constexpr double MostOffsetMillivolts = 500.0;
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
        "then leads to."));
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
    parser.addOption(link);
    parser.addOption(offset);
    parser.process(application);
    bool offsetOk = true;
    const double offsetMillivolts = parser.isSet(offset) ? parser.value(offset).toDouble(&offsetOk) : 0.0;
    if (!offsetOk || !std::isfinite(offsetMillivolts) || std::fabs(offsetMillivolts) > MostOffsetMillivolts) {
        std::fprintf(stderr, "thermocal-sim: --sensor-offset takes millivolts within +-%g\n", MostOffsetMillivolts);
        return 2;
    }

    // The signals are taken by sigwait below: blocked here, before the serving thread starts,
    // so that no thread is interrupted by them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto firmware = std::make_unique<sim::DemoFirmware>();
    firmware->sensorOffsetVolts = offsetMillivolts / numbers::MillivoltsPerVolt;
    sim::Instrument instrument(std::move(firmware));
    QString error;
    if (!instrument.start(&error)) {
        std::fprintf(stderr, "thermocal-sim: cannot start the simulated instrument: %s\n", qPrintable(error));
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

    std::printf("%s\n", qPrintable(instrument.portName()));
    std::fflush(stdout);

    int received = 0;
    for (;;) {
        sigwait(&stopSignals, &received);
        if (received == SIGUSR1) {
            instrument.unplug();
        } else if (received == SIGUSR2) {
            if (!instrument.replug(&error))
                std::fprintf(stderr, "thermocal-sim: cannot plug in again: %s\n", qPrintable(error));
            std::printf("%s\n", qPrintable(instrument.portName()));
            std::fflush(stdout);
        } else {
            break;
        }
    }
    if (!linkPath.isEmpty())
        QFile::remove(linkPath);
    return 0;
}
