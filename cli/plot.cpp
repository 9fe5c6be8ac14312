#include "commands.h"

#include "sources.h"

#include "curveimport.h"
#include "curveplot.h"
#include "device.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPort>

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
int seriesOf(const QString &name, const QString &requestedPort, QSerialPort &port, curveplot::Series *series)
{
    series->name = namesInstrument(name) ? name : QFileInfo(name).fileName();
    if (!namesInstrument(name) && !isCalibrationFile(name)) {
        curveimport::Curve curve;
        const int status = readCurve(name, &curve);
        series->points = curve.points;
        series->markers = true;
        return status;
    }
    device::DeviceSet set;
    const int status = readSource(name, requestedPort, port, Slopes::Any, &set);
    series->points = tableOf(set);
    return status;
}

const QString Difference = QStringLiteral("difference");
const QString Size = QStringLiteral("size");

// Draws curves, or each curve's temperature error against the first, to a PNG or SVG file.
int run(const Invocation &invocation)
{
    const QStringList names = invocation.arguments();
    if (invocation.isSet(Difference) && names.size() < 2)
        return invocation.usageError(QStringLiteral("--difference compares at least two sources with the first"));
    const QString path = invocation.output();
    const bool svg = path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive);
    if (!svg && !path.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
        return invocation.usageError(QStringLiteral("-o takes a file name ending in .png or .svg"));
    QSize pixels(curveplot::DefaultWidth, curveplot::DefaultHeight);
    if (invocation.isSet(Size)) {
        const QRegularExpressionMatch match
            = QRegularExpression(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$")).match(invocation.value(Size));
        pixels = match.hasMatch() ? QSize(match.captured(1).toInt(), match.captured(2).toInt()) : QSize();
        if (pixels.width() < SmallestSide || pixels.height() < SmallestSide || pixels.width() > LargestSide
            || pixels.height() > LargestSide)
            return invocation.usageError(QStringLiteral("--size takes WIDTHxHEIGHT, each %1 to %2 pixels")
                                         .arg(SmallestSide)
                                         .arg(LargestSide));
    }

    QSerialPort port;
    QVector<curveplot::Series> series;
    for (const QString &name : names) {
        curveplot::Series one;
        const int status = seriesOf(name, invocation.port(), port, &one);
        if (status != Success)
            return status;
        series.append(one);
    }
    const curveplot::Mode mode = invocation.isSet(Difference) ? curveplot::Mode::Difference : curveplot::Mode::Curves;
    const curveplot::Written written = svg ? curveplot::writeSvg(path, series, mode, pixels)
                                           : curveplot::writePng(path, series, mode, pixels);
    if (!written.ok()) {
        err(written.error);
        return FileProblem;
    }
    return Success;
}

} // namespace

Command plotCommand()
{
    return {QStringLiteral("plot"),
            QStringLiteral("draw curves, or their temperature differences, to PNG or SVG"),
            {{QStringLiteral("SOURCE..."), QStringLiteral("Calibration files, curve files, or 'instrument'.")}},
            {outputOption(QStringLiteral("The picture: FILE.png or FILE.svg. Required.")),
             QCommandLineOption(Difference, QStringLiteral("Plots each curve's temperature error in mK against the first.")),
             QCommandLineOption(Size,
                                QStringLiteral("The picture's size in pixels (default %1x%2).")
                                    .arg(curveplot::DefaultWidth)
                                    .arg(curveplot::DefaultHeight),
                                QStringLiteral("WxH"))},
            run,
            PortOption::Offered,
            Application::Gui};
}

} // namespace cli
