#include "curveexport.h"

#include "numbers.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>

namespace curveexport {

namespace {

// Data format 2 of the header-plus-breakpoints form: units are volts, temperatures kelvin.
constexpr int VoltsPerKelvinFormat = 2;
// Width of the units column, so the temperatures line up for a reader's eye.
constexpr int UnitsColumnWidth = 12;
constexpr int NumberColumnWidth = 3;

QString message(const char *text)
{
    return QCoreApplication::translate("curveexport", text);
}

// The instrument stores single precision; the shortest decimal of that value reads back
// as exactly what it holds.
QByteArray number(double value)
{
    return numbers::shortest(float(value)).toLatin1();
}

// The direction from one value to the next as the instrument will hold them: two doubles
// that narrow to one float are a repeated value there.
int stepSign(double from, double to)
{
    const float a = float(from);
    const float b = float(to);
    return (b > a) - (b < a);
}

QString rowText(const QVector<Row> &table, int index)
{
    return message(QT_TRANSLATE_NOOP("curveexport", "row %1 (%2 V, %3 K)"))
        .arg(index + 1)
        .arg(numbers::shortest(float(table.at(index).first)), numbers::shortest(float(table.at(index).second)));
}

} // namespace

QString monotonicProblem(const QVector<Row> &table)
{
    if (table.size() < 2)
        return message(QT_TRANSLATE_NOOP("curveexport", "The table has %1 rows; a curve needs at least two.")).arg(table.size());
    for (int index = 0; index < table.size(); ++index) {
        if (!std::isfinite(float(table.at(index).first)) || !std::isfinite(float(table.at(index).second)))
            return message(QT_TRANSLATE_NOOP("curveexport", "The table's %1 is not a finite number.")).arg(rowText(table, index));
    }
    // The instrument looks a temperature up by voltage, so both columns must keep one
    // direction: a step back or a repeated value makes the lookup ambiguous.
    const int voltageDirection = stepSign(table.at(0).first, table.at(1).first);
    const int temperatureDirection = stepSign(table.at(0).second, table.at(1).second);
    for (int index = 1; index < table.size(); ++index) {
        const int voltageStep = stepSign(table.at(index - 1).first, table.at(index).first);
        const int temperatureStep = stepSign(table.at(index - 1).second, table.at(index).second);
        if (voltageStep == 0 || voltageStep != voltageDirection)
            return message(QT_TRANSLATE_NOOP("curveexport", "The table's voltages are not strictly monotonic at %1.")).arg(rowText(table, index));
        if (temperatureStep == 0 || temperatureStep != temperatureDirection)
            return message(QT_TRANSLATE_NOOP("curveexport", "The table's temperatures are not strictly monotonic at %1.")).arg(rowText(table, index));
    }
    return QString();
}

Coefficient coefficientOf(const QVector<Row> &table)
{
    if (table.size() < 2)
        return Coefficient::Positive;
    const double voltageStep = table.last().first - table.first().first;
    const double temperatureStep = table.last().second - table.first().second;
    return voltageStep * temperatureStep < 0.0 ? Coefficient::Negative : Coefficient::Positive;
}

Text to340(const QVector<Row> &table, const CurveHeader &header)
{
    Text result;
    result.error = monotonicProblem(table);
    if (!result.ok())
        return result;

    QVector<Row> rows = table;
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.first < b.first; });
    const double highest = std::max_element(rows.cbegin(), rows.cend(), [](const Row &a, const Row &b) {
                               return a.second < b.second;
                           })->second;
    const Coefficient coefficient = coefficientOf(table);

    QByteArray &text = result.text;
    text += "Sensor Model:  " + header.sensorModel.toUtf8() + '\n';
    text += "Serial Number:  " + header.serialNumber.toUtf8() + '\n';
    text += "Data Format:  " + QByteArray::number(VoltsPerKelvinFormat) + " (Volts/Kelvin)\n";
    text += "SetPoint Limit:  " + number(highest) + " (Kelvin)\n";
    text += "Temperature coefficient:  " + QByteArray::number(int(coefficient))
            + (coefficient == Coefficient::Negative ? " (Negative)\n" : " (Positive)\n");
    text += "Number of Breakpoints:  " + QByteArray::number(rows.size()) + '\n';
    text += "\nNo.  Units  Temperature (K)\n";
    for (int index = 0; index < rows.size(); ++index) {
        text += QByteArray::number(index + 1).rightJustified(NumberColumnWidth) + "  "
                + number(rows.at(index).first).leftJustified(UnitsColumnWidth) + "  "
                + number(rows.at(index).second) + '\n';
    }
    return result;
}

QByteArray toCsv(const QVector<Row> &table)
{
    QByteArray text = "voltage_V,temperature_K\n";
    for (const Row &row : table)
        text += number(row.first) + ',' + number(row.second) + '\n';
    return text;
}

} // namespace curveexport
