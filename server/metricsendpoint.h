#pragma once

#include "endpoint.h"

#include <QByteArray>

#include <functional>
#include <map>

class QTimer;

// The metrics page over HTTP for Prometheus: GET and HEAD of /metrics, one request per
// connection. A connection whose request head is not whole within HeadLimitMs is closed, so
// idle connections (a port scanner, a load balancer's half-open check) cannot hold the
// endpoint's places.
class MetricsEndpoint : public TcpEndpoint
{
    Q_OBJECT

public:
    // The longest HTTP request head; a longer one gets 431 and is closed.
    static constexpr int MaxRequestBytes = 8 * 1024;
    static constexpr int HeadLimitMs = 5000;

    using Page = std::function<QByteArray()>;
    MetricsEndpoint(ClientTable &clients, InstrumentOwner *owner, Page page, QObject *parent = nullptr);

    void deliver(quint64, const QByteArray &) override {}

    // The response to a request head (up to its blank line), whole.
    static QByteArray respond(const QByteArray &head, const QByteArray &page);

protected:
    void accepted(quint64 client) override;
    void readable(quint64 client) override;
    void closed(quint64 client) override;
    qint64 readBufferBytes() const override { return MaxRequestBytes + 1; }

private:
    struct Client
    {
        QByteArray input;
        bool answered = false;  // the response is on its way; what comes is dropped
        QTimer *deadline = nullptr;
    };

    void answer(quint64 id, Client &client, const QByteArray &response);

    Page m_page;
    std::map<quint64, Client> m_requests;
};
