#include "readingloop.h"

#include "device.h"
#include "portdiscovery.h"
#include "portname.h"
#include "ports.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QIODevice>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace readingloop {

namespace {

constexpr qint64 NsPerMs = 1000000;

std::optional<float> finite(std::optional<float> value)
{
    return value && std::isfinite(*value) ? value : std::nullopt;
}

int registerTypes()
{
    qRegisterMetaType<Reading>();
    qRegisterMetaType<State>();
    qRegisterMetaType<End>();
    return 0;
}

} // namespace

QString lostMessage(const QString &port, const QString &reason, bool lookingAgain)
{
    QString line = QCoreApplication::translate("readingloop", "%1: connection lost").arg(port);
    if (!reason.isEmpty())
        line += QStringLiteral(" (%1)").arg(reason);
    if (lookingAgain)
        line += QCoreApplication::translate("readingloop", "; looking for it once a second");
    return line;
}

QString reconnectedMessage(const QString &port)
{
    return QCoreApplication::translate("readingloop", "%1: reconnected").arg(port);
}

Reading makeReading(qint64 utcMs, qint64 monotonicMs, std::optional<float> voltage,
                    std::optional<float> temperature, protocol::LinkFailure failure)
{
    Reading reading;
    reading.utcMs = utcMs;
    reading.monotonicMs = monotonicMs;
    reading.failure = failure;
    if (failure == protocol::LinkFailure::None && voltage && temperature) {
        reading.voltage = finite(voltage);
        reading.temperature = finite(temperature);
    } else if (failure == protocol::LinkFailure::None) {
        // Both exchanges succeeding means both values came; anything else is a failure.
        reading.failure = protocol::LinkFailure::NoAnswer;
    }
    return reading;
}

ExchangeResult Turn::exchange(const QByteArray &request)
{
    if (m_expired) {
        ExchangeResult result;
        result.expired = true;
        return result;
    }
    return m_loop.clientExchange(request);
}

Loop::Loop(const reconnect::Target &target, const Options &options, QObject *parent)
    : QObject(parent)
    , m_target(target)
    , m_options(options)
    , m_schedule(options.intervalNs, monotonicNs())
    , m_due(new QTimer(this))
    , m_retry(new QTimer(this))
{
    static const int registered = registerTypes();
    Q_UNUSED(registered)
    m_due->setSingleShot(true);
    m_due->setTimerType(Qt::PreciseTimer);
    connect(m_due, &QTimer::timeout, this, &Loop::takeReading);
    m_retry->setInterval(reconnect::RetryIntervalMs);
    connect(m_retry, &QTimer::timeout, this, &Loop::tryReconnect);
}

Loop::~Loop() = default;

void Loop::setPort(std::unique_ptr<ports::Port> port)
{
    m_port = std::move(port);
    if (m_port)
        m_port->closeOnFatalError();
}

bool Loop::openPort(const QString &name)
{
    m_port.reset();
    portname::Opened opened = portname::open(name, &m_stopRequested);
    m_openFailure = opened.reason;
    if (!opened.port)
        return false;
    setPort(std::move(opened.port));
    return true;
}

void Loop::start()
{
    m_schedule = ReadingSchedule(m_options.intervalNs, monotonicNs());
    if (endIfStopped())
        return;
    if ((m_port && m_port->isOpen()) || openPort(m_target.name))
        scheduleNext();
    else
        lose(QDateTime::currentMSecsSinceEpoch(), m_openFailure);
}

void Loop::finish()
{
    m_stopRequested = true;
    end(End::Stopped);
}

bool Loop::endIfStopped()
{
    if (m_stopRequested)
        end(End::Stopped);
    return m_ended;
}

void Loop::end(End why)
{
    if (m_ended)
        return;
    m_ended = true;
    m_due->stop();
    m_retry->stop();
    {
        // Requests still waiting are dropped with the loop: nothing will send them.
        QMutexLocker locker(&m_queueMutex);
        m_accepting = false;
        m_queue.clear();
    }
    if (m_port && m_port->isOpen())
        m_port->close();
    emit finished(why);
}

void Loop::scheduleNext()
{
    if (endIfStopped())
        return;
    if (m_options.count > 0 && m_taken >= m_options.count) {
        end(End::Count);
        return;
    }
    const qint64 now = monotonicNs();
    m_dueNs = m_schedule.next(now);
    // Timers count in whole milliseconds; the due time is rounded up so a reading never
    // comes early.
    m_due->start(int(std::max<qint64>(0, (m_dueNs - now + NsPerMs - 1) / NsPerMs)));
}

void Loop::takeDueReading()
{
    if (m_due->isActive() && monotonicNs() >= m_dueNs) {
        m_due->stop();
        takeReading();
    }
}

void Loop::waitForPacing()
{
    for (;;) {
        const qint64 leftNs = m_quietUntilNs - monotonicNs();
        if (leftNs <= 0 || m_stopRequested)
            return;
        QThread::msleep(ulong(std::min<qint64>(StopCheckMs, (leftNs + NsPerMs - 1) / NsPerMs)));
    }
}

bool Loop::submit(quint64 client, Job job, int deadlineMs)
{
    QMutexLocker locker(&m_queueMutex);
    if (!m_accepting || !m_queue.push({client, monotonicNs() / NsPerMs + deadlineMs, std::move(job)}))
        return false;
    if (!m_runPosted) {
        m_runPosted = true;
        QMetaObject::invokeMethod(this, &Loop::runNextRequest, Qt::QueuedConnection);
    }
    return true;
}

void Loop::cancel(quint64 client)
{
    QMutexLocker locker(&m_queueMutex);
    m_queue.cancel(client);
}

