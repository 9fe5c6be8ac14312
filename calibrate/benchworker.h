#pragma once

#include "calibrationrun.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

class QThread;

// What the checks found on the bench: each device's answer, or why there is none.
struct BenchCheck
{
    QString instrumentPort;
    QString serialNumber;
    QString instrumentReading;
    QString instrumentError;
    QString referenceIdn;
    QString referenceReading;
    QString referenceError;
    bool checkedSource = false;
    QString sourceIdn;
    QString sourceError;
};

// Everything the window asks of the bench, done on a thread of its own, one job at a time:
// ports are opened, read and closed there, so the window never waits on a device. Results
// come back as signals on the window's thread.
class BenchWorker : public QObject
{
    Q_OBJECT

public:
    explicit BenchWorker(QObject *parent = nullptr);
    // Stops a job in progress and waits for it; a run stops within a few seconds.
    ~BenchWorker() override;

    bool busy() const { return m_thread != nullptr; }

    // The instrument (the one on `port`, or the only one present), the reference and the
    // source: identities and a reading each. `instrument` false checks the reference alone.
    void check(const procedure::Procedure &procedure, const QString &port, bool instrument = true);
    // A calibration run; the record is written as the run goes.
    void calibrate(const procedure::Procedure &procedure, const QString &port, const procedure::RunOptions &options);
    // The certificate of `record` as a PDF at `path` (empty: none) and its first page
    // `previewWidth` pixels wide (0: none).
    void certify(const record::Record &record, const QString &path, int previewWidth);

    // For the job in progress.
    void stop();
    void captureNow(const QString &reason);
    void skipPoint(const QString &reason);
    // The operator's answer to asked(); nothing cancels.
    void answer(const std::optional<QString> &text);

signals:
    void checked(const BenchCheck &check);
    void progressed(const procedure::Progress &progress);
    void said(const QString &text, bool status);
    // The run waits for the operator: set the bath, or type a reading.
    void asked(const QString &prompt);
    void calibrated(const procedure::Outcome &outcome, const record::Record &record);
    void certified(const QString &error, const QImage &preview);

private:
    // `job` runs on the thread and returns what to tell the window when it has ended.
    void start(std::function<std::function<void()>()> job);
    // Runs `call` on the window's thread, later.
    void post(std::function<void()> call);
    std::optional<QString> ask(const QString &prompt);

    QThread *m_thread = nullptr;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_answered;
    std::optional<std::optional<QString>> m_answer;
    procedure::Run *m_run = nullptr; // while a run goes, under m_mutex
};
