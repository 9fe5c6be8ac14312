// Time to import sensor curves of growing size (read, sort, merge, resample), the whole
// process's time and peak memory for the largest curve imported from a file, as the window
// does it, and for the refusal of a file that never ends.
#include "benchutil.h"
#include "curveimport.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cmath>
#include <random>

namespace {

constexpr int LargestCurve = 1000000;
constexpr int WholeProcessRuns = 5;
constexpr double KibPerMib = 1024.0;
const char WholeProcessOption[] = "--import-file";
const char RefusalOption[] = "--refuse-file";
const char EndlessFile[] = "/dev/zero";
constexpr int RefusalRuns = 3;

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

// The process's peak resident memory so far, from the kernel's own account.
long peakKib()
{
    // /proc files report a size of 0, so they are read whole rather than line by line.
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// The child: one import of the file, then its time and the process's peak memory.
int importOnce(const QString &path, bool refusal)
{
    QElapsedTimer clock;
    clock.start();
    const curveimport::Result result = curveimport::importFile(path);
    const double ms = clock.nsecsElapsed() / 1e6;
    if (result.ok() == refusal) {
        std::fprintf(stderr, "unexpected %s: %s\n", refusal ? "import" : "refusal", qPrintable(result.error));
        return 1;
    }
    std::printf("%f %ld\n", ms, peakKib());
    return 0;
}

void inProcess()
{
    for (int points : {100, 10000, LargestCurve}) {
        QByteArray text = curveText(points);
        QVector<double> times;
        const int runs = points >= LargestCurve ? 3 : 20;
        for (int run = 0; run < runs; ++run) {
            QBuffer buffer(&text);
            buffer.open(QIODevice::ReadOnly | QIODevice::Text);
            QElapsedTimer clock;
            clock.start();
            const curveimport::Result result = curveimport::importStream(buffer);
            times.append(clock.nsecsElapsed() / 1e6);
            if (!result.ok())
                std::printf("unexpected refusal: %s\n", qPrintable(result.error));
        }
        const QByteArray label = "Curve import, " + QByteArray::number(points) + " points ("
            + QByteArray::number(text.size() / 1024) + " KiB)";
        printFigures(label.constData(), times, "the window never hangs: well under a second per MB");
    }
}

// Each run is a fresh process, so its peak memory is the import's alone.
void wholeProcess(const QString &program)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("curve.txt"));
    QFile file(path);
    const QByteArray text = curveText(LargestCurve);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush()) {
        std::printf("cannot write %s\n", qPrintable(path));
        return;
    }
    file.close();

    QVector<double> times;
    double worstPeakMib = 0.0;
    for (int run = 0; run < WholeProcessRuns; ++run) {
        QProcess child;
        child.start(program, {QLatin1String(WholeProcessOption), path});
        if (!child.waitForFinished(-1) || child.exitCode() != 0) {
            std::printf("the import process failed: %s\n", child.readAllStandardError().constData());
            return;
        }
        const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
        times.append(figures.value(0).toDouble());
        worstPeakMib = std::max(worstPeakMib, figures.value(1).toDouble() / KibPerMib);
    }
    const QByteArray label = "File import, " + QByteArray::number(LargestCurve) + " points ("
        + QByteArray::number(text.size() / (1024 * 1024)) + " MiB)";
    printFigures(label.constData(), times, "under 250 ms");
    std::printf("%-44s peak %.1f MiB for the whole process   (target: under 64 MiB)\n",
                label.constData(), worstPeakMib);
}

// A file that never ends is refused at the size limit, holding little more than the limit.
void endlessFile(const QString &program)
{
    QVector<double> times;
    double worstPeakMib = 0.0;
    for (int run = 0; run < RefusalRuns; ++run) {
        QProcess child;
        child.start(program, {QLatin1String(RefusalOption), QLatin1String(EndlessFile)});
        if (!child.waitForFinished(-1) || child.exitCode() != 0) {
            std::printf("the refusal process failed: %s\n", child.readAllStandardError().constData());
            return;
        }
        const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
        times.append(figures.value(0).toDouble());
        worstPeakMib = std::max(worstPeakMib, figures.value(1).toDouble() / KibPerMib);
    }
    const QByteArray label = QByteArray("Refusal of ") + EndlessFile;
    printFigures(label.constData(), times, "under a second");
    std::printf("%-44s peak %.1f MiB for the whole process   (target: little above the %lld MiB limit)\n",
                label.constData(), worstPeakMib, curveimport::MaxFileBytes / (1024 * 1024));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String(WholeProcessOption))
        return importOnce(arguments.at(2), false);
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String(RefusalOption))
        return importOnce(arguments.at(2), true);
    inProcess();
    wholeProcess(application.applicationFilePath());
    endlessFile(application.applicationFilePath());
    return 0;
}
