// Time to import sensor curves of growing size (read, sort, merge, resample).
#include "benchutil.h"
#include "curveimport.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cmath>
#include <random>

namespace {

// A diode-like curve in shuffled order, tab-separated, with a title line.
QByteArray curveText(int points)
{
    std::mt19937 random(7);
    QVector<int> order(points);
    for (int i = 0; i < points; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    QByteArray text("Voltage\tTemperature\n");
    for (int i : order) {
        const double temperature = 1.4 + (500.0 - 1.4) * i / (points - 1);
        const double voltage = 1.165 - 0.00215 * temperature + 0.52 * std::exp(-temperature / 15.0);
        text += QByteArray::number(voltage, 'g', 9) + '\t' + QByteArray::number(temperature, 'g', 9) + '\n';
    }
    return text;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    for (int points : {100, 10000, 1000000}) {
        QByteArray text = curveText(points);
        QVector<double> times;
        const int runs = points >= 1000000 ? 3 : 20;
        for (int run = 0; run < runs; ++run) {
            QBuffer buffer(&text);
            buffer.open(QIODevice::ReadOnly | QIODevice::Text);
            QElapsedTimer clock;
            clock.start();
            const curveimport::Result result = curveimport::importDevice(buffer);
            times.append(clock.nsecsElapsed() / 1e6);
            if (!result.ok())
                std::printf("unexpected refusal: %s\n", qPrintable(result.error));
        }
        const QByteArray label = "Curve import, " + QByteArray::number(points) + " points ("
            + QByteArray::number(text.size() / 1024) + " KiB)";
        printFigures(label.constData(), times, "the window never hangs: well under a second per MB");
    }
    return 0;
}
