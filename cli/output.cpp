#include "output.h"

#include "calibrationfile.h"
#include "command.h"
#include "device.h"
#include "sendset.h"

#include <QDir>

namespace cli {

// Each value is written as the shortest decimal of its single-precision value, so a set read
// from the instrument is kept exactly.
int writeCalibrationFile(const device::DeviceSet &set, const QString &path)
{
    const QString nonFinite = sendset::firstNonFinite(set);
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
