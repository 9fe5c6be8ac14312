#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <thread>

// A TCP server on 127.0.0.1 that misbehaves as a broken or hostile ser2net might, for the
// tests that make sure a client stays bounded in time and memory. It listens on a port found
// free at start() and serves its clients one after another on its own thread, so a client
// that blocks in the test's thread is served all the same. Stopped when the object goes.
//
//     testsupport::HostileServer server({testsupport::HostileServer::Greeting::None, 0,
//                                        true, testsupport::HostileServer::After::Flood});
//     QVERIFY(server.start());
//     ... portname::open(server.url()) ...
//
// A connection goes through up to three steps:
//  1. at connect, or with `greetingOnRequest` once the client has sent something,
//     `greetingBytes` bytes of text with line ends and control characters (then the
//     connection closes when `closeAfterGreeting`);
//  2. with `rfc2217`, just enough of the COM-PORT-OPTION for a client to agree its settings:
//     DO COM-PORT-OPTION, and each setting answered with the value asked for;
//  3. once the client has sent a data byte (or at once, with `afterAtConnect`), `after`,
//     without end: data, settings answers, or a subnegotiation that never ends.
namespace testsupport {

class HostileServer
{
public:
    enum class After {
        Silence,               // holds the connection open and says nothing
        Flood,                 // data bytes
        RepeatedAnswers,       // the baud rate setting's answer again and again (RFC 2217)
        EndlessSubnegotiation, // IAC SB and bytes, never IAC SE
    };

    struct Script
    {
        qint64 greetingBytes = 0;
        bool closeAfterGreeting = false;
        bool rfc2217 = false;
        After after = After::Silence;
        bool afterAtConnect = false;
        bool greetingOnRequest = false;
    };

    explicit HostileServer(const Script &script);
    HostileServer(const HostileServer &) = delete;
    HostileServer &operator=(const HostileServer &) = delete;
    ~HostileServer();

    // Listens and starts serving; false when no port could be had.
    bool start();
    quint16 port() const { return m_port; }
    // socket://127.0.0.1:PORT, or rfc2217://... for a script that speaks RFC 2217.
    QString url() const;
    // Bytes written to clients so far, all connections together.
    qint64 bytesSent() const { return m_sent; }
    // The greeting's bytes, as each connection receives them first.
    static QByteArray greeting(qint64 size);

private:
    void serve();
    void serveClient(int client);
    // Writes all of `bytes` unless the client leaves or the server stops; false then.
    bool sendAll(int client, const QByteArray &bytes);
    // Reads what the client sent, waiting at most `waitMs`; false when it has left.
    bool receive(int client, QByteArray *bytes, int waitMs);

    Script m_script;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_sent{0};
    std::thread m_thread;
};

} // namespace testsupport
