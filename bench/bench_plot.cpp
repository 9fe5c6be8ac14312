// thermocal-cli plot of a curve of a million points, its time and the whole process's peak
// memory, next to thermocal-cli import of the same file: drawing should cost no more than
// reading.
#include "benchutil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <random>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

namespace {

constexpr int Points = 1000000;
constexpr int Runs = 3;
constexpr double KibPerMib = 1024.0;

// A diode-like curve in shuffled order, with a little noise as a real measured curve has.
QByteArray curveText()
{
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 2e-5);
    QVector<int> order(Points);
    for (int i = 0; i < Points; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    QByteArray text("Voltage\tTemperature\n");
    for (int i : order) {
        const double temperature = 1.4 + (500.0 - 1.4) * i / (Points - 1);
        const double voltage = 1.165 - 0.00215 * temperature + 0.52 * std::exp(-temperature / 15.0) + noise(random);
        text += QByteArray::number(voltage, 'g', 9) + '\t' + QByteArray::number(temperature, 'g', 9) + '\n';
    }
    return text;
}

struct Figures
{
    double ms = 0.0;
    double peakMib = 0.0;
    bool ok = false;
};

// Runs the command line and takes its time and its own peak resident memory from the kernel.
Figures runOnce(const QStringList &arguments)
{
    QVector<QByteArray> storage;
    for (const QString &argument : arguments)
        storage.append(argument.toLocal8Bit());
    QVector<char *> argv;
    for (QByteArray &one : storage)
        argv.append(one.data());
    argv.append(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    Figures figures;
    if (posix_spawn(&pid, argv.first(), &actions, nullptr, argv.data(), environ) != 0)
        return figures;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    figures.ms = clock.nsecsElapsed() / 1e6;
    figures.peakMib = usage.ru_maxrss / KibPerMib;
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return figures;
}

void measure(const char *label, const QStringList &arguments, const char *target)
{
    QVector<double> times;
    double peak = 0.0;
    for (int run = 0; run < Runs; ++run) {
        const Figures figures = runOnce(arguments);
        if (!figures.ok) {
            std::printf("%s failed\n", qPrintable(arguments.join(QLatin1Char(' '))));
            return;
        }
        times.append(figures.ms);
        peak = std::max(peak, figures.peakMib);
    }
    printFigures(label, times, target);
    std::printf("%-44s peak %.1f MiB for the whole process\n", label, peak);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    const QString curve = dir.filePath(QStringLiteral("curve.txt"));
    QFile file(curve);
    const QByteArray text = curveText();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush())
        qFatal("cannot write %s", qPrintable(curve));
    file.close();
    const QString cli = QStringLiteral(CLI_PATH);
    measure("thermocal-cli import, 1000000 points",
            {cli, QStringLiteral("import"), curve, QStringLiteral("--constants-from"),
             QStringLiteral(EXAMPLES "/sample-calibration.json"), QStringLiteral("-o"), dir.filePath(QStringLiteral("c.json"))},
            "yardstick for plot");
    measure("thermocal-cli plot, 1000000 points to PNG",
            {cli, QStringLiteral("plot"), curve, QStringLiteral("-o"), dir.filePath(QStringLiteral("c.png"))},
            "no more than the import's");
    measure("thermocal-cli plot, 1000000 points to SVG",
            {cli, QStringLiteral("plot"), curve, QStringLiteral("-o"), dir.filePath(QStringLiteral("c.svg"))},
            "no more than the import's");
    return 0;
}
