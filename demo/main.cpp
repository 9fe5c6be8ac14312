// thermocal-demo: the program's own window, with a simulated instrument standing in for the
// USB device, so the tool can be tried and shown without hardware.
#include "demofirmware.h"
#include "instrument.h"
#include "portdiscovery.h"
#include "widget.h"

#include <QApplication>
#include <QDir>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);

    // Declared before the window, so it is still serving while the window closes its port.
    sim::Instrument instrument(std::make_unique<sim::DemoFirmware>());
    QString error;
    if (!instrument.start(&error)) {
        std::fprintf(stderr, "thermocal-demo: cannot start the simulated instrument: %s\n",
                     qPrintable(error));
        return 1;
    }

    // The terminal is presented exactly as the operating system presents the real device.
    const portdiscovery::Port port = portdiscovery::instrumentPort(instrument.portName());
    portdiscovery::setPortSource([port] { return QList<portdiscovery::Port>{port}; });

    const QString examples = QDir::toNativeSeparators(QStringLiteral(THERMOCAL_EXAMPLES_DIR));
    std::printf("thermocal-demo: simulated instrument on %s\n"
                "Example files:\n"
                "  %s/sample-curve.txt        (\"Open table data...\")\n"
                "  %s/sample-calibration.json (\"Load calibrations...\")\n"
                "  %s/standard-curve.340      (\"Open table data...\")\n",
                qPrintable(port.name), qPrintable(examples), qPrintable(examples), qPrintable(examples));
    std::fflush(stdout);

    Widget window;
    window.show();
    return application.exec();
}
