#include "monitorsession.h"

#include "numbers.h"
#include "portdiscovery.h"
#include "streams.h"

#include <QDateTime>
#include <QThread>

namespace {

constexpr int AlarmClockMs = 500;        // alarms for lost readings are checked, and the recording synced, this often
constexpr double NsPerSecond = 1e9;
constexpr qint64 NsPerMs = 1000000;
using numbers::MsPerSecond;
constexpr int JoinIntervals = 2;         // readings further apart than this many intervals are not joined
constexpr int JoinSlackMs = 100;

alarms::Stamp stampNow()
{
    return {monotonicNs() / NsPerMs, QDateTime::currentMSecsSinceEpoch()};
}

void errLine(const QString &message)
{
    frontend::message(message);
}

} // namespace

MonitorSession::MonitorSession(const MonitorOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    m_discovery.setInterval(reconnect::RetryIntervalMs);
    connect(&m_discovery, &QTimer::timeout, this, &MonitorSession::lookForInstruments);
    m_alarmClock.setInterval(AlarmClockMs);
    connect(&m_alarmClock, &QTimer::timeout, this, &MonitorSession::checkAlarms);
    connect(&m_recording, &RecordingThread::failed, this, &MonitorSession::recordingFailed);
}

MonitorSession::~MonitorSession()
{
    stop();
}

void MonitorSession::start()
{
    if (m_options.ports.isEmpty()) {
        lookForInstruments();
        m_discovery.start();
    } else {
        for (const QString &name : qAsConst(m_options.ports))
            addInstrument(reconnect::namedPort(name));
    }
    if (!m_options.recordPath.isEmpty())
        startRecording(m_options.recordPath);
    m_alarmClock.start();
}

void MonitorSession::stop()
{
    m_discovery.stop();
    m_alarmClock.stop();
    // Every loop is asked first, so a drain in progress ends at once in all of them.
    for (auto &one : m_instruments) {
        if (one->loop)
            one->loop->requestStop();
    }
    for (auto &one : m_instruments) {
        if (!one->thread)
            continue;
        QMetaObject::invokeMethod(one->loop, &readingloop::Loop::finish, Qt::BlockingQueuedConnection);
        one->thread->quit();
        one->thread->wait();
        // Its thread has ended, so nothing else can touch the loop now.
        delete one->loop;
        delete one->thread;
        one->thread = nullptr;
        one->loop = nullptr;
    }
    const bool recording = isRecording();
    m_recordingNumber = 0;
    const QString error = m_recording.finish();
    if (recording && !error.isEmpty())
        errLine(error);
}

void MonitorSession::addInstrument(const reconnect::Target &target)
{
    auto one = std::make_unique<Instrument>();
    one->port = target.name;
    one->serialNumber = target.serialNumber;
    const alarms::Stamp now = stampNow();
    one->sinceUtcMs = now.utcMs;
    one->alarmRule = std::make_unique<alarms::Rule>(m_options.alarms, now);
    const int index = count();
    one->thread = new QThread;
    readingloop::Options options;
    options.intervalNs = qint64(m_options.intervalSeconds * NsPerSecond);
    one->loop = new readingloop::Loop(target, options);
    one->loop->moveToThread(one->thread);
    connect(one->thread, &QThread::started, one->loop, &readingloop::Loop::start);
    connect(one->loop, &readingloop::Loop::reading, this,
            [this, index](const readingloop::Reading &reading) { onReading(index, reading); });
    connect(one->loop, &readingloop::Loop::stateChanged, this,
            [this, index](PortState state, const QString &port, qint64 sinceUtcMs) {
                onStateChanged(index, state, port, sinceUtcMs);
            });
    connect(one->loop, &readingloop::Loop::notice, this, &errLine);
    m_instruments.push_back(std::move(one));
    emit instrumentAdded(index);
    m_instruments.back()->thread->start();
}

// An instrument is followed by its serial number wherever it goes, so a name counts as
// watched only by an instrument that is followed by that name: another instrument plugged
// in under the name of one that went away is a new instrument.
bool MonitorSession::isWatched(const portdiscovery::Port &port) const
{
    for (const auto &one : m_instruments) {
        if (one->serialNumber.isEmpty() ? one->port == port.name : one->serialNumber == port.serialNumber)
            return true;
    }
    return false;
}

