#pragma once

#include "analysis.h"
#include "calibrationrun.h"
#include "record.h"

#include <QImage>
#include <QJsonObject>
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

// What opening a file found: a procedure file to edit, or a record that verifies, to resume.
struct OpenedFile
{
    QString path;
    QString error;       // why the file is neither, when it could not be read or parsed
    QString difference;  // a record that does not verify: its first difference
    bool isRecord = false;
    QJsonObject object;  // the procedure file's object, or the record's
    std::optional<procedure::Procedure> procedure; // a record's, parsed
};

// How a run ended, with what the window shows of it, all computed on the worker's thread.
struct RunEnd
{
    procedure::Outcome outcome;
    record::Record record;
    QJsonObject json;            // the record as its file holds it: what a later run resumes from
    analysis::Analysis analysis; // of a complete record
};

// Everything the window asks of the bench and of its files, done on a thread of its own, one
// job at a time: ports are opened, read and closed there, and files of any size are read,
// verified and written there, so the window never waits on a device or a disk. Results come
// back as signals on the window's thread.
class BenchWorker : public QObject
{
    Q_OBJECT

public:
    explicit BenchWorker(QObject *parent = nullptr);
    // Stops a job in progress and waits for it to end, however long that takes: a job uses
    // this object to its last step. A run stops within a few seconds; a file job ends at its
    // next step.
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
    // Reads `path` as a record (verified, its procedure parsed) or else as a procedure file.
    void open(const QString &path);
    // The sensor curve `procedure` names, read relative to `directory`.
    void readCurve(const procedure::Procedure &procedure, const QString &directory);
    // A procedure file, indented as people read it; and a record, atomically.
    void saveProcedure(const QString &path, const QJsonObject &procedure);
    void saveRecord(const QString &path, const record::Record &record);

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
    void calibrated(const RunEnd &end);
    // `dccPath`: the digital certificate written beside the PDF, when there is one.
    void certified(const QString &error, const QImage &preview, const QString &dccPath);
    void opened(const OpenedFile &file);
    void curveRead(const procedure::Procedure &procedure, const QString &error);
    // A file written, or why not (empty: written).
    void saved(const QString &path, const QString &error);
    // A job has ended, after its own signal; a stopped file job has none.
    void idle();

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
