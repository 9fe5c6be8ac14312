#pragma once

#include "calibrationset.h"

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

// Writes a calibration table as a standard curve file: the header-plus-breakpoints form that
// instruments and curve tools of the field read, or a plain CSV.
namespace curveexport {

using Row = QPair<double, double>; // (voltage in V, temperature in K)

// What the header names; free text, written as given.
struct CurveHeader
{
    QString sensorModel;
    QString serialNumber;
};

// The header's "Temperature coefficient:" values.
enum class Coefficient { Negative = 1, Positive = 2 };

struct Text
{
    QByteArray text;
    QString error; // non-empty when the table cannot be written in this form
    bool ok() const { return error.isEmpty(); }
};

// Empty when the rows form a curve an instrument accepts: at least two rows, every value
// finite, temperature and voltage each strictly rising or strictly falling from row to row.
// Otherwise a sentence naming the first row (numbered from 1) that breaks the order.
QString monotonicProblem(const QVector<Row> &table);

// Negative when the voltage falls as the temperature rises (a diode), else positive.
Coefficient coefficientOf(const QVector<Row> &table);

// The header-plus-breakpoints text (data format 2, volts per kelvin), rows ordered by rising
// voltage as the format requires; refused when the table is not strictly monotonic.
Text to340(const QVector<Row> &table, const CurveHeader &header);

// "voltage_V,temperature_K" and the rows in the table's order.
QByteArray toCsv(const QVector<Row> &table);

} // namespace curveexport
