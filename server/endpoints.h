#pragma once

#include "endpoint.h"
#include "metrics.h"
#include "readingloop.h"
#include "serveroptions.h"

#include <QObject>

#include <memory>
#include <vector>

class InstrumentOwner;
class PtyEndpoint;

// What thermocal-server offers its clients, all in the main thread: the instrument's own
// protocol on TCP and on pseudo-terminals, SCPI on TCP, and the metrics page over HTTP, one
// endpoint each over one client table. Whole requests go to the instrument's owner, and its
// replies come back to the client that asked. Nothing a client sends reaches another client
// or stops the server.
class Endpoints : public QObject
{
    Q_OBJECT

public:
    Endpoints(const ServerOptions &options, InstrumentOwner *owner, const QString &port, const QString &serial,
              QObject *parent = nullptr);
    ~Endpoints() override;

    // Listens on every endpoint asked for and makes the pseudo-terminals; false with the
    // reason when one cannot be had (what was made is undone by stop()).
    bool start(QString *error);
    // Closes every client, endpoint and pseudo-terminal (its link removed).
    void stop();

    // The metrics page as a scrape would get it now.
    QByteArray metricsPage() const;

signals:
    void log(const QString &line);

private:
    template <typename Kind, typename... Arguments>
    Kind *add(Arguments &&...arguments);
    void deliver(quint64 client, const QByteArray &reply);

    ServerOptions m_options;
    InstrumentOwner *m_owner;
    ClientTable m_clients;
    std::vector<std::unique_ptr<Endpoint>> m_endpoints;
    metrics::Snapshot m_snapshot;
};
