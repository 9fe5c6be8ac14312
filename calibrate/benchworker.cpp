#include "benchworker.h"

#include "certificate.h"
#include "dcc.h"
#include "device.h"
#include "portdiscovery.h"
#include "portname.h"
#include "ports.h"
#include "protocol.h"
#include "runlog.h"
#include "scpiclient.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QThread>

#include <memory>

namespace {

// A run waiting for the operator looks at the stop flag this often.
constexpr int AnswerPollMs = 100;

QString trimmedAnswer(const std::optional<QByteArray> &answer)
{
    return answer ? ports::printableLine(*answer, scpiclient::LongestReply) : QString();
}

// Opens the instrument's port: the one named, or the only instrument present.
std::unique_ptr<ports::Port> openInstrument(const QString &requested, QString *name, QString *error)
{
    const device::ChosenPort chosen = device::choosePort(requested);
    *name = chosen.name;
    if (chosen.found.status == device::FindStatus::NoInstrument) {
        *error = BenchWorker::tr("No instrument connected; name its port with --port.");
        return nullptr;
    }
    if (chosen.found.status == device::FindStatus::SeveralInstruments) {
        *error = BenchWorker::tr("%1 instruments are connected; choose one with --port.").arg(chosen.found.instruments.size());
        return nullptr;
    }
    portname::Opened opened = portname::open(*name);
    if (!opened.port)
        *error = BenchWorker::tr("Cannot open %1: %2.").arg(*name, opened.reason);
    return std::move(opened.port);
}

} // namespace

BenchWorker::BenchWorker(QObject *parent)
    : QObject(parent)
{
}

BenchWorker::~BenchWorker()
{
    if (!m_thread)
        return;
    stop();
    // No deadline: a job left running would go on using this object once it is gone. Every
    // job looks at the stop flag wherever it waits, so this wait is short.
    m_thread->wait();
    delete m_thread;
}

void BenchWorker::post(std::function<void()> call)
{
    QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void BenchWorker::start(std::function<std::function<void()>()> job)
{
    Q_ASSERT(!m_thread);
    m_stop = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_answer.reset();
    }
    auto result = std::make_shared<std::function<void()>>();
    m_thread = QThread::create([job, result] { *result = job(); });
    // The result is told once the thread has ended, so the window can start the next job
    // as it hears of it.
    connect(m_thread, &QThread::finished, this, [this, result] {
        m_thread->deleteLater();
        m_thread = nullptr;
        if (*result)
            (*result)();
        emit idle();
    });
    m_thread->start();
}

void BenchWorker::stop()
{
    m_stop = true;
    m_answered.notify_all();
}

void BenchWorker::captureNow(const QString &reason)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_run)
        m_run->captureNow(reason);
}

void BenchWorker::skipPoint(const QString &reason)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_run)
        m_run->skipPoint(reason);
}

void BenchWorker::answer(const std::optional<QString> &text)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_answer = text;
    }
    m_answered.notify_all();
}

std::optional<QString> BenchWorker::ask(const QString &prompt)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_answer.reset();
    }
    post([this, prompt] { emit asked(prompt); });
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_answer && !m_stop)
        m_answered.wait_for(lock, std::chrono::milliseconds(AnswerPollMs));
    if (!m_answer)
        return std::nullopt;
    const std::optional<QString> given = *m_answer;
    m_answer.reset();
    return given;
}

void BenchWorker::check(const procedure::Procedure &procedure, const QString &port, bool instrument)
{
    start([this, procedure, port, instrument] {
        BenchCheck result;
        if (instrument) {
            QString error;
            std::unique_ptr<ports::Port> opened = openInstrument(port, &result.instrumentPort, &error);
            if (opened) {
                result.serialNumber = portdiscovery::serialNumberOf(result.instrumentPort);
                protocol::Link link(opened.get());
                const device::Reading reading = device::readLive(link);
                if (reading.voltage && reading.temperature)
                    result.instrumentReading = tr("%1 V, %2 K").arg(double(*reading.voltage), 0, 'f', 6).arg(double(*reading.temperature), 0, 'f', 4);
                else
                    result.instrumentError = protocol::message(link.failure());
            } else {
                result.instrumentError = error;
            }
        }
        const procedure::Reference &reference = procedure.reference;
        if (reference.port == procedure::ManualPort) {
            result.referenceIdn = tr("read by the operator");
        } else {
            procedure::Error error;
            if (std::unique_ptr<scpiclient::Client> client = scpiclient::Client::open(reference.port, &error)) {
                const std::optional<QByteArray> idn = client->ask("*IDN?", &m_stop, &error);
                result.referenceIdn = trimmedAnswer(idn);
                const std::optional<QByteArray> reply = idn ? client->ask(reference.query.toLatin1(), &m_stop, &error) : std::nullopt;
                const std::optional<double> value = reply ? scpiclient::reading(*reply, reference.unit, &error) : std::nullopt;
                if (value)
                    result.referenceReading = QStringLiteral("%1 %2").arg(*value).arg(procedure::unitSymbol(reference.unit));
            }
            result.referenceError = error.message;
        }
        if (procedure.source && instrument) {
            result.checkedSource = true;
            procedure::Error error;
            if (std::unique_ptr<scpiclient::Client> client = scpiclient::Client::open(procedure.source->port, &error))
                result.sourceIdn = trimmedAnswer(client->ask("*IDN?", &m_stop, &error));
            result.sourceError = error.message;
        }
        return std::function<void()>([this, result] { emit checked(result); });
    });
}

