#pragma once

#include "endpoint.h"
#include "requeststream.h"

#include <QTimer>

#include <map>
#include <memory>

class PseudoTerminal;
class QSocketNotifier;

// The instrument's own protocol on pseudo-terminals, one client each, for the window and
// any program that only opens serial ports. Guarded by the terminal's file permissions, so
// its writes need no --allow-writes.
class PtyEndpoint : public Endpoint
{
    Q_OBJECT

public:
    PtyEndpoint(ClientTable &clients, InstrumentOwner *owner, QObject *parent = nullptr);
    ~PtyEndpoint() override;

    // Makes the terminal and the link to it; false with the reason when it cannot be had.
    bool open(const QString &link, int mode, QString *error);
    void deliver(quint64 client, const QByteArray &reply) override;
    // Closes every terminal and removes its link.
    void stop() override;

private:
    struct Terminal;
    void readable(quint64 client);
    void expire();

    std::map<quint64, std::unique_ptr<Terminal>> m_terminals;  // one connection per client
    QTimer m_expiry;
};
