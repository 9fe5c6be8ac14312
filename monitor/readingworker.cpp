#include "readingworker.h"

#include "device.h"
#include "portname.h"
#include "ports.h"
#include "protocol.h"

#include <QDateTime>
#include <QFileInfo>
#include <QIODevice>
#include <QTimer>

#include <algorithm>

namespace {

// How long, after a reading without an answer, late bytes may take to arrive and be dropped
// before the next request; the same as thermocal-cli read allows.
constexpr int SettleLimitMs = 1000;
constexpr qint64 NsPerMs = 1000000;

} // namespace

ReadingWorker::ReadingWorker(int instrument, const reconnect::Target &target, qint64 intervalNs, QObject *parent)
    : QObject(parent)
    , m_instrument(instrument)
    , m_target(target)
    , m_schedule(intervalNs, monotonicNs())
{
}

ReadingWorker::~ReadingWorker() = default;

QString ReadingWorker::recordedName() const
{
    return m_target.name;
}

// The one place a port is opened, so that every kind of port the instrument module can open
// reaches the monitor through here.
bool ReadingWorker::openPort(const QString &name)
{
    m_port.reset();
    portname::Opened opened = portname::open(name);
    if (!opened.port)
        return false;
    m_port = std::move(opened.port);
    m_port->closeOnFatalError();
    return true;
}

void ReadingWorker::start()
{
    m_due = new QTimer(this);
    m_due->setSingleShot(true);
    m_due->setTimerType(Qt::PreciseTimer);
    connect(m_due, &QTimer::timeout, this, &ReadingWorker::takeReading);
    m_retry = new QTimer(this);
    m_retry->setInterval(reconnect::RetryIntervalMs);
    connect(m_retry, &QTimer::timeout, this, &ReadingWorker::tryReconnect);
    m_schedule = ReadingSchedule(m_schedule.intervalNs(), monotonicNs());
    if (openPort(m_target.name)) {
        scheduleNext();
    } else {
        lose(QDateTime::currentMSecsSinceEpoch());
    }
}

void ReadingWorker::finish()
{
    if (m_due)
        m_due->stop();
    if (m_retry)
        m_retry->stop();
    if (m_port && m_port->isOpen())
        m_port->close();
}

void ReadingWorker::scheduleNext()
{
    const qint64 now = monotonicNs();
    const qint64 due = m_schedule.next(now);
    // Timers count in whole milliseconds; the due time is rounded up so a reading never
    // comes early.
    m_due->start(int(std::max<qint64>(0, (due - now + NsPerMs - 1) / NsPerMs)));
}

void ReadingWorker::takeReading()
{
    const qint64 utcMs = QDateTime::currentMSecsSinceEpoch();
    protocol::Link link(m_port.get());
    const device::Reading answer = device::readLive(link);
    MonitorReading taken{m_instrument, recordedName(), utcMs, answer.voltage, answer.temperature};
    if (!answer.voltage || !answer.temperature) {
        taken.voltage.reset();
        taken.temperature.reset();
    }
    emit reading(taken);
    switch (link.failure()) {
    case protocol::LinkFailure::None:
        setState(PortState::Reading, utcMs);
        break;
    case protocol::LinkFailure::NoAnswer:
    case protocol::LinkFailure::WriteFailed:
        setState(PortState::NoAnswer, utcMs);
        device::settle(*m_port, SettleLimitMs);
        break;
    case protocol::LinkFailure::ConnectionLost:
    case protocol::LinkFailure::NotConnected:
        lose(utcMs);
        return;
    }
    // The drain may have closed a port that went away meanwhile.
    if (!m_port->isOpen()) {
        lose(QDateTime::currentMSecsSinceEpoch());
        return;
    }
    scheduleNext();
}

void ReadingWorker::lose(qint64 utcMs)
{
    if (m_port && m_port->isOpen())
        m_port->close();
    setState(PortState::Disconnected, utcMs);
    m_retry->start();
}

void ReadingWorker::tryReconnect()
{
    const QList<portdiscovery::Port> present
        = m_target.named ? QList<portdiscovery::Port>() : portdiscovery::availablePorts();
    for (const QString &name : reconnect::candidates(m_target, present)) {
        // A named port that is a missing file or link is not there yet: no need to try.
        if (m_target.named && !portname::isUrl(name) && name.contains(QLatin1Char('/')) && !QFileInfo::exists(name))
            continue;
        if (!openPort(name))
            continue;
        m_retry->stop();
        m_target.name = name;
        setState(PortState::Reading, QDateTime::currentMSecsSinceEpoch());
        scheduleNext();
        return;
    }
}

void ReadingWorker::setState(PortState state, qint64 utcMs)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(m_instrument, state, recordedName(), utcMs);
}
