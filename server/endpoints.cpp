#include "endpoints.h"

#include "instrumentowner.h"
#include "metricsendpoint.h"
#include "ptyendpoint.h"
#include "rawendpoint.h"
#include "scpiendpoint.h"

Endpoints::Endpoints(const ServerOptions &options, InstrumentOwner *owner, const QString &port, const QString &serial,
                     QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_owner(owner)
{
    m_snapshot.port = port;
    m_snapshot.serial = serial;
    m_snapshot.version = QStringLiteral(THERMOCAL_VERSION);
    // Queued even when the owner answers from this thread (a request it could not queue),
    // so a reply never reaches an endpoint in the middle of its own reading.
    connect(owner, &InstrumentOwner::replied, this, &Endpoints::deliver, Qt::QueuedConnection);
    connect(
        owner, &InstrumentOwner::scpiReplied, this,
        [this](quint64 client, const QString &line) { deliver(client, line.toUtf8()); }, Qt::QueuedConnection);
    connect(
        owner, &InstrumentOwner::reading, this, [this](const readingloop::Reading &reading) { m_snapshot.take(reading); },
        Qt::QueuedConnection);
    connect(
        owner, &InstrumentOwner::stateChanged, this,
        [this](readingloop::State state) {
            // A port that went is news before the next reading would tell it.
            if (state == readingloop::State::Disconnected)
                m_snapshot.lose();
        },
        Qt::QueuedConnection);
    connect(
        owner, &InstrumentOwner::writeRefused, this, [this] { ++m_snapshot.refusedWrites; }, Qt::QueuedConnection);
}

Endpoints::~Endpoints()
{
    stop();
}

template <typename Kind, typename... Arguments>
Kind *Endpoints::add(Arguments &&...arguments)
{
    auto endpoint = std::make_unique<Kind>(m_clients, m_owner, std::forward<Arguments>(arguments)...);
    Kind *added = endpoint.get();
    connect(added, &Endpoint::log, this, &Endpoints::log);
    m_endpoints.push_back(std::move(endpoint));
    return added;
}

bool Endpoints::start(QString *error)
{
    if ((m_options.raw && !add<RawEndpoint>()->listen(m_options.listen, m_options.raw, error))
        || (m_options.scpi && !add<ScpiEndpoint>()->listen(m_options.listen, m_options.scpi, error))
        || (m_options.metrics
            && !add<MetricsEndpoint>([this] { return metricsPage(); })->listen(m_options.listen, m_options.metrics, error)))
        return false;
    if (!m_options.ptys.isEmpty()) {
        PtyEndpoint *ptys = add<PtyEndpoint>();
        for (const QString &link : qAsConst(m_options.ptys)) {
            if (!ptys->open(link, m_options.ptyMode, error))
                return false;
        }
    }
    return true;
}

void Endpoints::stop()
{
    for (const auto &endpoint : m_endpoints)
        endpoint->stop();
    m_endpoints.clear();
}

void Endpoints::deliver(quint64 client, const QByteArray &reply)
{
    if (Endpoint *endpoint = m_clients.endpointOf(client))
        endpoint->deliver(client, reply);
}

QByteArray Endpoints::metricsPage() const
{
    metrics::Snapshot snapshot = m_snapshot;
    for (const auto &endpoint : m_endpoints)
        snapshot.endpoints.push_back({endpoint->label(), endpoint->clients(), endpoint->requests()});
    return metrics::page(snapshot);
}
