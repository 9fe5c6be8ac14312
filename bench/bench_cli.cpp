// thermocal-cli as a script meets it: whole processes against thermocal-sim. Prints the
// median of `--version` (the floor: starting the program), of `get` and of `set --commit`,
// of `plot` with three tables, and how closely `read --interval 0.01 --count 1000` keeps its
// schedule.
#include "benchutil.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>

namespace {

QVector<double> timeRuns(const QStringList &arguments, int runs, QByteArray *lastOutput = nullptr)
{
    QVector<double> times;
    for (int i = 0; i < runs; ++i) {
        QProcess process;
        QElapsedTimer clock;
        clock.start();
        process.start(QStringLiteral(CLI_PATH), arguments);
        if (!process.waitForFinished(60000) || process.exitCode() != 0) {
            std::fprintf(stderr, "bench_cli: %s failed: %s\n", qPrintable(arguments.join(QLatin1Char(' '))),
                         process.readAllStandardError().constData());
            continue;
        }
        times.append(clock.nsecsElapsed() / 1e6);
        if (lastOutput)
            *lastOutput = process.readAllStandardOutput();
    }
    return times;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QProcess simulator;
    simulator.start(QStringLiteral(SIM_PATH), QStringList());
    if (!simulator.waitForReadyRead(10000))
        qFatal("thermocal-sim did not start");
    const QString port = QString::fromUtf8(simulator.readLine()).trimmed();
    const QStringList onPort{QStringLiteral("--port"), port};

    timeRuns({QStringLiteral("--version")}, 3);
    printFigures("thermocal-cli --version (floor)", timeRuns({QStringLiteral("--version")}, 20), "yardstick");
    QByteArray calibration;
    printFigures("thermocal-cli get", timeRuns(QStringList{QStringLiteral("get")} + onPort, 20, &calibration),
                 "under 40 ms");

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("calibration.json"));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(calibration) != calibration.size())
        qFatal("cannot write %s", qPrintable(file));
    out.close();
    printFigures("thermocal-cli set --commit --no-backup",
                 timeRuns(QStringList{QStringLiteral("set"), file, QStringLiteral("--commit"), QStringLiteral("--no-backup")} + onPort, 10),
                 "300 ms of pacing, under 350 ms");

    // Three 100-row tables drawn by a whole process, fonts and all.
    const QString second = dir.filePath(QStringLiteral("second.json"));
    QFile::copy(file, second);
    const QString picture = dir.filePath(QStringLiteral("curves.png"));
    timeRuns({QStringLiteral("plot"), file, QStringLiteral(EXAMPLES "/sample-calibration.json"), second,
              QStringLiteral("-o"), picture},
             2);
    printFigures("thermocal-cli plot, three tables to PNG",
                 timeRuns({QStringLiteral("plot"), file, QStringLiteral(EXAMPLES "/sample-calibration.json"), second,
                           QStringLiteral("-o"), picture},
                          20),
                 "under 150 ms");

    const int readings = 1000;
    QByteArray log;
    const QVector<double> total = timeRuns(QStringList{QStringLiteral("read"), QStringLiteral("--interval"), QStringLiteral("0.01"),
                                                       QStringLiteral("--count"), QString::number(readings), QStringLiteral("--csv")}
                                               + onPort,
                                           1, &log);
    const QList<QByteArray> rows = log.trimmed().split('\n').mid(1);
    qint64 worstLateMs = 0;
    int missing = readings - rows.size();
    if (!rows.isEmpty()) {
        const qint64 start = QDateTime::fromString(QString::fromUtf8(rows.first().split(',').first()), Qt::ISODateWithMs)
                                 .toMSecsSinceEpoch();
        for (int k = 0; k < rows.size(); ++k) {
            const QList<QByteArray> fields = rows.at(k).split(',');
            if (fields.size() != 3 || fields.at(1).isEmpty())
                ++missing;
            const qint64 at = QDateTime::fromString(QString::fromUtf8(fields.first()), Qt::ISODateWithMs).toMSecsSinceEpoch();
            worstLateMs = qMax(worstLateMs, at - start - 10 * k);
        }
    }
    std::printf("%-44s total %8.1f ms (schedule 9990 ms)  worst lateness %lld ms  missing %d   (target: within 1 %%, none missing)\n",
                "thermocal-cli read --interval 0.01 x1000", total.value(0), static_cast<long long>(worstLateMs), missing);

    ::kill(pid_t(simulator.processId()), SIGTERM);
    simulator.waitForFinished(5000);
    return 0;
}
