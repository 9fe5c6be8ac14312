#include "cli.h"

#include "calibrationfile.h"
#include "device.h"

#include <QDir>
#include <QIODevice>

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

// Writes a set read from the instrument as a calibration file, exactly: each value is the
// shortest decimal of the single-precision value the instrument sent.
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
    if (path.isEmpty()) {
        outBytes(bytes);
        return Success;
    }
    const calibrationfile::SaveStatus saved = calibrationfile::saveBytes(path, bytes);
    if (saved != calibrationfile::SaveStatus::Saved) {
        err(QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(path), calibrationfile::message(saved)));
        return FileProblem;
    }
    return Success;
}

// The instrument's calibration set as a calibration file, on stdout or in FILE.
int runGet(const QStringList &arguments)
{
    Parser parser(commandNamed("get"), true);
    const QCommandLineOption output = outputOption(
        QStringLiteral("Writes the file FILE (replaced only once complete) instead of standard output."));
    parser.parser.addOption(output);
    int status = Success;
    if (!parser.parse(arguments, &status))
        return status;
    if (!parser.parser.positionalArguments().isEmpty())
        return parser.usageError(QStringLiteral("takes no arguments; the file goes after -o"));
    if (parser.parser.isSet(output) && parser.parser.value(output).isEmpty())
        return parser.usageError(QStringLiteral("-o needs a file name"));

    Port port;
    device::DeviceSet set;
    status = readInstrument(parser.port(), port, &set);
    if (status != Success)
        return status;
    return writeCalibrationFile(set, parser.parser.value(output));
}

} // namespace cli
