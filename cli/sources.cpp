#include "sources.h"

#include "calibrationfile.h"
#include "command.h"
#include "device.h"
#include "instrumentport.h"

#include <QDir>
#include <QIODevice>

namespace cli {

namespace {

// A set with a zero slope would collapse every reading of the instrument that gets it.
int refuseZeroSlope(const QString &source, const device::DeviceSet &set)
{
    if (const auto slope = device::zeroSlope(set)) {
        err(QStringLiteral("%1: %2.").arg(source, device::zeroSlopeText(*slope)));
        return FileProblem;
    }
    return Success;
}

} // namespace

bool namesInstrument(const QString &source)
{
    return source == QLatin1String("instrument");
}

int readCalibrationFile(const QString &path, Slopes slopes, device::DeviceSet *set)
{
    const calibrationfile::StrictResult result = calibrationfile::readStrict(path);
    if (!result.set) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), result.error));
        return FileProblem;
    }
    *set = device::toDevice(*result.set);
    return slopes == Slopes::NonZero ? refuseZeroSlope(QDir::toNativeSeparators(path), *set) : Success;
}

int readSource(const QString &source, const QString &requestedPort, Port &port, Slopes slopes,
               device::DeviceSet *set)
{
    if (!namesInstrument(source))
        return readCalibrationFile(source, slopes, set);
    const int status = readInstrument(requestedPort, port, set);
    if (status != Success || slopes == Slopes::Any)
        return status;
    return refuseZeroSlope(source, *set);
}

int readCurve(const QString &path, curveimport::Curve *curve)
{
    *curve = curveimport::readFile(path);
    if (!curve->ok()) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), curve->error));
        return FileProblem;
    }
    return Success;
}

QVector<QPair<double, double>> tableOf(const device::DeviceSet &set)
{
    return device::toCalibrationSet(set).table;
}

} // namespace cli
