// Times the device actions against the simulated instrument over a pseudo-terminal.
#include "benchutil.h"
#include "windowsupport.h"
#include "widget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>

namespace {

// Milliseconds each of `clicks` clicks on the button took.
QVector<double> timeClicks(testsupport::Bench &bench, const char *button, int clicks)
{
    QVector<double> times;
    for (int i = 0; i < clicks; ++i) {
        QElapsedTimer clock;
        clock.start();
        bench.click(button);
        times.append(clock.nsecsElapsed() / 1e6);
    }
    return times;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int updateClicks = 200;
    const int getClicks = 100;
    const int setClicks = 10;

    {
        testsupport::Bench bench;
        bench.instrument.withFirmware([](sim::Firmware &firmware) {
            firmware.voltage = 1.5f;
            firmware.temperature = 300.0f;
        });
        printFigures("Update Data, prompt instrument", timeClicks(bench, "pbUpdateData", updateClicks), "median < 5 ms");
    }
    {
        testsupport::Bench bench;
        sim::Faults faults;
        faults.chunkSize = 64;
        faults.chunkGapUs = 1000;  // about what full-speed USB spaces its packets by
        bench.instrument.setFaults(faults);
        printFigures("Get Constants, replies in 64-byte pieces", timeClicks(bench, "pbGetConstants", getClicks), "median < 25 ms");
    }
    {
        testsupport::Bench bench;
        bench.field("leADCslope")->setText(QStringLiteral("3.8147e-05"));
        bench.field("leDACslope")->setText(QStringLiteral("0.000805664"));
        for (int row = 0; row < 100; ++row)
            bench.window->setTemepratureData(row, 1.6f - row * 0.015f, 1.4f + row * 5.0f);
        printFigures("Set Constants, read-back included", timeClicks(bench, "pbSetConstants", setClicks), "300 to 330 ms");
        if (!bench.modals.boxes.isEmpty())
            std::printf("  unexpected message: %s\n", qPrintable(bench.modals.boxes.first().text));
    }
    return 0;
}
