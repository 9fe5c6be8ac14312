#include "cli.h"

#include "calibrationfile.h"
#include "device.h"
#include "numbers.h"
#include "protocol.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QIODevice>

namespace cli {

namespace {

// Differences listed after a failed verification; the rest are counted.
constexpr int ListedDifferences = 10;

QString defaultBackupName()
{
    return QStringLiteral("thermocal-backup-%1.json")
        .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")));
}

// Writes the backup into a file that must not exist yet, so no earlier backup (or any other
// file) is ever overwritten by one.
int writeBackup(const device::DeviceSet &held, const QString &path)
{
    const QString nonFinite = firstNonFinite(held);
    if (!nonFinite.isEmpty()) {
        err(QStringLiteral("the instrument holds a value that a backup file cannot hold (%1); "
                           "nothing was sent. Use --no-backup to send the file anyway.")
                .arg(nonFinite));
        return FileProblem;
    }
    const QByteArray bytes = calibrationfile::serialize(device::toCalibrationSet(held));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        err(QStringLiteral("cannot write the backup %1: %2; nothing was sent.")
                .arg(QDir::toNativeSeparators(path),
                     QFile::exists(path) ? QStringLiteral("the file exists already") : file.errorString()));
        return FileProblem;
    }
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        err(QStringLiteral("cannot write the backup %1: %2; nothing was sent.")
                .arg(QDir::toNativeSeparators(path), file.errorString()));
        file.remove();
        return FileProblem;
    }
    file.close();
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

} // namespace

// Sends a calibration file to the instrument: checked, backed up, written, read back and
// compared, and committed to EEPROM only when asked and only after a clean comparison.
int runSet(const QStringList &arguments)
{
    Parser parser(commandNamed("set"), true);
    const QCommandLineOption commitOption(QStringLiteral("commit"),
                                          QStringLiteral("After a clean read-back, commits the set to the EEPROM."));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"),
                                    QStringLiteral("Checks the file, reads the instrument and prints what would "
                                                   "change; sends no write."));
    const QCommandLineOption backup(QStringLiteral("backup"),
                                    QStringLiteral("Saves the instrument's present set to FILE, which must not exist, "
                                                   "before writing (default: thermocal-backup-<UTC time>.json here)."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption noBackup(QStringLiteral("no-backup"), QStringLiteral("Writes without a backup."));
    parser.parser.addOptions({commitOption, dryRun, backup, noBackup});
    parser.parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The calibration file to send."));
    int status = Success;
    if (!parser.parse(arguments, &status))
        return status;
    const QStringList files = parser.parser.positionalArguments();
    if (files.size() != 1)
        return parser.usageError(QStringLiteral("takes exactly one calibration file"));
    if (parser.parser.isSet(backup) && parser.parser.isSet(noBackup))
        return parser.usageError(QStringLiteral("--backup and --no-backup exclude each other"));
    if (parser.parser.isSet(backup) && parser.parser.value(backup).isEmpty())
        return parser.usageError(QStringLiteral("--backup needs a file name"));
    if (parser.parser.isSet(dryRun) && parser.parser.isSet(commitOption))
        return parser.usageError(QStringLiteral("--dry-run and --commit exclude each other"));

    // Nothing goes to the instrument before the whole file has passed the strict check.
    device::DeviceSet wanted;
    status = loadStrict(files.first(), true, &wanted);
    if (status != Success)
        return status;

    Port port;
    status = openInstrument(parser.port(), port);
    if (status != Success)
        return status;

    const bool needsPresentSet = parser.parser.isSet(dryRun) || !parser.parser.isSet(noBackup);
    device::DeviceSet held;
    if (needsPresentSet) {
        status = readInstrument(parser.port(), port, &held);
        if (status != Success)
            return status;
    }
    if (parser.parser.isSet(dryRun)) {
        const QVector<device::Difference> changes = device::compare(held, wanted);
        printChanges(changes);
        err(changes.isEmpty() ? QStringLiteral("dry run: the instrument already holds this set; nothing was sent.")
                              : changes.size() == 1
                                  ? QStringLiteral("dry run: 1 value would change; nothing was sent.")
                                  : QStringLiteral("dry run: %1 values would change; nothing was sent.").arg(changes.size()));
        return Success;
    }
    if (!parser.parser.isSet(noBackup)) {
        const QString backupPath = parser.parser.isSet(backup) ? parser.parser.value(backup) : defaultBackupName();
        status = writeBackup(held, backupPath);
        if (status != Success)
            return status;
        err(QStringLiteral("backup of the instrument's set: %1").arg(QDir::toNativeSeparators(backupPath)));
    }

    protocol::Link link(port.get());
    device::writeSet(link, wanted);
    const std::optional<QVector<device::Difference>> differences = device::verify(link, wanted);
    if (link.failure() != protocol::LinkFailure::None) {
        reportLinkFailure(int(link.failure()));
        err(QStringLiteral("the instrument's set may be partly written; nothing was committed."));
        return NoAnswer;
    }
    if (!differences->isEmpty()) {
        err(QStringLiteral("the instrument holds other values than were sent (%1 differences); nothing was committed:")
                .arg(differences->size()));
        const QStringList lines = device::describe(*differences, ListedDifferences, device::Digits::Exact);
        for (const QString &line : lines)
            err(QStringLiteral("  %1").arg(line));
        return NotVerified;
    }
    if (!parser.parser.isSet(commitOption)) {
        err(QStringLiteral("sent and verified; not committed to EEPROM (use --commit, or '%1 commit').")
                .arg(programName()));
        return Success;
    }
    status = commitToEeprom(*port);
    if (status != Success)
        return status;
    err(QStringLiteral("sent, verified and committed to EEPROM."));
    return Success;
}

} // namespace cli
