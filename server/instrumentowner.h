#pragma once

#include "readingloop.h"
#include "scpisession.h"
#include "writeright.h"

#include <QObject>

#include <memory>

// The server's side of the instrument: the reading loop that owns its port, and what the
// server adds to each client's requests before the loop sends them (the right to write,
// the SCPI session's exchanges). It lives on the loop's thread; request(), newSession(),
// scpiLine() and clientGone() may be called from any thread. Every exchange, a client's or a scheduled reading, goes
// through the loop, one whole exchange at a time, and a reply goes only to the client that
// asked.
class InstrumentOwner : public QObject
{
    Q_OBJECT

public:
    InstrumentOwner(const reconnect::Target &target, const readingloop::Options &options, const QString &identity,
                    bool allowNetworkWrites, QObject *parent = nullptr);
    ~InstrumentOwner() override;

    // Asks the owner to end as soon as it can, from any thread.
    void requestStop();

    // A whole request of the instrument's protocol from `client`; replied() follows once,
    // unless the client goes first. `local`: through a pseudo-terminal, guarded by its file
    // permissions rather than by --allow-writes.
    void request(quint64 client, const QByteArray &request, bool local);
    // A SCPI session for a new client, with the server's identity and its --allow-writes.
    std::shared_ptr<scpi::Session> newSession() const;
    // One SCPI line from `client` for its `session`, which its connection holds and only the
    // loop's thread touches; scpiReplied() follows once, unless the client goes first.
    void scpiLine(quint64 client, const QString &line, const std::shared_ptr<scpi::Session> &session);
    // The client has gone: what it still had waiting is dropped, and any right to write it
    // held is let go.
    void clientGone(quint64 client);

public slots:
    void start();
    void finish();

signals:
    // The reply to a request: empty when the instrument gave none (a write, or no answer).
    void replied(quint64 client, const QByteArray &reply);
    // The reply line to a SCPI line, without its line break; empty when it held no query.
    void scpiReplied(quint64 client, const QString &line);
    void reading(const readingloop::Reading &reading);
    void stateChanged(readingloop::State state);
    // A write refused: without --allow-writes, or while another client holds the right.
    void writeRefused();
    // A line for the server's log: a port that went or came back, a write refused.
    void log(const QString &line);

private:
    scpi::Outcome exchange(readingloop::Turn &turn, const QByteArray &request, bool mayWrite);

    readingloop::Loop *m_loop;
    QString m_identity;
    bool m_allowNetworkWrites;
    // Touched only on the loop's thread.
    WriteRight m_right;
};
