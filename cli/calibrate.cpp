#include "commands.h"

#include "instrumentport.h"
#include "runconsole.h"

#include "calibrationrun.h"
#include "certificates.h"
#include "dcc.h"
#include "record.h"
#include "stopsignals.h"
#include "streams.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>

namespace cli {

namespace {

const QString Record = QStringLiteral("record");
const QString Certificate = QStringLiteral("certificate");
const QString Dcc = QStringLiteral("dcc");
const QString Write = QStringLiteral("write");
const QString Resume = QStringLiteral("resume");
const QString AllowExpired = QStringLiteral("allow-expired-reference");
const QString Backup = QStringLiteral("backup");

int statusOf(procedure::Ending ending)
{
    switch (ending) {
    case procedure::Ending::Complete:
        return Success;
    case procedure::Ending::Refused:
        return UsageError;
    case procedure::Ending::NotVerified:
        return NotVerified;
    case procedure::Ending::NoAnswer:
        return NoAnswer;
    case procedure::Ending::FileProblem:
        return FileProblem;
    case procedure::Ending::NoDevice:
        return NoInstrument;
    case procedure::Ending::NotStable:
        return NotStable;
    case procedure::Ending::Stopped:
        return Stopped;
    case procedure::Ending::OutOfBounds:
        return OutOfBounds;
    }
    return FileProblem;
}

// Calibrates the instrument against a reference as the procedure file says, writing the
// record after every point, and the certificate at the end.
int run(const Invocation &invocation)
{
    const QString procedurePath = invocation.arguments().first();
    const procedure::Parsed parsed = procedure::readFile(procedurePath);
    if (!parsed.procedure) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(procedurePath), parsed.error.message));
        return cli::statusOf(parsed.error);
    }
    const procedure::Procedure &procedure = *parsed.procedure;
    for (const QString &option : {Record, Certificate, Dcc, Resume, Backup}) {
        if (invocation.isSet(option) && invocation.value(option).isEmpty())
            return invocation.usageError(QStringLiteral("--%1 needs a file name").arg(option));
    }
    if (invocation.isSet(Dcc) && dcc::missing(procedure).failed())
        return invocation.usageError(dcc::missing(procedure).message);
    if (invocation.isSet(Backup) && !invocation.isSet(Write))
        return invocation.usageError(QStringLiteral("--backup goes with --write"));

    procedure::RunOptions options;
    options.write = invocation.isSet(Write);
    options.expiredReferenceReason = invocation.value(AllowExpired).trimmed();
    if (invocation.isSet(AllowExpired) && options.expiredReferenceReason.isEmpty())
        return invocation.usageError(QStringLiteral("--allow-expired-reference needs the reason, which the certificate states"));
    options.backupPath = invocation.value(Backup);
    options.software = QStringLiteral("%1 %2").arg(programName(), version());
    options.today = QDate::currentDate();
    options.recordPath = invocation.isSet(Record) ? invocation.value(Record)
                       : invocation.isSet(Resume) ? invocation.value(Resume)
                                                  : record::defaultFileName(procedure);
    // A record is the evidence of a calibration: a new run never replaces one, nor does a
    // resumed run replace any file but the record it goes on with.
    const bool elsewhere = invocation.isSet(Resume) && invocation.isSet(Record)
                        && QFileInfo(options.recordPath).absoluteFilePath() != QFileInfo(invocation.value(Resume)).absoluteFilePath();
    if (elsewhere && QFileInfo::exists(options.recordPath)) {
        err(QStringLiteral("%1 exists already and is not the record being resumed; name a new file with --record, or leave it out "
                           "to go on in %2.")
                .arg(QDir::toNativeSeparators(options.recordPath), QDir::toNativeSeparators(invocation.value(Resume))));
        return FileProblem;
    }
    if (!invocation.isSet(Resume) && QFile::exists(options.recordPath)) {
        err(QStringLiteral("the record %1 exists already; go on with it with --resume %1, or name another with --record.")
                .arg(QDir::toNativeSeparators(options.recordPath)));
        return FileProblem;
    }
    if (invocation.isSet(Resume)) {
        procedure::Error error;
        const std::optional<QJsonObject> resumed = record::load(invocation.value(Resume), &error);
        if (!resumed) {
            err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(invocation.value(Resume)), error.message));
            return cli::statusOf(error);
        }
        const record::Verified verified = record::verify(*resumed);
        if (!verified.ok) {
            err(QStringLiteral("%1 does not verify, so it is not resumed: %2")
                    .arg(QDir::toNativeSeparators(invocation.value(Resume)), verified.difference));
            return NotVerified;
        }
        options.resume = resumed;
    }

    Port port;
    int status = openInstrument(invocation.port(), port, &options.portName);
    if (status != Success)
        return status;

    std::atomic<bool> stop(false);
    procedure::Run calibration(procedure, std::move(port), options);
    calibration.setStopFlag(&stop);
    RunConsole console(procedure, stop);
    calibration.setObserver(&console);
    frontend::catchStopSignals(QCoreApplication::instance(), [] {}, &stop);
    const procedure::Outcome outcome = calibration.exec();
    frontend::releaseStopSignals();
    err(outcome.message);
    status = statusOf(outcome.ending);
    if (status == Success)
        err(QStringLiteral("record: %1 (sha256 %2)")
                .arg(QDir::toNativeSeparators(options.recordPath), record::toJson(calibration.record()).value(QStringLiteral("sha256")).toString()));
    if ((invocation.isSet(Certificate) || invocation.isSet(Dcc)) && status != Success)
        err(QStringLiteral("no certificate: the calibration did not complete."));
    if (status == Success)
        status = writeCertificates(calibration.record(), invocation.value(Certificate), invocation.value(Dcc));
    return status;
}

} // namespace

Command calibrateCommand()
{
    return {QStringLiteral("calibrate"),
            QStringLiteral("calibrate the sensor's table or the ADC against a reference"),
            {{QStringLiteral("PROCEDURE"), QStringLiteral("The procedure file (JSON; see 'man thermocal-cli').")}},
            {QCommandLineOption(Record,
                                QStringLiteral("The record: every reading, the results and their SHA-256, written after "
                                               "every point (default: the certificate number .json here)."),
                                QStringLiteral("FILE")),
             QCommandLineOption(Certificate, QStringLiteral("Writes the calibration certificate as a PDF."), QStringLiteral("FILE")),
             QCommandLineOption(Dcc,
                                QStringLiteral("Writes the digital calibration certificate (DCC, XML); the PDF certificate "
                                               "holds it too."),
                                QStringLiteral("FILE")),
             QCommandLineOption(Write,
                                QStringLiteral("Sends the new set as 'set --commit' does (backup, write, read-back, commit) "
                                               "and measures the as-left points. Without it nothing is sent.")),
             QCommandLineOption(Backup,
                                QStringLiteral("With --write: the backup of the instrument's set, which must not exist "
                                               "(default: thermocal-backup-<UTC time>.json here)."),
                                QStringLiteral("FILE")),
             QCommandLineOption(Resume,
                                QStringLiteral("Goes on with the run of this record: the point in progress is measured "
                                               "again from its start."),
                                QStringLiteral("RECORD")),
             QCommandLineOption(AllowExpired,
                                QStringLiteral("Runs with a reference whose certificate is past its due date, for this "
                                               "reason; the record keeps it with who ran it, and the certificate states both."),
                                QStringLiteral("REASON"))},
            run,
            PortOption::Offered,
            Application::Gui};
}

} // namespace cli
