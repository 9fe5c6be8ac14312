// thermocal-server's figures: reading the calibration set (what get does) through --raw
// beside the local port, in this process and as whole thermocal-cli get runs; eight
// clients each reading at 10 Hz through it (worst lateness, missing readings) while a ninth
// floods it with requests, and the server's own scheduled readings meanwhile; a /metrics
// scrape; the server's resident memory.
#include "benchutil.h"
#include "device.h"
#include "portname.h"
#include "ports.h"
#include "servers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int GetRuns = 20;
constexpr int Clients = 8;
constexpr int ClientReadings = 100;
constexpr int ClientIntervalMs = 100;
constexpr int Scrapes = 200;
constexpr int ScheduleIntervalMs = 100;

// The server's count of scheduled readings so far, from its metrics page; -1 when unknown.
qint64 scheduledReadings(quint16 metrics)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, metrics);
    if (!socket.waitForConnected(1000))
        return -1;
    socket.write("GET /metrics HTTP/1.1\r\n\r\n");
    QByteArray page;
    while (socket.waitForReadyRead(1000))
        page += socket.readAll();
    qint64 total = 0;
    for (const QByteArray &line : page.split('\n')) {
        if (line.startsWith("thermocal_readings_total{"))
            total += line.mid(line.lastIndexOf(' ') + 1).toLongLong();
    }
    return total;
}

// A client that sends temperature requests as fast as the server takes them, sixteen at a
// time, until told to stop; how many were answered.
void flood(quint16 port, const std::atomic<bool> &stop, qint64 *answered)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(1000))
        return;
    const QByteArray burst = QByteArray::fromHex("0200").repeated(16);
    while (!stop.load()) {
        socket.write(burst);
        socket.waitForBytesWritten(1000);
        qint64 got = 0;
        while (got < 16 * 4 && socket.waitForReadyRead(1000))
            got += socket.readAll().size();
        *answered += got / 4;
    }
}

bool waitForPort(quint16 port)
{
    for (int attempt = 0; attempt < 500; ++attempt) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(100))
            return true;
        QThread::msleep(20);
    }
    return false;
}

// The three queries of get on one open port, each run timed.
QVector<double> readSets(const QString &name)
{
    portname::Opened opened = portname::open(name);
    if (!opened.port)
        qFatal("%s: %s", qPrintable(name), qPrintable(opened.reason));
    QVector<double> times;
    for (int run = 0; run < GetRuns; ++run) {
        QElapsedTimer clock;
        clock.start();
        protocol::Link link(opened.port.get());
        if (device::readSet(link))
            times.append(clock.nsecsElapsed() / 1e6);
    }
    return times;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    Simulator local(QStringLiteral(SIM_PATH));
    Simulator shared(QStringLiteral(SIM_PATH));
    const quint16 raw = testsupport::freePort();
    const quint16 metrics = testsupport::freePort();
    QProcess server;
    server.start(QStringLiteral(SERVER_PATH), {QStringLiteral("--port"), shared.port(), QStringLiteral("--raw"),
                                               QString::number(raw), QStringLiteral("--metrics"), QString::number(metrics),
                                               QStringLiteral("--interval"), QString::number(ScheduleIntervalMs / 1000.0)});
    if (!server.waitForStarted() || !waitForPort(raw) || !waitForPort(metrics))
        qFatal("thermocal-server did not start");
    const QString url = QStringLiteral("socket://127.0.0.1:%1").arg(raw);

    printFigures("Reading the set, local port", readSets(local.port()), "the baseline");
    printFigures("Reading the set, through --raw", readSets(url), "within 2 ms of the local port");
    // Whole runs, the same program start-up on both sides: only the connect differs.
    printFigures("get, local port", timeRuns(QStringLiteral(CLI_PATH), {QStringLiteral("get"), QStringLiteral("--port"), local.port()}, GetRuns),
                 "the baseline");
    printFigures("get, through --raw", timeRuns(QStringLiteral(CLI_PATH), {QStringLiteral("get"), QStringLiteral("--port"), url}, GetRuns),
                 "within 10 ms of the local port");

    std::atomic<bool> stopFlood{false};
    qint64 flooded = 0;
    std::thread flooder(flood, raw, std::cref(stopFlood), &flooded);
    const qint64 scheduledBefore = scheduledReadings(metrics);
    std::vector<std::unique_ptr<QProcess>> readers;
    QElapsedTimer clock;
    clock.start();
    for (int client = 0; client < Clients; ++client) {
        readers.push_back(std::make_unique<QProcess>());
        readers.back()->start(QStringLiteral(CLI_PATH),
                              {QStringLiteral("read"), QStringLiteral("--interval"), QString::number(ClientIntervalMs / 1000.0),
                               QStringLiteral("--count"), QString::number(ClientReadings), QStringLiteral("--csv"),
                               QStringLiteral("--port"), url});
    }
    for (int client = 0; client < Clients; ++client) {
        QProcess &reader = *readers.at(size_t(client));
        reader.waitForFinished(60000);
        const QByteArray label = "8 clients at 10 Hz beside a flood, client " + QByteArray::number(client + 1);
        printSchedule(label.constData(), reader.readAllStandardOutput(), ClientReadings, ClientIntervalMs,
                      clock.nsecsElapsed() / 1e6, "under 20 ms, none missing");
    }
    const double floodSeconds = clock.nsecsElapsed() / 1e9;
    const qint64 scheduled = scheduledReadings(metrics) - scheduledBefore;
    stopFlood = true;
    flooder.join();
    std::printf("%-44s %lld answered in %.1f s\n", "The flooding client", static_cast<long long>(flooded), floodSeconds);
    std::printf("%-44s %lld of %lld due   (target: none missing)\n", "The server's scheduled readings meanwhile",
                static_cast<long long>(scheduled), static_cast<long long>(floodSeconds * 1000 / ScheduleIntervalMs));

    QVector<double> scrapes;
    for (int scrape = 0; scrape < Scrapes; ++scrape) {
        QElapsedTimer one;
        one.start();
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, metrics);
        socket.waitForConnected(1000);
        socket.write("GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n");
        QByteArray response;
        while (socket.waitForReadyRead(1000))
            response += socket.readAll();
        response += socket.readAll();
        if (response.startsWith("HTTP/1.1 200"))
            scrapes.append(one.nsecsElapsed() / 1e6);
    }
    printFigures("A /metrics scrape", scrapes, "under 2 ms");
    std::printf("%-44s %.1f MiB   (target: under 30 MiB)\n", "Server resident memory", residentMib(QString::number(server.processId())));
    ::kill(pid_t(server.processId()), SIGTERM);
    server.waitForFinished(5000);
    return 0;
}
