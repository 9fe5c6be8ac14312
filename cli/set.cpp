#include "commands.h"

#include "instrumentport.h"
#include "output.h"
#include "sources.h"

#include "calibrationfile.h"
#include "device.h"
#include "numbers.h"
#include "protocol.h"
#include "sendset.h"

#include <QDir>
#include <QIODevice>

namespace cli {

namespace {

// Differences listed after a failed verification; the rest are counted.
constexpr int ListedDifferences = 10;

// The backup, which never replaces a file; a set a file cannot hold stops the command.
int writeBackup(const device::DeviceSet &held, const QString &path)
{
    const QString nonFinite = sendset::firstNonFinite(held);
    if (!nonFinite.isEmpty()) {
        err(QStringLiteral("the instrument holds a value that a backup file cannot hold (%1); "
                           "nothing was sent. Use --no-backup to send the file anyway.")
                .arg(nonFinite));
        return FileProblem;
    }
    const QString error = sendset::writeBackup(held, path);
    if (!error.isEmpty()) {
        err(QStringLiteral("%1; nothing was sent.").arg(error));
        return FileProblem;
    }
    return Success;
}

void printChanges(const QVector<device::Difference> &changes)
{
    QString text;
    for (const device::Difference &change : changes)
        text += QStringLiteral("%1: %2 -> %3\n").arg(change.name(), numbers::shortest(change.first),
                                                   numbers::shortest(change.second));
    out(text);
}

const QString CommitName = QStringLiteral("commit");
const QString DryRun = QStringLiteral("dry-run");
const QString Backup = QStringLiteral("backup");
const QString NoBackup = QStringLiteral("no-backup");

// Sends a calibration file to the instrument: checked, backed up, written, read back and
// compared, and committed to EEPROM only when asked and only after a clean comparison.
int run(const Invocation &invocation)
{
    if (invocation.isSet(Backup) && invocation.isSet(NoBackup))
        return invocation.usageError(QStringLiteral("--backup and --no-backup exclude each other"));
    if (invocation.isSet(Backup) && invocation.value(Backup).isEmpty())
        return invocation.usageError(QStringLiteral("--backup needs a file name"));
    if (invocation.isSet(DryRun) && invocation.isSet(CommitName))
        return invocation.usageError(QStringLiteral("--dry-run and --commit exclude each other"));

    // Nothing goes to the instrument before the whole file has passed the strict check.
    device::DeviceSet wanted;
    int status = readCalibrationFile(invocation.arguments().first(), Slopes::NonZero, &wanted);
    if (status != Success)
        return status;

    Port port;
    status = openInstrument(invocation.port(), port);
    if (status != Success)
        return status;

    const bool needsPresentSet = invocation.isSet(DryRun) || !invocation.isSet(NoBackup);
    device::DeviceSet held;
    if (needsPresentSet) {
        status = readInstrument(invocation.port(), port, &held);
        if (status != Success)
            return status;
    }
    if (invocation.isSet(DryRun)) {
        const QVector<device::Difference> changes = device::compare(held, wanted);
        printChanges(changes);
        err(changes.isEmpty() ? QStringLiteral("dry run: the instrument already holds this set; nothing was sent.")
                              : changes.size() == 1
                                  ? QStringLiteral("dry run: 1 value would change; nothing was sent.")
                                  : QStringLiteral("dry run: %1 values would change; nothing was sent.").arg(changes.size()));
        return Success;
    }
    if (!invocation.isSet(NoBackup)) {
        const QString backupPath = invocation.isSet(Backup) ? invocation.value(Backup) : sendset::defaultBackupName();
        status = writeBackup(held, backupPath);
        if (status != Success)
            return status;
        err(QStringLiteral("backup of the instrument's set: %1").arg(QDir::toNativeSeparators(backupPath)));
    }

    const sendset::Result sent = sendset::send(*port, wanted, invocation.isSet(CommitName));
    if (sent.outcome == sendset::Outcome::LinkFailed) {
        reportLinkFailure(sent.failure, port.get());
        err(QStringLiteral("the instrument's set may be partly written; nothing was committed."));
        return NoAnswer;
    }
    if (sent.outcome == sendset::Outcome::CommitFailed)
        return reportLinkFailure(sent.failure, port.get());
    if (sent.outcome == sendset::Outcome::Different) {
        err(QStringLiteral("the instrument holds other values than were sent (%1 differences); nothing was committed:")
                .arg(sent.differences.size()));
        const QStringList lines = device::describe(sent.differences, ListedDifferences, device::Digits::Exact);
        for (const QString &line : lines)
            err(QStringLiteral("  %1").arg(line));
        return NotVerified;
    }
    if (!invocation.isSet(CommitName)) {
        err(QStringLiteral("sent and verified; not committed to EEPROM (use --commit, or '%1 commit').")
                .arg(programName()));
        return Success;
    }
    err(QStringLiteral("sent, verified and committed to EEPROM."));
    return Success;
}

} // namespace

Command setCommand()
{
    return {QStringLiteral("set"),
            QStringLiteral("send a calibration file to the instrument: backup, write, verify"),
            {{QStringLiteral("FILE"), QStringLiteral("The calibration file to send.")}},
            {QCommandLineOption(CommitName, QStringLiteral("After a clean read-back, commits the set to the EEPROM.")),
             QCommandLineOption(DryRun,
                                QStringLiteral("Checks the file, reads the instrument and prints what would change; "
                                               "sends no write.")),
             QCommandLineOption(Backup,
                                QStringLiteral("Saves the instrument's present set to FILE, which must not exist, "
                                               "before writing (default: thermocal-backup-<UTC time>.json here)."),
                                QStringLiteral("FILE")),
             QCommandLineOption(NoBackup, QStringLiteral("Writes without a backup."))},
            run};
}

} // namespace cli
