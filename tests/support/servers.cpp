#include "servers.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

namespace testsupport {

namespace {

constexpr int StartTimeoutMs = 10000;
constexpr int PollMs = 20;

bool isTaken(quint16 port)
{
    // Asking by listening, not connecting: a connection to ser2net would open the device
    // and hold the port for a moment after.
    QTcpServer probe;
    return !probe.listen(QHostAddress::LocalHost, port);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

quint16 freePort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

Server::~Server()
{
    stop();
}

void Server::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool Server::launch(const QString &program, const QStringList &arguments, const QList<quint16> &ports)
{
    const QString path = QStandardPaths::findExecutable(program, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    if (path.isEmpty()) {
        m_error = QStringLiteral("%1 is not installed (scripts/bootstrap installs it)").arg(program);
        return false;
    }
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(path, arguments);
    if (!m_process.waitForStarted(StartTimeoutMs)) {
        m_error = QStringLiteral("%1 did not start: %2").arg(program, m_process.errorString());
        return false;
    }
    QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (m_process.state() == QProcess::NotRunning || m_process.waitForFinished(0)) {
            m_error = QStringLiteral("%1 stopped at once: %2").arg(program, QString::fromLocal8Bit(m_process.readAll()).trimmed());
            return false;
        }
        bool ready = true;
        for (quint16 port : ports)
            ready = ready && isTaken(port);
        if (ready)
            return true;
        QThread::msleep(PollMs);
    }
    m_error = QStringLiteral("%1 did not listen within %2 s: %3")
                  .arg(program).arg(StartTimeoutMs / 1000).arg(QString::fromLocal8Bit(m_process.readAll()).trimmed());
    stop();
    return false;
}

bool Ser2net::start(const QString &rawDevice, const QString &rfc2217Device)
{
    m_rawDevice = rawDevice;
    m_rfc2217Device = rfc2217Device;
    m_rawPort = freePort();
    m_telnetPort = freePort();
    while (m_telnetPort == m_rawPort)
        m_telnetPort = freePort();
    return restart();
}

bool Ser2net::restart()
{
    // As the README configures a real instrument's server: replies go out as they come,
    // neither held back for more bytes from the terminal nor for the network's ACK.
    const QByteArray settings = QByteArrayLiteral(",500000n81,local");
    const QByteArray config = "connection: &raw\n"
                              "  accepter: tcp(nodelay),127.0.0.1," + QByteArray::number(m_rawPort) + "\n"
                              "  connector: serialdev," + m_rawDevice.toLocal8Bit() + settings + "\n"
                              "  options:\n    chardelay: false\n"
                              "connection: &telnet\n"
                              "  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1," + QByteArray::number(m_telnetPort) + "\n"
                              "  connector: serialdev," + m_rfc2217Device.toLocal8Bit() + settings + "\n"
                              "  options:\n    chardelay: false\n";
    const QString path = m_dir.filePath(QStringLiteral("ser2net.yaml"));
    if (!m_dir.isValid() || !writeFile(path, config)) {
        m_error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    // -n: in the foreground, as our child; -u: no lock files in /var/lock.
    return launch(QStringLiteral("ser2net"), {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), path},
                  {m_rawPort, m_telnetPort});
}

bool Ser2netInstruments::start(QString *error)
{
    if (!raw.start(error) || !telnet.start(error))
        return false;
    if (!ser2net.start(raw.portName(), telnet.portName())) {
        *error = ser2net.error();
        return false;
    }
    return true;
}

QString Ser2net::rawUrl() const
{
    return QStringLiteral("socket://127.0.0.1:%1").arg(m_rawPort);
}

QString Ser2net::rfc2217Url() const
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_telnetPort);
}

bool Influxd::start()
{
    m_httpPort = freePort();
    quint16 rpcPort = freePort();
    while (rpcPort == m_httpPort)
        rpcPort = freePort();
    const QByteArray dir = m_dir.path().toLocal8Bit();
    const QByteArray config = "reporting-disabled = true\n"
                              "bind-address = \"127.0.0.1:" + QByteArray::number(rpcPort) + "\"\n"
                              "[meta]\n  dir = \"" + dir + "/meta\"\n"
                              "[data]\n  dir = \"" + dir + "/data\"\n  wal-dir = \"" + dir + "/wal\"\n"
                              "  query-log-enabled = false\n"
                              "[monitor]\n  store-enabled = false\n"
                              "[http]\n  bind-address = \"127.0.0.1:" + QByteArray::number(m_httpPort) + "\"\n"
                              "  log-enabled = false\n";
    const QString path = m_dir.filePath(QStringLiteral("influxdb.conf"));
    if (!m_dir.isValid() || !writeFile(path, config)) {
        m_error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    if (!launch(QStringLiteral("influxd"), {QStringLiteral("-config"), path}, {m_httpPort}))
        return false;
    // Listening comes a moment before answering.
    QDeadlineTimer deadline(StartTimeoutMs);
    QString problem;
    while (!deadline.hasExpired()) {
        QByteArray body;
        if (curl({QStringLiteral("-f"), url() + QStringLiteral("/ping")}, &body, &problem))
            return true;
        QThread::msleep(PollMs);
    }
    m_error = QStringLiteral("influxd does not answer /ping: %1").arg(problem);
    stop();
    return false;
}

bool Prometheus::start(const QString &target)
{
    m_webPort = freePort();
    const QByteArray config = "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                              "scrape_configs:\n  - job_name: thermocal\n    static_configs:\n"
                              "      - targets: ['" + target.toUtf8() + "']\n";
    const QString path = m_dir.filePath(QStringLiteral("prometheus.yml"));
    if (!m_dir.isValid() || !writeFile(path, config)) {
        m_error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    return launch(QStringLiteral("prometheus"),
                  {QStringLiteral("--config.file=") + path, QStringLiteral("--storage.tsdb.path=") + m_dir.filePath(QStringLiteral("data")),
                   QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(m_webPort), QStringLiteral("--log.level=warn")},
                  {m_webPort});
}

bool Prometheus::query(const QString &expression, QByteArray *answer) const
{
    QString problem;
    return curl({QStringLiteral("-fsG"), QStringLiteral("http://127.0.0.1:%1/api/v1/query").arg(m_webPort),
                 QStringLiteral("--data-urlencode"), QStringLiteral("query=") + expression},
                answer, &problem)
        && answer->contains("\"result\":[{");
}

QString Influxd::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_httpPort);
}

bool curl(const QStringList &arguments, QByteArray *body, QString *error)
{
    QProcess process;
    process.start(QStringLiteral("curl"), QStringList{QStringLiteral("-sS")} + arguments);
    if (!process.waitForFinished(StartTimeoutMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        *error = process.error() == QProcess::FailedToStart
            ? QStringLiteral("curl is not installed (scripts/bootstrap installs it)")
            : QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        return false;
    }
    *body = process.readAllStandardOutput();
    return true;
}

} // namespace testsupport
