// The instrument through ser2net on the loopback address next to its local pseudo-terminal:
// the median of `thermocal-cli get` both ways, and how closely
// `read --interval 0.01 --count 1000` keeps its schedule through rfc2217://.
#include "benchutil.h"
#include "servers.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>

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
            std::fprintf(stderr, "bench_network: %s failed: %s\n", qPrintable(arguments.join(QLatin1Char(' '))),
                         process.readAllStandardError().constData());
            continue;
        }
        times.append(clock.nsecsElapsed() / 1e6);
        if (lastOutput)
            *lastOutput = process.readAllStandardOutput();
    }
    return times;
}

// Worst lateness against the schedule, and readings missing or without an answer, of a CSV log.
void printSchedule(const char *what, const QByteArray &log, int readings, int intervalMs, double totalMs)
{
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
            worstLateMs = qMax(worstLateMs, at - start - qint64(intervalMs) * k);
        }
    }
    std::printf("%-44s total %8.1f ms  worst lateness %lld ms  missing %d   (target: as locally)\n", what, totalMs,
                static_cast<long long>(worstLateMs), missing);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QProcess simulator;
    simulator.start(QStringLiteral(SIM_PATH), QStringList());
    if (!simulator.waitForReadyRead(10000))
        qFatal("thermocal-sim did not start");
    const QString terminal = QString::fromUtf8(simulator.readLine()).trimmed();
    testsupport::Ser2net ser2net;
    if (!ser2net.start(terminal, terminal))
        qFatal("ser2net did not start: %s", qPrintable(ser2net.error()));
    const QStringList local{QStringLiteral("--port"), terminal};
    const QStringList network{QStringLiteral("--port"), ser2net.rfc2217Url()};

    timeRuns(QStringList{QStringLiteral("get")} + local, 3);
    printFigures("thermocal-cli get, local pseudo-terminal", timeRuns(QStringList{QStringLiteral("get")} + local, 20),
                 "yardstick");
    printFigures("thermocal-cli get, rfc2217:// on loopback", timeRuns(QStringList{QStringLiteral("get")} + network, 20),
                 "within 5 ms of local");

    const int readings = 1000;
    const QStringList read{QStringLiteral("read"), QStringLiteral("--interval"), QStringLiteral("0.01"),
                           QStringLiteral("--count"), QString::number(readings), QStringLiteral("--csv")};
    const QVector<QPair<const char *, QStringList>> ways{{"read x1000 at 10 ms, local", local},
                                                         {"read x1000 at 10 ms, rfc2217://", network}};
    for (const auto &way : ways) {
        QByteArray log;
        const QVector<double> total = timeRuns(read + way.second, 1, &log);
        printSchedule(way.first, log, readings, 10, total.value(0));
    }

    ser2net.stop();
    ::kill(pid_t(simulator.processId()), SIGTERM);
    simulator.waitForFinished(5000);
    return 0;
}
