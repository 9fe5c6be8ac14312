#pragma once

#include "alarm.h"
#include "history.h"
#include "monitoroptions.h"
#include "readingloop.h"
#include "recorder.h"

#include <QObject>
#include <QTimer>
#include <QVector>

#include <memory>
#include <vector>

class QThread;

using PortState = readingloop::State;

// What the monitor does without its window: one reading loop per instrument, each in a
// thread of its own so a silent or flooding instrument holds up nothing else; their
// readings into each instrument's history, the recording and the alarm rules; and, without
// --port, a look for new instruments once a second.
class MonitorSession : public QObject
{
    Q_OBJECT

public:
    struct Instrument
    {
        QString port;                  // as the recording names it
        QString serialNumber;
        PortState state = PortState::Disconnected;
        bool lost = false;             // disconnected, and no reading since
        qint64 sinceUtcMs = 0;
        std::optional<readingloop::Reading> latest;
        History history;
        std::unique_ptr<alarms::Rule> alarmRule;
        QString alarmText;
        QThread *thread = nullptr;
        readingloop::Loop *loop = nullptr;
    };

    explicit MonitorSession(const MonitorOptions &options, QObject *parent = nullptr);
    ~MonitorSession() override;

    // Starts the named ports' workers, or the look for instruments.
    void start();
    // Ends every worker and the recording.
    void stop();

    int count() const { return int(m_instruments.size()); }
    const Instrument &instrument(int index) const { return *m_instruments.at(size_t(index)); }
    const MonitorOptions &options() const { return m_options; }

    // The traces of every instrument that touch fromMs..toMs, summed up for a chart
    // `columns` pixels wide.
    QVector<stripchart::Trace> traces(qint64 fromMs, qint64 toMs, int columns) const;
    // The newest and oldest reading of all instruments; 0 when there is none.
    qint64 newestMs() const;
    qint64 oldestMs() const;

    // The file is opened on the recording's thread: one that cannot be opened is reported
    // through recordingChanged().
    void startRecording(const QString &path);
    void stopRecording();
    // Recording as far as this thread knows: a failure on the recording's own thread reaches
    // it a moment later, through recordingChanged().
    bool isRecording() const { return m_recordingNumber != 0; }
    QString recordingPath() const { return m_recordingPath; }

    void setAlarms(const alarms::Settings &settings);
    std::optional<alarms::Condition> activeAlarm(int index) const;
    // The text of the instrument's latest alarm event.
    QString lastAlarmText(int index) const { return instrument(index).alarmText; }

signals:
    void instrumentAdded(int index);
    void readingArrived(int index);
    void stateChanged(int index);
    void alarmEvent(int index, bool started, const QString &text);
    void recordingChanged(bool recording, const QString &error);

private:
    void addInstrument(const reconnect::Target &target);
    void lookForInstruments();
    void onReading(int index, const readingloop::Reading &reading);
    void onStateChanged(int index, PortState state, const QString &port, qint64 sinceUtcMs);
    // Whether an instrument found under `port` is one already watched.
    bool isWatched(const portdiscovery::Port &port) const;
    void checkAlarms();
    void handle(int index, const QVector<alarms::Event> &events);
    void recordingFailed(int recording, const QString &error);

    MonitorOptions m_options;
    std::vector<std::unique_ptr<Instrument>> m_instruments;
    RecordingThread m_recording;
    int m_recordingNumber = 0;     // the recording in progress; 0: none
    QString m_recordingPath;
    QTimer m_discovery;
    QTimer m_alarmClock;
};
