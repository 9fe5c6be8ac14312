#include "cli.h"

#include "curveimport.h"
#include "curveplot.h"
#include "device.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QIODevice>

namespace cli {

namespace {

constexpr int SmallestSide = 100;
constexpr int LargestSide = 10000;

// A calibration file is a JSON object; a curve file is text that never starts with a brace.
// Telling them apart by the first bytes keeps a large curve file from being read twice.
bool isCalibrationFile(const QString &path)
{
    constexpr qint64 LookAheadBytes = 4096;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(LookAheadBytes).trimmed().startsWith('{');
}

// One curve to draw: the instrument's table, a calibration file's table, or a curve file's
// own points, marked.
int seriesOf(const QString &name, const QString &requestedPort, Port &port, curveplot::Series *series)
{
    series->name = isInstrument(name) ? name : QFileInfo(name).fileName();
    if (!isInstrument(name) && !isCalibrationFile(name)) {
        curveimport::Curve curve;
        const int status = readCurve(name, &curve);
        series->points = curve.points;
        series->markers = true;
        return status;
    }
    device::DeviceSet set;
    const int status = readSource(name, requestedPort, port, false, &set);
    series->points = tableOf(set);
    return status;
}

} // namespace

// Draws curves, or each curve's temperature error against the first, to a PNG or SVG file.
int runPlot(const QStringList &arguments)
{
    Parser parser(commandNamed("plot"), true);
    const QCommandLineOption output = outputOption(QStringLiteral("The picture: FILE.png or FILE.svg. Required."));
    const QCommandLineOption difference(QStringLiteral("difference"),
                                        QStringLiteral("Plots each curve's temperature error in mK against the first."));
    const QCommandLineOption size(QStringLiteral("size"),
                                  QStringLiteral("The picture's size in pixels (default %1x%2).")
                                      .arg(curveplot::DefaultWidth)
                                      .arg(curveplot::DefaultHeight),
                                  QStringLiteral("WxH"));
    parser.parser.addOptions({output, difference, size});
    parser.parser.addPositionalArgument(QStringLiteral("SOURCE..."),
                                        QStringLiteral("Calibration files, curve files, or 'instrument'."));
    int status = Success;
    if (!parser.parse(arguments, &status))
        return status;
    const QStringList names = parser.parser.positionalArguments();
    if (names.isEmpty())
        return parser.usageError(QStringLiteral("takes at least one source"));
    if (parser.parser.isSet(difference) && names.size() < 2)
        return parser.usageError(QStringLiteral("--difference compares at least two sources with the first"));
    const QString path = parser.parser.value(output);
    const bool svg = path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive);
    if (!svg && !path.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
        return parser.usageError(QStringLiteral("-o takes a file name ending in .png or .svg"));
    QSize pixels(curveplot::DefaultWidth, curveplot::DefaultHeight);
    if (parser.parser.isSet(size)) {
        const QRegularExpressionMatch match
            = QRegularExpression(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$")).match(parser.parser.value(size));
        pixels = match.hasMatch() ? QSize(match.captured(1).toInt(), match.captured(2).toInt()) : QSize();
        if (pixels.width() < SmallestSide || pixels.height() < SmallestSide || pixels.width() > LargestSide
            || pixels.height() > LargestSide)
            return parser.usageError(QStringLiteral("--size takes WIDTHxHEIGHT, each %1 to %2 pixels")
                                         .arg(SmallestSide)
                                         .arg(LargestSide));
    }

    Port port;
    QVector<curveplot::Series> series;
    for (const QString &name : names) {
        curveplot::Series one;
        status = seriesOf(name, parser.port(), port, &one);
        if (status != Success)
            return status;
        series.append(one);
    }
    const curveplot::Mode mode = parser.parser.isSet(difference) ? curveplot::Mode::Difference : curveplot::Mode::Curves;
    const curveplot::Written written = svg ? curveplot::writeSvg(path, series, mode, pixels)
                                           : curveplot::writePng(path, series, mode, pixels);
    if (!written.ok()) {
        err(written.error);
        return FileProblem;
    }
    return Success;
}

} // namespace cli
