// Writes the example files from the demo instrument's diode curve:
//   sample-curve.txt          a sensor curve as "Open table data..." reads it
//   sample-calibration.json   a calibration file as "Save calibrations..." writes it
//   standard-curve.340        the demo sensor's standard curve as a standard curve file
// Usage: thermocal-make-examples DIR          writes the files into DIR
//        thermocal-make-examples --check DIR  fails unless DIR holds exactly these files
#include "calibrationfile.h"
#include "curveexport.h"
#include "demofirmware.h"
#include "numbers.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QStringList>

#include <cmath>
#include <cstdio>

namespace {

// Curve files from sensor makers list a few hundred points, denser where the curve bends.
constexpr int CurvePoints = 300;
constexpr int CurveVoltageDecimals = 6;   // microvolts, as such files give them
constexpr int CurveKelvinDecimals = 3;

// The example calibration belongs to a second sensor of the same type whose curve lies this
// far above the standard one, so loading it and sending it visibly moves the reading.
constexpr double SecondSensorOffsetVolts = 0.010;

double geometricKelvin(int index, int count)
{
    using sim::DemoFirmware;
    const double ratio = DemoFirmware::HighestKelvin / DemoFirmware::LowestKelvin;
    return DemoFirmware::LowestKelvin * std::pow(ratio, double(index) / (count - 1));
}

QByteArray sampleCurve()
{
    QByteArray text = "Voltage (V)\tTemperature (K)\n";
    for (int i = 0; i < CurvePoints; ++i) {
        // The voltage belongs to the temperature as written, not to the unrounded one.
        const double kelvin = QString::number(geometricKelvin(i, CurvePoints), 'f', CurveKelvinDecimals).toDouble();
        const double volts = sim::DemoFirmware::diodeVoltage(kelvin);
        text += QString::number(volts, 'f', CurveVoltageDecimals).toLatin1() + '\t'
                + QString::number(kelvin, 'f', CurveKelvinDecimals).toLatin1() + '\n';
    }
    return text;
}

// A value as it stands in the window, where every number shows with six significant digits:
// what the program saves after "Get Constants" or an import.
double shown(double value)
{
    return numbers::format(value).toDouble();
}

QByteArray sampleCalibration()
{
    const sim::Constants factory = sim::DemoFirmware::factoryConstants();
    CalibrationSet set;
    set.adcSlope = shown(double(factory.adcSlope));
    set.adcIntercept = shown(double(factory.adcIntercept));
    set.dacSlope = shown(double(factory.dacSlope));
    set.dacIntercept = shown(double(factory.dacIntercept));
    for (int row = 0; row < sim::TableRows; ++row) {
        const float kelvin = factory.table[size_t(row)].second;
        const double volts = sim::DemoFirmware::diodeVoltage(double(kelvin)) + SecondSensorOffsetVolts;
        set.table.append({shown(double(float(volts))), shown(double(kelvin))});
    }
    return calibrationfile::serialize(set);
}

// The table the demo instrument leaves the factory with: the standard curve of its sensor type.
QByteArray standardCurve()
{
    QVector<curveexport::Row> table;
    for (const auto &row : sim::DemoFirmware::factoryConstants().table)
        table.append({double(row.first), double(row.second)});
    const curveexport::Text text = curveexport::to340(table, {QStringLiteral("thermocal demo diode"),
                                                              QStringLiteral("standard curve")});
    if (!text.ok())
        std::fprintf(stderr, "the demo's standard curve cannot be written: %s\n", qPrintable(text.error));
    return text.text;
}

int usage()
{
    std::fprintf(stderr, "usage: thermocal-make-examples [--check] DIR\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = application.arguments().mid(1);
    const bool check = !arguments.isEmpty() && arguments.first() == QLatin1String("--check");
    if (check)
        arguments.removeFirst();
    if (arguments.size() != 1)
        return usage();
    const QDir directory(arguments.first());

    QMap<QString, QByteArray> files;
    files.insert(QStringLiteral("sample-curve.txt"), sampleCurve());
    files.insert(QStringLiteral("sample-calibration.json"), sampleCalibration());
    files.insert(QStringLiteral("standard-curve.340"), standardCurve());

    int status = 0;
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        const QString path = directory.filePath(file.key());
        QFile target(path);
        if (check) {
            if (!target.open(QIODevice::ReadOnly) || target.readAll() != file.value()) {
                std::fprintf(stderr, "%s is not what thermocal-make-examples writes; run examples/make-examples.sh\n",
                             qPrintable(path));
                status = 1;
            }
            continue;
        }
        if (!target.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || target.write(file.value()) != file.value().size() || !target.flush()) {
            std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path), qPrintable(target.errorString()));
            status = 1;
            continue;
        }
        std::printf("wrote %s\n", qPrintable(path));
    }
    return status;
}