void BenchWorker::calibrate(const procedure::Procedure &procedure, const QString &port, const procedure::RunOptions &options)
{
    start([this, procedure, port, options] {
        procedure::RunOptions given = options;
        QString error;
        std::unique_ptr<ports::Port> opened = openInstrument(port, &given.portName, &error);
        if (!opened) {
            RunEnd end;
            end.outcome = procedure::Outcome{procedure::Ending::NoDevice, error};
            return std::function<void()>([this, end] { emit calibrated(end); });
        }
        procedure::Run run(procedure, std::move(opened), given);
        run.setStopFlag(&m_stop);
        RunLog log(procedure, {[this](const QString &line) { post([this, line] { emit said(line, false); }); },
                               [this](const procedure::Progress &progress) { post([this, progress] { emit progressed(progress); }); },
                               [this](const QString &question) { return ask(question); }});
        run.setObserver(&log);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_run = &run;
        }
        RunEnd end;
        end.outcome = run.exec();
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_run = nullptr;
        }
        end.record = run.record();
        // The record as a later run resumes from it, and a complete one analysed: both work
        // through every reading, which the window's thread must not.
        if (!end.record.started.isEmpty())
            end.json = record::toJson(end.record);
        const procedure::Parsed parsed = record::procedureOf(end.record);
        if (end.outcome.ending == procedure::Ending::Complete && parsed.procedure)
            end.analysis = analysis::analyse(*parsed.procedure, end.record.asFound, end.record.points);
        return std::function<void()>([this, end] { emit calibrated(end); });
    });
}

void BenchWorker::certify(const record::Record &record, const QString &path, int previewWidth)
{
    start([this, record, path, previewWidth] {
        // The document is built once; the PDF, its preview and the DCC are drawn from it.
        const certificate::Built built = certificate::build(record);
        QString error = built.error.message;
        QString dccPath;
        if (built.document && !path.isEmpty()) {
            // The DCC goes into the PDF and beside it, named after it; a procedure without what
            // a DCC needs still gets its PDF, and is told what the DCC lacks.
            const dcc::Written written = dcc::write(*built.document);
            error = certificate::writePdf(path, *built.document, written.xml);
            if (error.isEmpty() && written.error.failed()) {
                error = tr("The certificate is saved, but not its digital certificate: %1").arg(written.error.message);
            } else if (error.isEmpty()) {
                const QFileInfo pdf(path);
                dccPath = pdf.dir().filePath(pdf.completeBaseName() + QStringLiteral(".dcc.xml"));
                error = dcc::save(dccPath, written.xml);
            }
        }
        // A stop between the two leaves the preview undrawn.
        const QImage preview = built.document && previewWidth > 0 && !m_stop ? certificate::firstPage(*built.document, previewWidth) : QImage();
        return std::function<void()>([this, error, preview, dccPath] { emit certified(error, preview, dccPath); });
    });
}

void BenchWorker::open(const QString &path)
{
    start([this, path] {
        OpenedFile file;
        file.path = path;
        procedure::Error error;
        const std::optional<QJsonObject> object = record::load(path, &error);
        file.error = error.message;
        // Each step below reads the whole file again; a stop between them ends the job.
        if (m_stop)
            return std::function<void()>();
        if (object) {
            file.object = *object;
            // A record holds its procedure and a hash; a procedure file holds neither.
            file.isRecord = object->contains(QStringLiteral("sha256")) && object->contains(QStringLiteral("procedure"));
            if (file.isRecord) {
                const record::Verified verified = record::verify(*object);
                if (m_stop)
                    return std::function<void()>();
                file.difference = verified.ok ? QString() : verified.difference;
            }
            if (file.difference.isEmpty()) {
                const procedure::Parsed parsed
                    = procedure::parse(file.isRecord ? object->value(QStringLiteral("procedure")).toObject() : *object);
                file.procedure = parsed.procedure;
                file.error = parsed.error.message;
            }
        }
        return std::function<void()>([this, file] { emit opened(file); });
    });
}

void BenchWorker::readCurve(const procedure::Procedure &procedure, const QString &directory)
{
    start([this, procedure, directory] {
        procedure::Procedure read = procedure;
        const QString error = procedure::loadCurve(read, directory).message;
        return std::function<void()>([this, read, error] { emit curveRead(read, error); });
    });
}

void BenchWorker::saveProcedure(const QString &path, const QJsonObject &procedure)
{
    start([this, path, procedure] {
        const QByteArray bytes = QJsonDocument(procedure).toJson(QJsonDocument::Indented);
        QSaveFile file(path);
        QString error;
        // QSaveFile can report a commit after a failed final flush; each step is checked.
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() || !file.commit()) {
            error = file.errorString();
            file.cancelWriting();
        }
        return std::function<void()>([this, path, error] { emit saved(path, error); });
    });
}

void BenchWorker::saveRecord(const QString &path, const record::Record &record)
{
    start([this, path, record] {
        const QString error = record::save(path, record);
        return std::function<void()>([this, path, error] { emit saved(path, error); });
    });
}
