// Times the device actions against the simulated instrument over a pseudo-terminal.
#include "benchutil.h"
#include "testsupport.h"
#include "widget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>

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
        QVector<double> times;
        for (int i = 0; i < updateClicks; ++i) {
            QElapsedTimer clock;
            clock.start();
            bench.click("pbUpdateData");
            times.append(clock.nsecsElapsed() / 1e6);
        }
        printFigures("Update Data, prompt instrument", times, "median < 5 ms");
    }
    {
        testsupport::Bench bench;
        sim::Faults faults;
        faults.chunkSize = 64;
        faults.chunkGapUs = 1000;  // about what full-speed USB spaces its packets by
        bench.instrument.setFaults(faults);
        QVector<double> times;
        for (int i = 0; i < getClicks; ++i) {
            QElapsedTimer clock;
            clock.start();
            bench.click("pbGetConstants");
            times.append(clock.nsecsElapsed() / 1e6);
        }
        printFigures("Get Constants, replies in 64-byte pieces", times, "median < 25 ms");
    }
    {
        testsupport::Bench bench;
        for (int row = 0; row < 100; ++row)
            bench.window->setTemepratureData(row, 1.6f - row * 0.015f, 1.4f + row * 5.0f);
        QVector<double> times;
        for (int i = 0; i < setClicks; ++i) {
            QElapsedTimer clock;
            clock.start();
            bench.click("pbSetConstants");
            times.append(clock.nsecsElapsed() / 1e6);
        }
        printFigures("Set Constants, read-back included", times, "300 to 330 ms");
        if (!bench.modals.boxes.isEmpty())
            std::printf("  unexpected message: %s\n", qPrintable(bench.modals.boxes.first().text));
    }
    return 0;
}
