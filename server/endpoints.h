#pragma once

#include "metrics.h"
#include "readingloop.h"
#include "requestframer.h"
#include "serveroptions.h"

#include <QObject>
#include <QTimer>

#include <map>
#include <memory>
#include <vector>

class InstrumentOwner;
class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

// What thermocal-server offers its clients, all in the main thread: the instrument's own
// protocol on TCP and on pseudo-terminals, SCPI on TCP, and the metrics page over HTTP. Each
// client's bytes are bounded and framed here; whole requests go to the instrument's owner,
// and its replies come back to the client that asked. Nothing a client sends reaches
// another client or stops the server.
class Endpoints : public QObject
{
    Q_OBJECT

public:
    // At most this many clients per endpoint; one more is closed at once.
    static constexpr int MaxClients = 16;
    // Requests of one client waiting for the instrument; past it the client is not read.
    static constexpr int MaxInFlight = 16;
    // The longest SCPI line; a longer one closes its client.
    static constexpr int MaxScpiLineBytes = 64 * 1024;
    // The longest HTTP request head; a longer one gets 431 and is closed.
    static constexpr int MaxHttpRequestBytes = 8 * 1024;
    // How much a client may leave unread of its replies before it is closed.
    static constexpr qint64 MaxUnsentBytes = 1024 * 1024;

    Endpoints(const ServerOptions &options, InstrumentOwner *owner, const QString &port, const QString &serial,
              QObject *parent = nullptr);
    ~Endpoints() override;

    // Listens on every endpoint asked for and makes the pseudo-terminals; false with the
    // reason when one cannot be had.
    bool start(QString *error);
    // Closes every client, endpoint and pseudo-terminal (its link removed).
    void stop();

    // The metrics page as a scrape would get it now.
    QByteArray metricsPage() const { return metrics::page(m_snapshot); }

signals:
    void log(const QString &line);

private:
    enum class Kind { Raw, Scpi, Http, Pty };
    struct Client;

    bool listen(Kind kind, quint16 port, QString *error);
    bool makePty(const QString &link, QString *error);
    void accept(Kind kind, QTcpServer *server);
    void take(quint64 id);
    void takeRequests(Client &client, const QByteArray &bytes);
    void takeScpi(Client &client);
    void takeHttp(Client &client);
    void respond(Client &client, const QByteArray &response);
    void drop(quint64 id, const QString &why = QString());
    void send(Client &client, const QByteArray &bytes);
    void onReplied(quint64 id, const QByteArray &reply);
    void onReading(const readingloop::Reading &reading);
    void expireRequests();
    int clientsOf(Kind kind) const;

    ServerOptions m_options;
    InstrumentOwner *m_owner;
    metrics::Snapshot m_snapshot;
    std::vector<std::pair<Kind, QTcpServer *>> m_servers;
    std::map<quint64, std::unique_ptr<Client>> m_clients;
    quint64 m_nextId = 1;
    QTimer m_expiry;
};
