#include "cli.h"

#include "curveimport.h"
#include "curvemath.h"
#include "device.h"

#include <QDir>
#include <QIODevice>

#include <algorithm>

namespace cli {

device::DeviceSet withTable(const device::DeviceSet &constants, const QVector<curveimport::Point> &rows)
{
    device::DeviceSet set = constants;
    for (int row = 0; row < TableRows && row < rows.size(); ++row)
        set.table[row] = {float(rows.at(row).first), float(rows.at(row).second)};
    return set;
}

// Says how well the 100-row table follows the curve it came from.
void describeResampling(const curveimport::Curve &curve, const device::DeviceSet &set)
{
    const auto [coldest, warmest] = std::minmax_element(
        curve.points.cbegin(), curve.points.cend(),
        [](const curveimport::Point &a, const curveimport::Point &b) { return a.second < b.second; });
    const curvemath::WorstError worst = curvemath::largestError(tableOf(set), curve.points);
    err(QStringLiteral("read %1 points (columns: %2), %3 K to %4 K; largest interpolation error of the table %5 mK at %6 K.")
            .arg(curve.points.size())
            .arg(curveimport::columnOrderText(curve.columnOrder))
            .arg(coldest->second)
            .arg(warmest->second)
            .arg(QString::number(worst.millikelvin, 'f', 3))
            .arg(worst.kelvin));
}

// A calibration file whose table is a sensor curve resampled as the window's import does,
// with the constants of a calibration file or the instrument.
int runImport(const QStringList &arguments)
{
    Parser parser(commandNamed("import"), true);
    const QCommandLineOption constantsOption = constantsFromOption();
    const QCommandLineOption output = outputOption(QStringLiteral("Writes FILE instead of standard output."));
    parser.parser.addOptions({constantsOption, output});
    parser.parser.addPositionalArgument(QStringLiteral("CURVE"), QStringLiteral("The sensor curve file."));
    int status = Success;
    if (!parser.parse(arguments, &status))
        return status;
    if (parser.parser.positionalArguments().size() != 1)
        return parser.usageError(QStringLiteral("takes exactly one curve file"));
    if (!parser.parser.isSet(constantsOption))
        return missingConstantsSource(parser);

    curveimport::Curve curve;
    status = readCurve(parser.parser.positionalArguments().first(), &curve);
    if (status != Success)
        return status;
    const curveimport::Result table = curveimport::resample(curve.points);
    if (!table.ok()) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(parser.parser.positionalArguments().first()), table.error));
        return FileProblem;
    }
    Port port;
    device::DeviceSet constants;
    status = readSource(parser.parser.value(constantsOption), parser.port(), port, true, &constants);
    if (status != Success)
        return status;
    const device::DeviceSet set = withTable(constants, table.rows);
    describeResampling(curve, set);
    return writeCalibrationFile(set, parser.parser.value(output));
}

} // namespace cli
