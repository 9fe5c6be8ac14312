#include "instrumentowner.h"

#include "protocol.h"
#include "schedule.h"

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
    connect(m_loop, &readingloop::Loop::stateChanged, this,
            [this](readingloop::State state) { emit stateChanged(state); });
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
}

scpi::Outcome InstrumentOwner::exchange(readingloop::Turn &turn, const QByteArray &request, bool mayWrite)
{
    scpi::Outcome outcome;
    if (turn.expired()) {
        outcome.error = turn.exchange(request).error();
        return outcome;
    }
    const std::optional<protocol::Command> command = protocol::commandOf(quint8(request.at(0)));
    if (command && protocol::isWrite(*command) && (!mayWrite || !m_right.claim(turn.client(), nowMs()))) {
        outcome.refused = true;
        const QString code = QString::fromLatin1(request.left(1).toHex());
        emit log(mayWrite ? QStringLiteral("client %1: write %2 dropped: another client holds the right to write")
                                .arg(turn.client())
                                .arg(code)
                          : QStringLiteral("client %1: write %2 dropped: writes need --allow-writes").arg(turn.client()).arg(code));
        emit writeRefused();
        return outcome;
    }
    const readingloop::ExchangeResult result = turn.exchange(request);
    outcome.ok = result.ok();
    outcome.reply = result.reply;
    outcome.error = result.error();
    return outcome;
}

void InstrumentOwner::request(quint64 client, const QByteArray &request, bool local)
{
    const bool mayWrite = local || m_allowNetworkWrites;
    const bool queued = m_loop->submit(client, [this, request, mayWrite](readingloop::Turn &turn) {
        const scpi::Outcome outcome = exchange(turn, request, mayWrite);
        emit replied(turn.client(), outcome.ok ? outcome.reply : QByteArray());
    });
    if (!queued)
        emit replied(client, QByteArray());
}

std::shared_ptr<scpi::Session> InstrumentOwner::newSession() const
{
    return std::make_shared<scpi::Session>(m_identity, m_allowNetworkWrites);
}

void InstrumentOwner::scpiLine(quint64 client, const QString &line, const std::shared_ptr<scpi::Session> &session)
{
    // The job holds the session too: a client that goes while its line runs leaves it whole
    // until the line is done.
    const bool queued = m_loop->submit(client, [this, line, session](readingloop::Turn &turn) {
        // The session has refused a write without --allow-writes already; what reaches
        // the instrument is a write it has let through.
        const scpi::Exchange exchangeOnTurn = [this, &turn](const QByteArray &request, int) {
            return exchange(turn, request, true);
        };
        emit scpiReplied(turn.client(), session->handle(line, exchangeOnTurn));
    });
    if (!queued)
        emit scpiReplied(client, QString());
}

void InstrumentOwner::clientGone(quint64 client)
{
    m_loop->cancel(client);
    // On the loop's thread, after the client's job in progress, if any, has ended.
    QMetaObject::invokeMethod(
        this,
        [this, client] { m_right.release(client); },
        Qt::QueuedConnection);
}
