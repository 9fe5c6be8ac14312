#pragma once

#include "readingloop.h"
#include "scpi.h"
#include "writeright.h"

#include <QObject>

#include <map>
#include <memory>

// The one owner of the instrument's port, in a thread of its own: the reading loop's
// scheduled readings and every client's exchanges take their turn on it, one whole exchange
// at a time (the protocol has no framing, so two exchanges must never interleave). After
// each of the three writes the instrument is kept to itself for its pacing. A reply goes
// only to the client that asked.
class InstrumentOwner : public QObject
{
    Q_OBJECT

public:
    InstrumentOwner(const reconnect::Target &target, const readingloop::Options &options, const QString &identity,
                    bool allowNetworkWrites, QObject *parent = nullptr);
    ~InstrumentOwner() override;

    // Asks the owner to end as soon as it can, from any thread.
    void requestStop();

public slots:
    void start();
    void finish();
    // A whole request of the instrument's protocol from `client`. `local`: through a
    // pseudo-terminal, guarded by its file permissions rather than by --allow-writes.
    void request(quint64 client, const QByteArray &request, bool local);
    void scpiLine(quint64 client, const QString &line);
    void clientGone(quint64 client);

signals:
    // The reply to a request: empty when the instrument gave none (a write, or no answer).
    void replied(quint64 client, const QByteArray &reply);
    void scpiReplied(quint64 client, const QString &line);
    void reading(const readingloop::Reading &reading);
    // A line for the server's log: a port that went or came back, a write refused.
    void log(const QString &line);

private:
    scpi::Outcome exchange(quint64 client, const QByteArray &request, int replyLength, bool mayWrite);

    readingloop::Loop *m_loop;
    QString m_identity;
    bool m_allowNetworkWrites;
    WriteRight m_right;
    std::map<quint64, std::unique_ptr<scpi::Session>> m_sessions;
};
