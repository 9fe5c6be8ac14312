// Time to import sensor curves of growing size (read, sort, merge, resample), the whole
// process's time and peak memory for the largest curve imported from a file, as the window
// does it, and for the refusal of a file that never ends. Then the rows placed by curvature
// against the geometric ones: the worst interpolation error of each on the test suites'
// curves and on generated diode curves with a knee, by temperature range for the knee
// diode, and the time to place the rows.
#include "benchutil.h"
#include "curveimport.h"
#include "curvemath.h"
#include "tablespacing.h"

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

// The diode of tests/data/curves/silicon-diode-knee.txt: a sharp knee near 25 K and a bend
// towards 500 K.
double kneeDiodeVolts(double kelvin)
{
    const double x = (25.0 - kelvin) / 0.75;
    const double softplus = x > 0.0 ? x + std::log1p(std::exp(-x)) : std::log1p(std::exp(x));
    return 1.15 - 0.00175 * kelvin - 7.5e-7 * kelvin * kelvin + 0.015 * softplus + 0.08 * std::exp(-kelvin / 6.0);
}

// That diode at `points` temperatures spaced geometrically from 1.2 K to 500 K.
QVector<curveimport::Point> kneeDiode(int points)
{
    QVector<curveimport::Point> curve;
    for (int i = 0; i < points; ++i) {
        const double kelvin = 1.2 * std::pow(500.0 / 1.2, double(i) / (points - 1));
        curve.append(curveimport::Point(kneeDiodeVolts(kelvin), kelvin));
    }
    return curve;
}

// The rows as the instrument holds them.
QVector<curveimport::Point> inFloat(QVector<curveimport::Point> rows)
{
    for (curveimport::Point &row : rows)
        row = curveimport::Point(double(float(row.first)), double(float(row.second)));
    return rows;
}

struct Placement
{
    QVector<curveimport::Point> geometric;
    QVector<curveimport::Point> curvature;
};

// The worst error of each spacing, against the monotone cubic through the curve's points, and
// the time to place the rows by curvature.
Placement comparePlacements(const QByteArray &label, const QVector<curveimport::Point> &points)
{
    const QVector<curveimport::Point> sorted = curveimport::sortedAndMerged(points);
    Placement placement;
    const curveimport::Result geometric = curveimport::resample(points);
    QVector<double> times;
    const int runs = points.size() > 20000 ? 3 : 20;
    curveimport::Result curvature;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        curvature = tablespacing::byCurvature(points);
        times.append(clock.nsecsElapsed() / 1e6);
    }
    if (!geometric.ok() || !curvature.ok()) {
        std::printf("%s: unexpected refusal: %s%s\n", label.constData(), qPrintable(geometric.error), qPrintable(curvature.error));
        return placement;
    }
    placement.geometric = inFloat(geometric.rows);
    placement.curvature = inFloat(curvature.rows);
    const curvemath::WorstError byGeometric = curvemath::largestErrorAlongCurve(placement.geometric, sorted);
    const curvemath::WorstError byCurvature = curvemath::largestErrorAlongCurve(placement.curvature, sorted);
    const QByteArray timing = "Placing rows, " + label;
    printFigures(timing.constData(), times, "under 50 ms for 10,000 points");
    std::printf("%-44s worst: geometric %8.3f mK at %6.2f K, curvature %6.3f mK at %6.2f K (%.0f times less)\n",
                label.constData(), std::fabs(byGeometric.millikelvin), byGeometric.kelvin,
                std::fabs(byCurvature.millikelvin), byCurvature.kelvin,
                std::fabs(byGeometric.millikelvin / byCurvature.millikelvin));
    std::fflush(stdout);
    return placement;
}

void rowPlacement()
{
    const struct
    {
        const char *label;
        QString path;
    } files[] = {
        {"test diode, 42 points", QStringLiteral(THERMOCAL_TEST_DATA "/curves/silicon-diode-plain.txt")},
        {"test knee diode, 1725 points", QStringLiteral(THERMOCAL_TEST_DATA "/curves/silicon-diode-knee.txt")},
        {"sample curve, 300 points", QStringLiteral(EXAMPLES "/sample-curve.txt")},
        {"standard curve, 100 points", QStringLiteral(EXAMPLES "/standard-curve.340")},
    };
    for (const auto &file : files) {
        const curveimport::Curve curve = curveimport::readFile(file.path);
        if (!curve.ok()) {
            std::printf("%s: %s\n", file.label, qPrintable(curve.error));
            continue;
        }
        comparePlacements(file.label, curve.points);
    }
    for (int points : {10000, 100000})
        comparePlacements("knee diode, " + QByteArray::number(points) + " points", kneeDiode(points));

    // The knee diode by temperature range, as the README's table gives it.
    const curveimport::Curve knee = curveimport::readFile(QStringLiteral(THERMOCAL_TEST_DATA "/curves/silicon-diode-knee.txt"));
    const QVector<curveimport::Point> sorted = curveimport::sortedAndMerged(knee.points);
    const curveimport::Result geometric = curveimport::resample(knee.points);
    const curveimport::Result curvature = tablespacing::byCurvature(knee.points);
    if (!geometric.ok() || !curvature.ok())
        return;
    std::printf("%-44s %10s %10s\n", "Test knee diode, worst error by range (mK)", "geometric", "curvature");
    const double ranges[][2] = {{1.2, 20.0}, {20.0, 30.0}, {30.0, 300.0}, {300.0, 400.0}, {400.0, 500.0}};
    for (const auto &range : ranges) {
        const QVector<curveimport::Point> rows[] = {inFloat(geometric.rows), inFloat(curvature.rows)};
        double worst[2];
        for (int spacing = 0; spacing < 2; ++spacing)
            worst[spacing] = std::fabs(curvemath::largestErrorAlongCurve(rows[spacing], sorted, range[0], range[1]).millikelvin);
        std::printf("  %5.1f K to %5.1f K %25s %10.1f %10.1f\n", range[0], range[1], "", worst[0], worst[1]);
    }
    std::fflush(stdout);
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
    rowPlacement();
    return 0;
}
