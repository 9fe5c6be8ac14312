#include "sendset.h"

#include "calibrationfile.h"
#include "ports.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cmath>

namespace sendset {

namespace {

QString message(const char *text)
{
    return QCoreApplication::translate("sendset", text);
}

} // namespace

QString defaultBackupName()
{
    return QStringLiteral("thermocal-backup-%1.json")
        .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")));
}

QString firstNonFinite(const device::DeviceSet &set)
{
    QVector<device::Difference> values{{device::Field::AdcSlope, -1, set.adcSlope},
                                       {device::Field::AdcIntercept, -1, set.adcIntercept},
                                       {device::Field::DacSlope, -1, set.dacSlope},
                                       {device::Field::DacIntercept, -1, set.dacIntercept}};
    for (int row = 0; row < set.table.size(); ++row) {
        values.append({device::Field::Voltage, row, set.table.at(row).first});
        values.append({device::Field::Temperature, row, set.table.at(row).second});
    }
    for (const device::Difference &value : qAsConst(values)) {
        if (!std::isfinite(value.first))
            return QStringLiteral("%1 is %2").arg(value.name(), QString::number(double(value.first)));
    }
    return QString();
}

QString writeBackup(const device::DeviceSet &held, const QString &path)
{
    const QByteArray bytes = calibrationfile::serialize(device::toCalibrationSet(held));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        return message(QT_TRANSLATE_NOOP("sendset", "cannot write the backup %1: %2"))
            .arg(QDir::toNativeSeparators(path),
                 QFile::exists(path) ? message(QT_TRANSLATE_NOOP("sendset", "the file exists already")) : file.errorString());
    }
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString error = message(QT_TRANSLATE_NOOP("sendset", "cannot write the backup %1: %2"))
                                  .arg(QDir::toNativeSeparators(path), file.errorString());
        file.remove();
        return error;
    }
    file.close();
    return QString();
}

Result send(ports::Port &port, const device::DeviceSet &wanted, bool commit)
{
    Result result;
    protocol::Link link(&port);
    device::writeSet(link, wanted);
    const std::optional<QVector<device::Difference>> differences = device::verify(link, wanted);
    result.failure = link.failure();
    if (result.failure != protocol::LinkFailure::None)
        return result;
    result.differences = *differences;
    if (!result.differences.isEmpty()) {
        result.outcome = Outcome::Different;
        return result;
    }
    result.outcome = Outcome::Verified;
    if (commit) {
        result.failure = commitToEeprom(port);
        if (result.failure != protocol::LinkFailure::None) {
            result.outcome = Outcome::CommitFailed;
            return result;
        }
        result.committed = true;
    }
    return result;
}

protocol::LinkFailure commitToEeprom(ports::Port &port)
{
    protocol::Link link(&port);
    device::commit(link);
    // The commit is one byte sent without waiting for an answer.
    while (link.failure() == protocol::LinkFailure::None && port.device().bytesToWrite() > 0
           && port.device().waitForBytesWritten(protocol::ReplyTimeoutMs)) {
    }
    return link.failure();
}

} // namespace sendset
