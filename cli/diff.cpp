#include "commands.h"

#include "instrumentport.h"
#include "sources.h"

#include "curvemath.h"
#include "device.h"
#include "numbers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QIODevice>

#include <cmath>
#include <limits>

namespace cli {

namespace {

QJsonValue number(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue();
}

// The temperature error a table difference means, in mK: for a voltage, the difference over
// the first table's slope at that row; for a temperature, the difference itself. NaN for the
// constants, and where the curve is flat.
double millikelvin(const device::Difference &difference, const QVector<QPair<double, double>> &table)
{
    const double change = double(difference.second) - double(difference.first);
    switch (difference.field) {
    case device::Field::Voltage:
        return curvemath::millikelvinAt(table, difference.row, change);
    case device::Field::Temperature:
        return change * curvemath::MillikelvinPerKelvin;
    default:
        return std::numeric_limits<double>::quiet_NaN();
    }
}

QString millikelvinText(double value)
{
    return std::isfinite(value) ? QStringLiteral("  (%1 mK)").arg(QString::number(value, 'f', 1)) : QString();
}

const QString Json = QStringLiteral("json");

// Compares two calibration sets, each a calibration file or the instrument, as the
// single-precision values the instrument would hold.
int run(const Invocation &invocation)
{
    const QStringList names = invocation.arguments();
    // Files are checked before the instrument is asked for anything.
    device::DeviceSet sets[2];
    bool fromInstrument[2];
    for (int i = 0; i < 2; ++i) {
        fromInstrument[i] = namesInstrument(names.at(i));
        if (!fromInstrument[i]) {
            const int status = readCalibrationFile(names.at(i), Slopes::Any, &sets[i]);
            if (status != Success)
                return status;
        }
    }
    if (fromInstrument[0] || fromInstrument[1]) {
        Port port;
        device::DeviceSet held;
        const int status = readInstrument(invocation.port(), port, &held);
        if (status != Success)
            return status;
        for (int i = 0; i < 2; ++i) {
            if (fromInstrument[i])
                sets[i] = held;
        }
    }

    const QVector<device::Difference> differences = device::compare(sets[0], sets[1]);
    const QVector<QPair<double, double>> table = tableOf(sets[0]);
    if (invocation.isSet(Json)) {
        QJsonArray list;
        for (const device::Difference &difference : differences) {
            list.append(QJsonObject{
                {QStringLiteral("field"), difference.key()},
                {QStringLiteral("row"), difference.row < 0 ? QJsonValue() : QJsonValue(difference.row + 1)},
                {QStringLiteral("a"), number(numbers::shortestAsDouble(difference.first))},
                {QStringLiteral("b"), number(numbers::shortestAsDouble(difference.second))},
                {QStringLiteral("mK"), number(millikelvin(difference, table))},
            });
        }
        out(QJsonDocument(QJsonObject{{QStringLiteral("identical"), differences.isEmpty()},
                                           {QStringLiteral("differences"), list}})
                     .toJson(QJsonDocument::Indented));
    } else {
        QString text;
        for (const device::Difference &difference : differences) {
            text += QStringLiteral("%1: %2 %3%4\n")
                        .arg(difference.name(), numbers::shortest(difference.first), numbers::shortest(difference.second),
                             millikelvinText(millikelvin(difference, table)));
        }
        out(text);
    }
    return differences.isEmpty() ? Success : Different;
}

} // namespace

Command diffCommand()
{
    return {QStringLiteral("diff"),
            QStringLiteral("compare two calibration sets (files or 'instrument')"),
            {{QStringLiteral("A"), QStringLiteral("A calibration file, or 'instrument'.")},
             {QStringLiteral("B"), QStringLiteral("A calibration file, or 'instrument'.")}},
            {QCommandLineOption(Json,
                                QStringLiteral("{\"identical\": bool, \"differences\": [{\"field\", \"row\", \"a\", \"b\", "
                                               "\"mK\"}]}; mK is the temperature error of a table difference."))},
            run};
}

} // namespace cli
