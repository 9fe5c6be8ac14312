// Start-up time from process start to the window being shown, for the program (its test
// host, against the simulated instrument) and for a bare Qt window started the same way.
#include "benchutil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

namespace {

QVector<double> timeToShown(const QString &program, int runs)
{
    QVector<double> times;
    for (int i = 0; i < runs; ++i) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("THERMOCAL_TEST_SIM"), QStringLiteral("1"));
        env.insert(QStringLiteral("THERMOCAL_TEST_CLOSE"), QStringLiteral("1"));
        process.setProcessEnvironment(env);
        QElapsedTimer clock;
        clock.start();
        process.start(program, QStringList());
        double shownAt = -1;
        while (process.state() != QProcess::NotRunning || process.bytesAvailable() > 0) {
            process.waitForReadyRead(5000);
            if (process.readAllStandardOutput().contains("SHOWN")) {
                shownAt = clock.nsecsElapsed() / 1e6;
                break;
            }
        }
        process.waitForFinished(10000);
        if (shownAt >= 0)
            times.append(shownAt);
    }
    return times;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0.0 : values.at(values.size() / 2);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int runs = 20;
    timeToShown(QStringLiteral(BAREWINDOW_PATH), 2);  // warm the caches for both
    const QVector<double> bare = timeToShown(QStringLiteral(BAREWINDOW_PATH), runs);
    const QVector<double> program = timeToShown(QStringLiteral(TESTHOST_PATH), runs);
    printFigures("Start-up, bare Qt window", bare, "yardstick");
    printFigures("Start-up, thermocal with its instrument", program, "at most 1.3 x bare");
    std::printf("ratio of medians: %.2f\n", median(program) / qMax(median(bare), 1e-9));
    return 0;
}
