#include "ptyendpoint.h"

#include "instrumentowner.h"
#include "pseudoterminal.h"

#include <QSocketNotifier>

// A client on a terminal: the terminal, its requests' framer and how many are in flight,
// and what tells when it has bytes to read.
struct PtyEndpoint::Terminal : Connection
{
    Terminal(quint64 id, std::unique_ptr<PseudoTerminal> opened)
        : Connection(id, Writes::ByPermissions)
        , pty(std::move(opened))
    {
    }

    const std::unique_ptr<PseudoTerminal> pty;
    RequestStream stream;
    std::unique_ptr<QSocketNotifier> notifier;  // goes before the terminal it watches
};

PtyEndpoint::PtyEndpoint(ClientTable &clients, InstrumentOwner *owner, QObject *parent)
    : Endpoint(QStringLiteral("pty"), QStringLiteral("pty"), clients, owner, parent)
{
    m_expiry.setInterval(RequestStream::ExpiryCheckMs);
    connect(&m_expiry, &QTimer::timeout, this, &PtyEndpoint::expire);
    m_expiry.start();
}

PtyEndpoint::~PtyEndpoint()
{
    stop();
}

bool PtyEndpoint::open(const QString &link, int mode, QString *error)
{
    // The client's number is taken only once its terminal is there.
    auto pty = std::make_unique<PseudoTerminal>();
    if (!pty->open(link, mode, error))
        return false;
    const quint64 id = m_clients.add(this);
    auto terminal = std::make_unique<Terminal>(id, std::move(pty));
    terminal->notifier = std::make_unique<QSocketNotifier>(terminal->pty->descriptor(), QSocketNotifier::Read);
    connect(terminal->notifier.get(), &QSocketNotifier::activated, this, [this, id] { readable(id); });
    m_terminals.emplace(id, std::move(terminal));
    return true;
}

void PtyEndpoint::readable(quint64 client)
{
    const auto found = m_terminals.find(client);
    if (found == m_terminals.end())
        return;
    Terminal &terminal = *found->second;
    const QStringList dropped = terminal.stream.pump(
        [&terminal](qint64 maxBytes) {
            QByteArray bytes(int(maxBytes), Qt::Uninitialized);
            bytes.resize(int(qMax<qint64>(0, terminal.pty->read(bytes.data(), maxBytes))));
            return bytes;
        },
        [this, &terminal](const QByteArray &request) {
            counted();
            m_owner->request(terminal.id(), request, terminal.local());
        },
        RequestStream::nowMs());
    for (const QString &line : dropped)
        emit log(QStringLiteral("client %1: %2").arg(client).arg(line));
    // While the client has its fill in flight, its bytes wait in the terminal.
    terminal.notifier->setEnabled(terminal.stream.wantsInput());
}

void PtyEndpoint::deliver(quint64 client, const QByteArray &reply)
{
    const auto found = m_terminals.find(client);
    if (found == m_terminals.end())
        return;
    found->second->stream.answered();
    if (!reply.isEmpty())
        found->second->pty->write(reply);
    readable(client);
}

void PtyEndpoint::stop()
{
    while (!m_terminals.empty()) {
        const quint64 id = m_terminals.begin()->first;
        m_terminals.erase(m_terminals.begin());
        forget(id);
    }
}

void PtyEndpoint::expire()
{
    const qint64 now = RequestStream::nowMs();
    for (auto &entry : m_terminals) {
        for (const QString &line : entry.second->stream.expire(now))
            emit log(QStringLiteral("client %1: %2").arg(entry.first).arg(line));
    }
}