// One request per event, so that the loop's own events (a due reading, a stop, a client
// that went) come between two requests rather than behind the whole queue.
void Loop::runNextRequest()
{
    std::optional<RequestQueue::Entry> entry;
    {
        QMutexLocker locker(&m_queueMutex);
        m_runPosted = false;
        entry = m_queue.take();
    }
    if (endIfStopped())
        return;
    if (entry) {
        Turn turn(*this, entry->client, monotonicNs() / NsPerMs > entry->deadlineMs);
        entry->job(turn);
    }
    QMutexLocker locker(&m_queueMutex);
    if (m_accepting && !m_runPosted && !m_queue.isEmpty()) {
        m_runPosted = true;
        QMetaObject::invokeMethod(this, &Loop::runNextRequest, Qt::QueuedConnection);
    }
}

ExchangeResult Loop::clientExchange(const QByteArray &request)
{
    ExchangeResult result;
    const std::optional<protocol::Command> command
        = request.isEmpty() ? std::nullopt : protocol::commandOf(quint8(request.at(0)));
    if (!command || request.size() != protocol::requestLength(*command)) {
        result.failure = protocol::LinkFailure::WriteFailed;
        return result;
    }
    if (!m_stopRequested && !m_ended)
        takeDueReading();
    waitForPacing();
    if (m_stopRequested || m_ended || !m_port || !m_port->isOpen()) {
        result.failure = protocol::LinkFailure::NotConnected;
        return result;
    }
    protocol::Link link(m_port.get());
    if (protocol::replyLength(*command) > 0) {
        const std::optional<QVector<float>> values = link.query(*command);
        for (float value : values.value_or(QVector<float>()))
            protocol::appendFloat(result.reply, value);
    } else {
        link.plainSend(request);
        // The instrument digests a write before it takes the next request: nothing else
        // reaches it meanwhile, neither a client nor a scheduled reading. The commit goes
        // as the window sends it, with no wait.
        if (link.failure() == protocol::LinkFailure::None && *command != protocol::Command::CommitEeprom)
            m_quietUntilNs = monotonicNs() + qint64(protocol::WritePacingMs) * NsPerMs;
    }
    result.failure = link.failure();
    switch (result.failure) {
    case protocol::LinkFailure::None:
        break;
    case protocol::LinkFailure::NoAnswer:
    case protocol::LinkFailure::WriteFailed:
        // A late reply must not meet the next request, whoever sends it.
        settle();
        break;
    case protocol::LinkFailure::ConnectionLost:
    case protocol::LinkFailure::NotConnected:
        // A port lost to a client's exchange is lost to the readings too: the same state,
        // notice and search for it again.
        lose(QDateTime::currentMSecsSinceEpoch(), m_port->device().errorString());
        return result;
    }
    // The drain may have closed a port that went away meanwhile, or its close may still be
    // on its way.
    if (!m_port->isOpen() || m_port->isLost())
        lose(QDateTime::currentMSecsSinceEpoch(), m_port->device().errorString());
    return result;
}

void Loop::takeReading()
{
    if (endIfStopped())
        return;
    const qint64 utcMs = QDateTime::currentMSecsSinceEpoch();
    const qint64 monotonicMs = monotonicNs() / NsPerMs;
    // A port closed since the last reading was closed at its fatal error: it went away.
    const bool gone = m_port && !m_port->isOpen();
    if (!gone)
        waitForPacing();
    protocol::Link link(m_port.get());
    const device::Reading answer = gone ? device::Reading() : device::readLive(link);
    const protocol::LinkFailure failure = gone ? protocol::LinkFailure::ConnectionLost : link.failure();
    ++m_taken;
    emit reading(makeReading(utcMs, monotonicMs, answer.voltage, answer.temperature, failure));
    if (m_ended)
        return;
    switch (failure) {
    case protocol::LinkFailure::None:
        setState(State::Reading, utcMs);
        break;
    case protocol::LinkFailure::NoAnswer:
    case protocol::LinkFailure::WriteFailed:
        setState(State::NoAnswer, utcMs);
        settle();
        break;
    case protocol::LinkFailure::ConnectionLost:
    case protocol::LinkFailure::NotConnected:
        lose(utcMs, m_port ? m_port->device().errorString() : QString());
        return;
    }
    // The drain may have closed a port that went away meanwhile.
    if (!m_port || !m_port->isOpen()) {
        lose(QDateTime::currentMSecsSinceEpoch(), m_port ? m_port->device().errorString() : QString());
        return;
    }
    scheduleNext();
}

void Loop::settle()
{
    if (m_port)
        device::settle(*m_port, SettleLimitMs, &m_stopRequested);
}

void Loop::lose(qint64 utcMs, const QString &reason)
{
    m_due->stop();
    if (m_port && m_port->isOpen())
        m_port->close();
    const bool wasLost = m_state == State::Disconnected;
    setState(State::Disconnected, utcMs);
    if (!wasLost)
        emit notice(lostMessage(m_target.name, reason, m_options.reconnect && !m_stopRequested));
    if (!m_options.reconnect) {
        end(End::Lost);
        return;
    }
    if (endIfStopped())
        return;
    m_retry->start();
}

void Loop::tryReconnect()
{
    if (endIfStopped())
        return;
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
        setState(State::Reading, QDateTime::currentMSecsSinceEpoch());
        emit notice(reconnectedMessage(name));
        scheduleNext();
        return;
    }
}

void Loop::setState(State state, qint64 utcMs)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state, m_target.name, utcMs);
}

} // namespace readingloop