void MonitorSession::lookForInstruments()
{
    for (const portdiscovery::Port &port : portdiscovery::availablePorts()) {
        if (portdiscovery::isInstrument(port) && !isWatched(port))
            addInstrument(reconnect::foundPort(port));
    }
}

void MonitorSession::onReading(int index, const readingloop::Reading &reading)
{
    if (index < 0 || index >= count())
        return;
    Instrument &one = *m_instruments.at(size_t(index));
    one.latest = reading;
    one.history.add(reading.utcMs, reading.temperature);
    if (isRecording())
        m_recording.write(reading.utcMs, one.port, reading.voltage, reading.temperature);
    handle(index, one.alarmRule->reading({reading.monotonicMs, reading.utcMs}, reading.temperature));
    emit readingArrived(index);
}

void MonitorSession::onStateChanged(int index, PortState state, const QString &port, qint64 sinceUtcMs)
{
    if (index < 0 || index >= count())
        return;
    Instrument &one = *m_instruments.at(size_t(index));
    const bool wasLost = one.lost;
    one.lost = state == PortState::Disconnected;
    one.state = state;
    one.port = port;
    one.sinceUtcMs = sinceUtcMs;
    // Readings fall due and nobody answers them.
    if (state == PortState::Disconnected && !wasLost)
        handle(index, one.alarmRule->reading(stampNow(), std::nullopt));
    emit stateChanged(index);
}

void MonitorSession::checkAlarms()
{
    if (isRecording())
        m_recording.sync();
    const alarms::Stamp now = stampNow();
    for (int index = 0; index < count(); ++index)
        handle(index, m_instruments.at(size_t(index))->alarmRule->tick(now));
}

void MonitorSession::handle(int index, const QVector<alarms::Event> &events)
{
    Instrument &one = *m_instruments.at(size_t(index));
    for (const alarms::Event &event : events) {
        const QString text = alarms::describe(one.port, event, m_options.alarms);
        one.alarmText = text;
        errLine(text);
        if (event.started && !alarms::runCommand(m_options.alarms.command, one.port, event))
            errLine(tr("the alarm command could not be started"));
        emit alarmEvent(index, event.started, text);
    }
}

QVector<stripchart::Trace> MonitorSession::traces(qint64 fromMs, qint64 toMs, int columns) const
{
    QVector<stripchart::Trace> traces;
    const qint64 joinMs = qint64(JoinIntervals * m_options.intervalSeconds * MsPerSecond) + JoinSlackMs;
    const qint64 resolutionMs = columns > 0 ? (toMs - fromMs) / columns : 0;
    for (const auto &one : m_instruments)
        traces.append({one->port, one->history.samples(fromMs, toMs, resolutionMs), joinMs});
    return traces;
}

qint64 MonitorSession::newestMs() const
{
    qint64 newest = 0;
    for (const auto &one : m_instruments) {
        if (!one->history.isEmpty())
            newest = std::max(newest, one->history.lastMs());
    }
    return newest;
}

qint64 MonitorSession::oldestMs() const
{
    qint64 oldest = 0;
    for (const auto &one : m_instruments) {
        if (!one->history.isEmpty() && (oldest == 0 || one->history.firstMs() < oldest))
            oldest = one->history.firstMs();
    }
    return oldest;
}

void MonitorSession::startRecording(const QString &path)
{
    if (isRecording())
        m_recording.stop();
    m_recordingPath = path;
    m_recordingNumber = m_recording.start(path);
    emit recordingChanged(true, QString());
}

void MonitorSession::stopRecording()
{
    m_recordingNumber = 0;
    m_recording.stop();
    emit recordingChanged(false, QString());
}

void MonitorSession::recordingFailed(int recording, const QString &error)
{
    errLine(error);
    // A recording stopped since, or replaced by another, has nothing left to end.
    if (recording != m_recordingNumber)
        return;
    m_recordingNumber = 0;
    emit recordingChanged(false, error);
}

void MonitorSession::setAlarms(const alarms::Settings &settings)
{
    m_options.alarms = settings;
    const alarms::Stamp now = stampNow();
    for (int index = 0; index < count(); ++index) {
        Instrument &one = *m_instruments.at(size_t(index));
        one.alarmRule->setSettings(settings);
        handle(index, one.alarmRule->tick(now));
    }
}

std::optional<alarms::Condition> MonitorSession::activeAlarm(int index) const
{
    return m_instruments.at(size_t(index))->alarmRule->active();
}
