// thermocal-cli as a script meets it: whole processes against thermocal-sim. Prints the
// median of `--version` (the floor: starting the program), of `get` and of `set --commit`,
// of `plot` with three tables, and how closely `read --interval 0.01 --count 1000` keeps its
// schedule.
#include "benchutil.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QString cli = QStringLiteral(CLI_PATH);
    const Simulator simulator(QStringLiteral(SIM_PATH));
    const QString port = simulator.port();
    const QStringList onPort{QStringLiteral("--port"), port};

    timeRuns(cli, {QStringLiteral("--version")}, 3);
    printFigures("thermocal-cli --version (floor)", timeRuns(cli, {QStringLiteral("--version")}, 20), "yardstick");
    QByteArray calibration;
    printFigures("thermocal-cli get", timeRuns(cli, QStringList{QStringLiteral("get")} + onPort, 20, &calibration),
                 "under 40 ms");

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("calibration.json"));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(calibration) != calibration.size())
        qFatal("cannot write %s", qPrintable(file));
    out.close();
    printFigures("thermocal-cli set --commit --no-backup",
                 timeRuns(cli, QStringList{QStringLiteral("set"), file, QStringLiteral("--commit"), QStringLiteral("--no-backup")} + onPort, 10),
                 "300 ms of pacing, under 350 ms");

    // Three 100-row tables drawn by a whole process, fonts and all.
    const QString second = dir.filePath(QStringLiteral("second.json"));
    QFile::copy(file, second);
    const QString picture = dir.filePath(QStringLiteral("curves.png"));
    timeRuns(cli, {QStringLiteral("plot"), file, QStringLiteral(EXAMPLES "/sample-calibration.json"), second,
              QStringLiteral("-o"), picture},
             2);
    printFigures("thermocal-cli plot, three tables to PNG",
                 timeRuns(cli, {QStringLiteral("plot"), file, QStringLiteral(EXAMPLES "/sample-calibration.json"), second,
                           QStringLiteral("-o"), picture},
                          20),
                 "under 150 ms");

    const int readings = 1000;
    QByteArray log;
    const QVector<double> total = timeRuns(cli, QStringList{QStringLiteral("read"), QStringLiteral("--interval"), QStringLiteral("0.01"),
                                                       QStringLiteral("--count"), QString::number(readings), QStringLiteral("--csv")}
                                               + onPort,
                                           1, &log);
    printSchedule("thermocal-cli read --interval 0.01 x1000", log, readings, 10, total.value(0),
                  "within 1 %, none missing");

    return 0;
}
