#include "instrumentowner.h"

#include "device.h"
#include "ports.h"
#include "protocol.h"
#include "schedule.h"

#include <QThread>

namespace {

constexpr qint64 NsPerMs = 1000000;

qint64 nowMs()
{
    return monotonicNs() / NsPerMs;
}

} // namespace

InstrumentOwner::InstrumentOwner(const reconnect::Target &target, const readingloop::Options &options,
                                 const QString &identity, bool allowNetworkWrites, QObject *parent)
    : QObject(parent)
    , m_loop(new readingloop::Loop(target, options, this))
    , m_identity(identity)
    , m_allowNetworkWrites(allowNetworkWrites)
{
    connect(m_loop, &readingloop::Loop::reading, this, &InstrumentOwner::reading);
    connect(m_loop, &readingloop::Loop::notice, this, &InstrumentOwner::log);
}

InstrumentOwner::~InstrumentOwner() = default;

void InstrumentOwner::requestStop()
{
    m_loop->requestStop();
}

void InstrumentOwner::start()
{
    m_loop->start();
}

void InstrumentOwner::finish()
{
    m_loop->finish();
    m_sessions.clear();
}

scpi::Outcome InstrumentOwner::exchange(quint64 client, const QByteArray &request, int replyLength, bool mayWrite)
{
    scpi::Outcome outcome;
    const std::optional<protocol::Command> command = protocol::commandOf(quint8(request.at(0)));
    if (!command) {
        outcome.error = QStringLiteral("not a request");
        return outcome;
    }
    const bool writing = protocol::isWrite(*command);
    if (writing && (!mayWrite || !m_right.claim(client, nowMs()))) {
        outcome.refused = true;
        emit log(mayWrite ? QStringLiteral("client %1: write %2 dropped: another client holds the right to write")
                                .arg(client)
                                .arg(QString::fromLatin1(request.left(1).toHex()))
                          : QStringLiteral("client %1: write %2 dropped: writes need --allow-writes")
                                .arg(client)
                                .arg(QString::fromLatin1(request.left(1).toHex())));
        return outcome;
    }
    ports::Port *port = m_loop->port();
    protocol::Link link(port);
    if (replyLength > 0) {
        const std::optional<QVector<float>> values = link.query(*command);
        for (float value : values.value_or(QVector<float>()))
            protocol::appendFloat(outcome.reply, value);
    } else {
        link.plainSend(request);
        // The instrument digests a write before it takes the next request: nothing else
        // reaches it meanwhile, neither a client nor a scheduled reading. The commit goes
        // as the window sends it, with no wait.
        if (*command != protocol::Command::CommitEeprom && link.failure() == protocol::LinkFailure::None)
            QThread::msleep(protocol::WritePacingMs);
    }
    outcome.ok = link.failure() == protocol::LinkFailure::None;
    outcome.error = protocol::message(link.failure());
    // A late reply must not meet the next client's request.
    if (link.failure() == protocol::LinkFailure::NoAnswer && port)
        device::settle(*port, readingloop::SettleLimitMs);
    return outcome;
}

void InstrumentOwner::request(quint64 client, const QByteArray &request, bool local)
{
    const std::optional<protocol::Command> command = protocol::commandOf(quint8(request.at(0)));
    const int replyLength = command ? protocol::replyLength(*command) : 0;
    const scpi::Outcome outcome = exchange(client, request, replyLength, local || m_allowNetworkWrites);
    emit replied(client, outcome.ok ? outcome.reply : QByteArray());
}

void InstrumentOwner::scpiLine(quint64 client, const QString &line)
{
    auto &session = m_sessions[client];
    if (!session) {
        session = std::make_unique<scpi::Session>(m_identity, m_allowNetworkWrites,
                                                  [this, client](const QByteArray &request, int replyLength) {
                                                      return exchange(client, request, replyLength, true);
                                                  });
    }
    emit scpiReplied(client, session->handle(line));
}

void InstrumentOwner::clientGone(quint64 client)
{
    m_right.release(client);
    m_sessions.erase(client);
}
