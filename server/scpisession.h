#pragma once

#include "commandset.h"
#include "scpi.h"
#include "status.h"

#include <QByteArray>
#include <QString>

#include <functional>

// The instrument as lab frameworks reach it through the server: SCPI over a socket, the
// replies to the queries of one line joined by ';' on one line.
namespace scpi {

// What the session needs of the instrument: one exchange, a request and the reply's length.
// The reply, or failed with the reason; `refused` when another client holds the right to
// write.
struct Outcome
{
    bool ok = false;
    bool refused = false;
    QByteArray reply;
    QString error;
};
using Exchange = std::function<Outcome(const QByteArray &request, int replyLength)>;

// One client's SCPI conversation: its status (error queue and registers), and each line
// turned into exchanges with the instrument and a reply line, through the instrument's
// command table beside the common commands.
class Session
{
public:
    // `identity`: the *IDN? reply; `allowWrites`: whether the writing commands are taken.
    Session(const QString &identity, bool allowWrites);
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // The reply to one line, without its line break, the instrument reached through
    // `exchange`; empty when the line held no query.
    QString handle(const QString &line, const Exchange &exchange);
    const ErrorQueue &errors() const { return m_status.errors(); }
    quint8 statusByte() const { return m_status.statusByte(); }

private:
    QVector<Row> instrumentRows();
    QString readValues(quint8 code, int count);
    void write(const Command &command, quint8 writeCode, quint8 readCode, int count);
    bool exchange(const QByteArray &request, int replyLength, QByteArray *reply);

    bool m_allowWrites;
    const Exchange *m_exchange = nullptr;  // the line's, while it runs
    Status m_status;
    CommandSet m_commands;
};

} // namespace scpi
