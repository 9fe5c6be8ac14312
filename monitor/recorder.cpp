#include "recorder.h"

#include "numbers.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

const char Recorder::Header[] = "time,port,voltage_V,temperature_K\n";

namespace {

std::function<void()> &syncHook()
{
    static std::function<void()> hook;
    return hook;
}

// Whether the file at `path` ends in the middle of a row.
bool endsInsideRow(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0 || !file.seek(file.size() - 1))
        return false;
    char last = 0;
    return file.getChar(&last) && last != '\n';
}

QString text(const std::optional<float> &value)
{
    return value ? numbers::shortest(*value) : QString();
}

// A port name with a comma or a quote is quoted as CSV wants it.
QString field(const QString &value)
{
    if (!value.contains(QLatin1Char(',')) && !value.contains(QLatin1Char('"')) && !value.contains(QLatin1Char('\n')))
        return value;
    QString quoted = value;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

QByteArray Recorder::row(qint64 utcMs, const QString &port, std::optional<float> voltage,
                         std::optional<float> temperature)
{
    const QString time = QDateTime::fromMSecsSinceEpoch(utcMs, Qt::UTC).toString(Qt::ISODateWithMs);
    return QStringLiteral("%1,%2,%3,%4\n").arg(time, field(port), text(voltage), text(temperature)).toUtf8();
}

bool Recorder::start(const QString &path)
{
    stop();
    m_error.clear();
    m_file.setFileName(path);
    // Unbuffered: every write goes straight to the operating system.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        m_error = QCoreApplication::translate("Monitor", "Couldn't open \"%1\" for recording: %2.")
                      .arg(QDir::toNativeSeparators(path), m_file.errorString());
        return false;
    }
    if (m_file.size() == 0)
        return writeAll(Header) && sync();
    if (endsInsideRow(path))
        return writeAll("\n") && sync();
    return true;
}

void Recorder::stop()
{
    if (m_file.isOpen()) {
        sync();
        m_file.close();
    }
}

void Recorder::setSyncHook(std::function<void()> hook)
{
    syncHook() = std::move(hook);
}

bool Recorder::sync()
{
    if (!m_file.isOpen() || !m_unsynced)
        return true;
    if (syncHook())
        syncHook()();
    // A pipe or a terminal has nothing to sync (EINVAL; on Windows, not a disk file);
    // everything else that fails is a failed write.
#ifdef Q_OS_WIN
    const auto handle = HANDLE(::_get_osfhandle(m_file.handle()));
    if (!::FlushFileBuffers(handle) && ::GetFileType(handle) == FILE_TYPE_DISK)
        return fail(qt_error_string(int(::GetLastError())));
#else
    if (::fdatasync(m_file.handle()) != 0 && errno != EINVAL)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
#endif
    m_unsynced = false;
    return true;
}

bool Recorder::write(qint64 utcMs, const QString &port, std::optional<float> voltage, std::optional<float> temperature)
{
    return m_file.isOpen() && writeAll(row(utcMs, port, voltage, temperature));
}

bool Recorder::writeAll(const QByteArray &bytes)
{
    if (m_file.write(bytes) == bytes.size() && m_file.flush()) {
        m_unsynced = true;
        return true;
    }
    return fail(m_file.errorString());
}

bool Recorder::fail(const QString &reason)
{
    m_error = QCoreApplication::translate("Monitor", "Couldn't write to \"%1\": %2. The recording stopped.")
                  .arg(QDir::toNativeSeparators(m_file.fileName()), reason);
    m_file.close();
    return false;
}

RecordingThread::RecordingThread()
    : m_worker(new QObject)
    , m_recorder(std::make_unique<Recorder>())
{
    m_worker->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("recording"));
    m_thread.start();
}

RecordingThread::~RecordingThread()
{
    finish();
    // Its thread has ended, so nothing else can touch it now.
    delete m_worker;
}

void RecordingThread::post(std::function<void()> work)
{
    QMetaObject::invokeMethod(m_worker, std::move(work), Qt::QueuedConnection);
}

int RecordingThread::start(const QString &path)
{
    const int recording = ++m_started;
    Recorder *recorder = m_recorder.get();
    post([this, recorder, recording, path] {
        recorder->stop();
        if (!recorder->start(path))
            emit failed(recording, recorder->error());
    });
    return recording;
}

void RecordingThread::write(qint64 utcMs, const QString &port, std::optional<float> voltage,
                            std::optional<float> temperature)
{
    Recorder *recorder = m_recorder.get();
    const int recording = m_started;
    post([this, recorder, recording, utcMs, port, voltage, temperature] {
        // Rows that come after a failure are dropped: that recording has stopped.
        if (recorder->isRecording() && !recorder->write(utcMs, port, voltage, temperature))
            emit failed(recording, recorder->error());
    });
}

void RecordingThread::sync()
{
    Recorder *recorder = m_recorder.get();
    const int recording = m_started;
    post([this, recorder, recording] {
        if (!recorder->sync())
            emit failed(recording, recorder->error());
    });
}

void RecordingThread::stop()
{
    Recorder *recorder = m_recorder.get();
    const int recording = m_started;
    post([this, recorder, recording] {
        if (recorder->isRecording() && !recorder->sync())
            emit failed(recording, recorder->error());
        recorder->stop();
    });
}

QString RecordingThread::finish()
{
    if (!m_thread.isRunning())
        return m_stopError;
    Recorder *recorder = m_recorder.get();
    // Blocking: the work queued before it, and the last sync, are done when it returns.
    QMetaObject::invokeMethod(
        m_worker, [this, recorder] {
            if (recorder->isRecording() && !recorder->sync())
                m_stopError = recorder->error();
            recorder->stop();
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    return m_stopError;
}
