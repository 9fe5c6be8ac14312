#pragma once

#include "reconnect.h"
#include "schedule.h"

#include <QMetaType>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace ports {
class Port;
}
class QTimer;

// One reading as the monitor passes it on.
struct MonitorReading
{
    int instrument = -1;
    QString port;       // as the recording names it
    qint64 utcMs = 0;
    std::optional<float> voltage;
    std::optional<float> temperature;
};
Q_DECLARE_METATYPE(MonitorReading)

enum class PortState { Reading, NoAnswer, Disconnected };
Q_DECLARE_METATYPE(PortState)

// Reads one instrument on its own schedule, in a thread of its own, so that a silent or slow
// instrument holds up nothing else. When the port goes away it reports the loss, reads
// nothing, and looks for the port again once a second; reading resumes on the schedule.
class ReadingWorker : public QObject
{
    Q_OBJECT

public:
    // `recordedName`: the port as the recording names it (the name given with --port, or
    // the system's name of a found instrument).
    ReadingWorker(int instrument, const reconnect::Target &target, qint64 intervalNs, QObject *parent = nullptr);
    ~ReadingWorker() override;

public slots:
    // Opens the port and starts reading; runs in the worker's thread.
    void start();
    void finish();

signals:
    void reading(const MonitorReading &reading);
    // `port`: the name now used; `sinceUtcMs`: when the state began.
    void stateChanged(int instrument, PortState state, const QString &port, qint64 sinceUtcMs);

private:
    bool openPort(const QString &name);
    void takeReading();
    void scheduleNext();
    void lose(qint64 utcMs);
    void tryReconnect();
    void setState(PortState state, qint64 utcMs);
    QString recordedName() const;

    int m_instrument;
    reconnect::Target m_target;
    ReadingSchedule m_schedule;
    std::unique_ptr<ports::Port> m_port;
    QTimer *m_due = nullptr;
    QTimer *m_retry = nullptr;
    std::optional<PortState> m_state;
};
