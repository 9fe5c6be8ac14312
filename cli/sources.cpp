#include "sources.h"

#include "calibrationfile.h"
#include "command.h"
#include "device.h"
#include "instrumentport.h"

#include <QDir>
#include <QFile>
#include <QSerialPort>

namespace cli {

bool namesInstrument(const QString &source)
{
    return source == QLatin1String("instrument");
}

int readCalibrationFile(const QString &path, Slopes slopes, device::DeviceSet *set)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err(QStringLiteral("cannot read %1: %2.").arg(QDir::toNativeSeparators(path), file.errorString()));
        return FileProblem;
    }
    const QByteArray bytes = file.read(calibrationfile::MaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        err(QStringLiteral("cannot read %1: %2.").arg(QDir::toNativeSeparators(path), file.errorString()));
        return FileProblem;
    }
    if (bytes.size() > calibrationfile::MaxFileBytes) {
        err(QStringLiteral("%1 is far too large for a calibration file.").arg(QDir::toNativeSeparators(path)));
        return FileProblem;
    }
    const calibrationfile::StrictResult result = calibrationfile::parseStrict(bytes);
    if (!result.set) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), result.error));
        return FileProblem;
    }
    *set = device::toDevice(*result.set);
    if (slopes == Slopes::NonZero) {
        if (const auto slope = device::zeroSlope(*set)) {
            err(*slope == device::Field::AdcSlope
                    ? QStringLiteral("%1: ADCCoeffs: the ADC slope is 0.").arg(QDir::toNativeSeparators(path))
                    : QStringLiteral("%1: DACCoeffs: the DAC slope is 0.").arg(QDir::toNativeSeparators(path)));
            return FileProblem;
        }
    }
    return Success;
}

int readSource(const QString &source, const QString &requestedPort, QSerialPort &port, Slopes slopes,
               device::DeviceSet *set)
{
    if (!namesInstrument(source))
        return readCalibrationFile(source, slopes, set);
    const int status = readInstrument(requestedPort, port, set);
    if (status != Success || slopes == Slopes::Any)
        return status;
    if (const auto slope = device::zeroSlope(*set)) {
        err(QStringLiteral("the instrument's %1 slope is 0; take the constants from a calibration file instead.")
                .arg(*slope == device::Field::AdcSlope ? QStringLiteral("ADC") : QStringLiteral("DAC")));
        return FileProblem;
    }
    return Success;
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

device::DeviceSet withTable(const device::DeviceSet &constants, const QVector<curveimport::Point> &rows)
{
    device::DeviceSet set = constants;
    for (int row = 0; row < TableRows && row < rows.size(); ++row)
        set.table[row] = {float(rows.at(row).first), float(rows.at(row).second)};
    return set;
}

QVector<QPair<double, double>> tableOf(const device::DeviceSet &set)
{
    return device::toCalibrationSet(set).table;
}

} // namespace cli
