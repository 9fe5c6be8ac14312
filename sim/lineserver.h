#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

#include <functional>

class QObject;
class QTcpServer;
class QTcpSocket;

namespace sim {

// A line-based TCP service on 127.0.0.1, as SCPI instruments serve on a raw socket, from a
// thread of its own so that a client in the program's own thread may block waiting for it.
// Each client gets a session of its own (its error queue, say); each line (ended by '\n',
// a '\r' before it dropped) goes to the client's session, and a non-empty answer goes back
// with '\n', in the order the lines came. Many clients at once; a line
// longer than the longest allowed is dropped whole, and a client that does not read its
// answers is not read from either, so memory stays bounded whatever a client does.
class LineServer
{
public:
    using Session = std::function<QByteArray(const QByteArray &line)>;
    using NewSession = std::function<Session()>;

    static constexpr int MostClients = 32;

    // `longestLine`: the most bytes a line may have.
    LineServer(NewSession newSession, int longestLine);
    ~LineServer();
    LineServer(const LineServer &) = delete;
    LineServer &operator=(const LineServer &) = delete;

    // Listens on `port` (0: one that is free). False with the reason otherwise.
    bool start(quint16 port = 0, QString *error = nullptr);
    void stop();
    quint16 port() const { return m_port; }
    // socket://127.0.0.1:PORT, as the programs name it.
    QString url() const;

private:
    struct Pending;

    void accept();
    void serve(QTcpSocket *socket, Pending &pending);

    NewSession m_newSession;
    int m_longestLine;
    QThread m_thread;
    QObject *m_context = nullptr;   // lives in m_thread; the server and the sockets are its children
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
};

} // namespace sim
