#pragma once

#include <QFile>
#include <QObject>
#include <QString>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>

// The recording: CSV with one row per reading, appended to the file and handed to the
// operating system before the next reading, so that a killed program loses at most the row
// being written; the rows are synced to the disk by sync(), which the monitor calls twice a
// second and at the end, so a power cut loses at most the last second of rows.
class Recorder
{
public:
    static const char Header[];
    // Called at each sync that has rows to hand over, on the thread that syncs, before the
    // disk sync: lets a test count the syncs and slow the disk down. Empty: none.
    static void setSyncHook(std::function<void()> hook);

    // Opens `path` for appending, and writes the header when the file is empty. A file whose
    // last row was cut short (a full disk, a power cut) gets a line break first, so the cut
    // row stays alone on its line. False with error() set when it cannot.
    bool start(const QString &path);
    // Syncs and closes.
    void stop();
    // Hands the rows written since the last sync to the disk; on failure the recording
    // stops and error() says why.
    bool sync();
    bool isRecording() const { return m_file.isOpen(); }
    QString path() const { return m_file.fileName(); }

    // Writes one row; on a failed write the recording stops and error() says why.
    bool write(qint64 utcMs, const QString &port, std::optional<float> voltage, std::optional<float> temperature);
    QString error() const { return m_error; }

    // The row as written: time ISO 8601 UTC with milliseconds, port, voltage, temperature.
    static QByteArray row(qint64 utcMs, const QString &port, std::optional<float> voltage,
                          std::optional<float> temperature);

private:
    bool writeAll(const QByteArray &bytes);
    bool fail(const QString &reason);

    QFile m_file;
    QString m_error;
    bool m_unsynced = false;
};

// A Recorder on a thread of its own, so that a disk slow to write or to sync holds up
// neither the readings nor the window. Every call is queued and returns at once; the rows
// reach the file whole and in the order given. A recording that stops on its own (the file
// could not be opened or written) says so through failed().
class RecordingThread : public QObject
{
    Q_OBJECT

public:
    RecordingThread();
    ~RecordingThread() override;

    // Starts a recording into `path`, after any earlier one has stopped; its number, which
    // failed() gives back.
    int start(const QString &path);
    void write(qint64 utcMs, const QString &port, std::optional<float> voltage, std::optional<float> temperature);
    void sync();
    // Syncs and closes the current recording.
    void stop();
    // Stops the recording and waits for its thread; why the last sync failed, or nothing.
    QString finish();

signals:
    // Recording number `recording` stopped on its own, for `error`.
    void failed(int recording, const QString &error);

private:
    // Runs `work` on the recorder's thread, after everything asked before it.
    void post(std::function<void()> work);

    QThread m_thread;
    QObject *m_worker;             // lives on m_thread; the queue runs in its events
    std::unique_ptr<Recorder> m_recorder;  // touched on m_thread only, while it runs
    int m_started = 0;
    QString m_stopError;
};
