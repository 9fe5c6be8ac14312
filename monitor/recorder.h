#pragma once

#include <QFile>
#include <QString>

#include <optional>

// The recording: CSV with one row per reading, appended to the file and handed to the
// operating system before the next reading, so that a killed program loses at most the row
// being written; the rows are synced to the disk by sync(), which the monitor calls twice a
// second and at the end, so a power cut loses at most the last second of rows.
class Recorder
{
public:
    static const char Header[];

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
