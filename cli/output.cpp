#include "output.h"

#include "calibrationfile.h"
#include "command.h"
#include "device.h"

#include <QDir>

#include <cmath>

namespace cli {

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

// Each value is written as the shortest decimal of its single-precision value, so a set read
// from the instrument is kept exactly.
int writeCalibrationFile(const device::DeviceSet &set, const QString &path)
{
    const QString nonFinite = firstNonFinite(set);
    if (!nonFinite.isEmpty()) {
        err(QStringLiteral("the instrument holds a value that a calibration file cannot hold: %1.").arg(nonFinite));
        return FileProblem;
    }
    return writeOutput(path, calibrationfile::serialize(device::toCalibrationSet(set)));
}

int writeOutput(const QString &path, const QByteArray &bytes)
{
    // A failed write is said once, as the program ends.
    if (path.isEmpty())
        return out(bytes) ? Success : FileProblem;
    const calibrationfile::SaveStatus saved = calibrationfile::saveBytes(path, bytes);
    if (saved != calibrationfile::SaveStatus::Saved) {
        err(QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(path), calibrationfile::message(saved)));
        return FileProblem;
    }
    return Success;
}

} // namespace cli
