#include "benchsupport.h"

#include <QTcpSocket>
#include <QUrl>

namespace testsupport {

namespace {
constexpr int ConnectTimeoutMs = 5000;
}

std::unique_ptr<sim::BenchHost> startBench(const sim::BenchSettings &settings, QString *error, sim::Bench::Clock clock)
{
    auto host = std::make_unique<sim::BenchHost>(settings, std::move(clock));
    if (!host->start(error))
        return nullptr;
    return host;
}

QByteArrayList askLines(const QString &url, const QByteArray &lines, int replies, int quietMs)
{
    const QUrl address(url);
    QTcpSocket socket;
    socket.connectToHost(address.host(), quint16(address.port()));
    if (!socket.waitForConnected(ConnectTimeoutMs))
        return {};
    socket.write(lines);
    QByteArray received;
    while (received.count('\n') < replies && socket.waitForReadyRead(quietMs))
        received += socket.readAll();
    QByteArrayList answers = received.split('\n');
    answers.removeLast();  // what followed the last line end
    return answers;
}

QByteArray ask(const QString &url, const QByteArray &query, int quietMs)
{
    const QByteArrayList answers = askLines(url, query + '\n', 1, quietMs);
    return answers.isEmpty() ? QByteArray() : answers.first();
}

} // namespace testsupport
