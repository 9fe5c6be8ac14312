#pragma once

#include "endpoint.h"

#include <QByteArray>

#include <functional>

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
    std::unique_ptr<TcpConnection> connection(quint64 client, QTcpSocket *socket) override;
    void readable(TcpConnection &connection) override;
    qint64 readBufferBytes() const override { return MaxRequestBytes + 1; }

private:
    // A client and its request: the head so far, and the deadline for it (then for the
    // client to close after the response).
    struct Client : TcpConnection
    {
        Client(quint64 id, QTcpSocket *socket, QTimer *deadline);
        // The deadline may be what closes the client: it goes once its signal is done.
        ~Client() override;

        QByteArray input;
        bool answered = false;  // the response is on its way; what comes is dropped
        QTimer *const deadline;
    };

    void answer(Client &client, const QByteArray &response);

    Page m_page;
};
