#include "commands.h"

#include "output.h"
#include "sources.h"

#include "curveimport.h"
#include "curvemath.h"
#include "device.h"
#include "tablespacing.h"

#include <QDir>
#include <QIODevice>

#include <algorithm>
#include <optional>

namespace cli {

namespace {

// Says how well the 100-row table follows the curve it came from: at the file's points and
// between them, where the curve is the monotone cubic through its points.
void describeResampling(const curveimport::Curve &curve, const device::DeviceSet &set)
{
    const auto [coldest, warmest] = std::minmax_element(
        curve.points.cbegin(), curve.points.cend(),
        [](const curveimport::Point &a, const curveimport::Point &b) { return a.second < b.second; });
    const curvemath::WorstError worst
        = curvemath::largestErrorAlongCurve(tableOf(set), curveimport::sortedAndMerged(curve.points));
    err(QStringLiteral("read %1 points (columns: %2), %3 K to %4 K; largest interpolation error of the table %5 mK at %6 K.")
            .arg(curve.points.size())
            .arg(curveimport::columnOrderText(curve.columnOrder))
            .arg(coldest->second)
            .arg(warmest->second)
            .arg(QString::number(worst.millikelvin, 'f', 3))
            .arg(worst.kelvin));
}

const QString ConstantsFrom = QStringLiteral("constants-from");
const QString Spacing = QStringLiteral("spacing");

// A calibration file whose table is a sensor curve resampled as the window's import does,
// or with its rows placed by the curve's curvature, with the constants of a calibration file
// or the instrument.
int run(const Invocation &invocation)
{
    if (!invocation.isSet(ConstantsFrom))
        return missingConstantsSource(invocation);
    const std::optional<tablespacing::Spacing> spacing
        = invocation.isSet(Spacing) ? tablespacing::spacingNamed(invocation.value(Spacing))
                                    : tablespacing::Spacing::Geometric;
    if (!spacing)
        return invocation.usageError(QStringLiteral("--spacing takes curvature or geometric, not '%1'")
                                         .arg(invocation.value(Spacing)));

    curveimport::Curve curve;
    int status = readCurve(invocation.arguments().first(), &curve);
    if (status != Success)
        return status;
    const curveimport::Result table = tablespacing::resample(curve.points, *spacing);
    if (!table.ok()) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(invocation.arguments().first()), table.error));
        return FileProblem;
    }
    Port port;
    device::DeviceSet constants;
    status = readSource(invocation.value(ConstantsFrom), invocation.port(), port, Slopes::NonZero, &constants);
    if (status != Success)
        return status;
    const device::DeviceSet set = device::withTable(constants, table.rows);
    describeResampling(curve, set);
    return writeCalibrationFile(set, invocation.output());
}

} // namespace

Command importCommand()
{
    return {QStringLiteral("import"),
            QStringLiteral("a calibration file whose table is a sensor curve, resampled"),
            {{QStringLiteral("CURVE"), QStringLiteral("The sensor curve file.")}},
            {constantsFromOption(), outputOption(QStringLiteral("Writes FILE instead of standard output.")),
             QCommandLineOption(Spacing,
                                QStringLiteral("Where the table's rows go: geometric (the default; temperatures spaced "
                                               "geometrically, as the window's import does) or curvature (where the "
                                               "curve bends, for the smallest interpolation error)."),
                                QStringLiteral("SPACING"))},
            run};
}

} // namespace cli
