// The instrument through ser2net on the loopback address next to its local pseudo-terminal:
// the median of `thermocal-cli get` locally, through socket:// and through rfc2217://, whole
// runs in the same run, and how closely
// `read --interval 0.01 --count 1000` keeps its schedule through rfc2217://.
#include "benchutil.h"
#include "servers.h"

#include <QCoreApplication>
#include <QProcess>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QString cli = QStringLiteral(CLI_PATH);
    // ser2net serves one device through one connection: the raw port serves the instrument
    // that is also read locally, the RFC 2217 port a second one.
    const Simulator simulator(QStringLiteral(SIM_PATH));
    const Simulator second(QStringLiteral(SIM_PATH));
    const QString terminal = simulator.port();
    testsupport::Ser2net ser2net;
    if (!ser2net.start(terminal, second.port()))
        qFatal("ser2net did not start: %s", qPrintable(ser2net.error()));
    const QStringList local{QStringLiteral("--port"), terminal};
    const QStringList network{QStringLiteral("--port"), ser2net.rfc2217Url()};
    const QStringList raw{QStringLiteral("--port"), ser2net.rawUrl()};

    timeRuns(cli, QStringList{QStringLiteral("get")} + local, 3);
    printFigures("thermocal-cli get, local pseudo-terminal", timeRuns(cli, QStringList{QStringLiteral("get")} + local, 20),
                 "yardstick");
    printFigures("thermocal-cli get, socket:// on loopback", timeRuns(cli, QStringList{QStringLiteral("get")} + raw, 20),
                 "within 10 ms of local");
    printFigures("thermocal-cli get, rfc2217:// on loopback", timeRuns(cli, QStringList{QStringLiteral("get")} + network, 20),
                 "within 5 ms of local");

    const int readings = 1000;
    const QStringList read{QStringLiteral("read"), QStringLiteral("--interval"), QStringLiteral("0.01"),
                           QStringLiteral("--count"), QString::number(readings), QStringLiteral("--csv")};
    const QVector<QPair<const char *, QStringList>> ways{{"read x1000 at 10 ms, local", local},
                                                         {"read x1000 at 10 ms, rfc2217://", network}};
    for (const auto &way : ways) {
        QByteArray log;
        const QVector<double> total = timeRuns(cli, read + way.second, 1, &log);
        printSchedule(way.first, log, readings, 10, total.value(0), "as locally");
    }

    ser2net.stop();
    return 0;
}
