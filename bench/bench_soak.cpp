// Ten thousand mixed device actions against the simulated instrument with random faults;
// prints the resident memory at the start and the end and what happened on the way.
#include "benchutil.h"
#include "windowsupport.h"
#include "widget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>

#include <random>

namespace {

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int actions = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;

    testsupport::Bench bench;
    std::mt19937 random(20261207);
    const char *buttons[] = {"pbUpdateData", "pbGetConstants", "pbSetConstants", "pbWriteEeprom"};
    // Set Constants takes at least 300 ms, so it is drawn less often than the quick actions.
    std::discrete_distribution<int> pickAction({45, 35, 5, 15});
    std::uniform_int_distribution<int> percent(0, 99);

    // Warm up, an error message included, so that one-time allocations (fonts, the
    // message box's own resources) do not count as growth.
    for (const char *button : buttons)
        bench.click(button);
    sim::Faults silent;
    silent.silent = true;
    bench.instrument.setFaults(silent);
    bench.click("pbUpdateData");
    const long rssStart = residentKiB();
    QElapsedTimer clock;
    clock.start();

    int faults = 0;
    for (int i = 0; i < actions; ++i) {
        sim::Faults fault;
        if (percent(random) < 10) {
            ++faults;
            switch (percent(random) % 5) {
            case 0: fault.silent = true; break;
            case 1: fault.chunkSize = 1 + percent(random); break;
            case 2: fault.trailingBytes = QByteArray(1 + percent(random) % 16, '\x7f'); break;
            case 3: fault.afterWrite = QByteArray::fromHex("55aa"); break;
            default: fault.truncateTo = percent(random) % 4; break;
            }
        }
        bench.instrument.setFaults(fault);
        bench.click(buttons[pickAction(random)]);
        if (i % 1000 == 999) {
            bench.instrument.clearRequests();
            std::printf("  %5d actions, %6.1f s, resident %ld KiB\n", i + 1, clock.elapsed() / 1000.0, residentKiB());
            std::fflush(stdout);
        }
    }
    const long rssEnd = residentKiB();
    std::printf("Soak: %d actions, %d with faults, %d error messages, %.1f s\n", actions, faults,
                int(bench.modals.boxes.size()), clock.elapsed() / 1000.0);
    std::printf("Resident memory: start %ld KiB, end %ld KiB, growth %.2f %% (target: under 5 %%)\n", rssStart,
                rssEnd, 100.0 * double(rssEnd - rssStart) / double(rssStart));
    return 0;
}
