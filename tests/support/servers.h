#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "instrument.h"

// Real servers for the tests that reach the instrument or a database over the network:
// ser2net and InfluxDB, each started on the loopback address on ports found free at run
// time, with its files in a temporary directory, and stopped when the object goes.
namespace testsupport {

// A TCP port on 127.0.0.1 that nothing listens on at the moment of asking.
quint16 freePort();

class Server
{
public:
    Server() = default;
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    virtual ~Server();

    // Why the last start failed: the server's own words when it said any.
    QString error() const { return m_error; }
    void stop();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

protected:
    // Starts `program` and waits until every port of `ports` on 127.0.0.1 is taken.
    bool launch(const QString &program, const QStringList &arguments, const QList<quint16> &ports);

    QTemporaryDir m_dir;
    QString m_error;

private:
    QProcess m_process;
};

// ser2net serving two serial devices (pseudo-terminals) at the instrument's settings, one
// as raw TCP, the other as Telnet with RFC 2217. Two devices, since ser2net takes a moment
// after a client leaves to let go of a device, and until then refuses a client of its other
// connection to that device.
class Ser2net : public Server
{
public:
    bool start(const QString &rawDevice, const QString &rfc2217Device);
    // Starts again on the same ports, after stop().
    bool restart();

    QString rawUrl() const;
    QString rfc2217Url() const;

private:
    QString m_rawDevice;
    QString m_rfc2217Device;
    quint16 m_rawPort = 0;
    quint16 m_telnetPort = 0;
};

// Two simulated instruments served by one ser2net: "raw" as socket://, "telnet" as
// rfc2217://. A test row names the kind; the instrument and the URL follow from it.
struct Ser2netInstruments
{
    sim::Instrument raw;
    sim::Instrument telnet;
    Ser2net ser2net;

    // Starts both instruments and ser2net; false with the reason otherwise.
    bool start(QString *error);
    sim::Instrument &instrument(const QString &kind) { return kind == QLatin1String("raw") ? raw : telnet; }
    QString url(const QString &kind) const
    {
        return kind == QLatin1String("raw") ? ser2net.rawUrl() : ser2net.rfc2217Url();
    }
};

// InfluxDB 1.x with its data in a temporary directory and its HTTP API on 127.0.0.1.
class Influxd : public Server
{
public:
    bool start();
    QString url() const;

private:
    quint16 m_httpPort = 0;
};

// Prometheus with its data in a temporary directory, scraping one target every second, its
// web API on 127.0.0.1.
class Prometheus : public Server
{
public:
    // `target`: HOST:PORT of a /metrics page.
    bool start(const QString &target);
    // The query API's answer to `expression`, as JSON; false when there is none.
    bool query(const QString &expression, QByteArray *answer) const;

private:
    quint16 m_webPort = 0;
};

// What curl got from `url`: the body, and false with the reason when the request failed.
bool curl(const QStringList &arguments, QByteArray *body, QString *error);

} // namespace testsupport
