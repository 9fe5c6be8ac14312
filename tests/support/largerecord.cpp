#include "largerecord.h"

#include "curvemath.h"
#include "demofirmware.h"

#include <QJsonArray>
#include <QRandomGenerator>

#include <cmath>

namespace recordsupport {

namespace {

constexpr double LowKelvin = 20.0;
constexpr double HighKelvin = 480.0;
constexpr qint64 SampleMs = 100;
constexpr double ReferenceNoiseKelvin = 0.001;
constexpr quint32 Seed = 7;
constexpr int CapturedSamples = 10;

QJsonObject procedureJson(const QJsonArray &points)
{
    return QJsonObject{
        {QStringLiteral("kind"), QStringLiteral("sensor")},
        {QStringLiteral("points"), points},
        {QStringLiteral("reference"), QJsonObject{{QStringLiteral("port"), QStringLiteral("manual")}, {QStringLiteral("unit"), QStringLiteral("K")},
                                                  {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("R")},
                                                                                              {QStringLiteral("expanded_uncertainty"), 0.002},
                                                                                              {QStringLiteral("due"), QStringLiteral("2099-01-01")}}},
                                                  {QStringLiteral("resolution"), 0.001}}},
        {QStringLiteral("stability"), QJsonObject{{QStringLiteral("interval"), 0.1}, {QStringLiteral("window"), 1},
                                                  {QStringLiteral("slope"), 2.0}, {QStringLiteral("sd"), 0.05},
                                                  {QStringLiteral("samples"), CapturedSamples}, {QStringLiteral("timeout"), 30}}},
        {QStringLiteral("tolerance"), 0.05},
        {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("LARGE-1")},
                                                    {QStringLiteral("lab"), QStringLiteral("Bench Lab")}}}};
}

device::DeviceSet factorySet()
{
    const sim::Constants constants = sim::DemoFirmware::factoryConstants();
    device::DeviceSet set;
    set.adcSlope = constants.adcSlope;
    set.dacSlope = constants.dacSlope;
    for (int row = 0; row < TableRows; ++row)
        set.table[row] = {constants.table[size_t(row)].first, constants.table[size_t(row)].second};
    return set;
}

} // namespace

record::Record largeRecord(int points, int samples)
{
    record::Record rec;
    QJsonArray nominals;
    for (int i = 0; i < points; ++i)
        nominals.append(LowKelvin + i * (HighKelvin - LowKelvin) / std::max(1, points - 1));
    rec.procedure = procedureJson(nominals);
    rec.software = QStringLiteral("largerecord");
    rec.started = QStringLiteral("2026-12-08T10:00:00.000Z");
    rec.finished = QStringLiteral("2026-12-08T11:00:00.000Z");
    rec.state = record::State::Complete;
    rec.asFound = factorySet();
    const QVector<curveimport::Point> table = device::toCalibrationSet(rec.asFound).table;
    QRandomGenerator noise(Seed);
    for (const QJsonValue &nominal : qAsConst(nominals)) {
        analysis::RawPoint point;
        point.nominal = nominal.toDouble();
        point.phase = analysis::Phase::AsFound;
        for (int s = 0; s < samples; ++s) {
            const double reference = point.nominal + ReferenceNoiseKelvin * noise.generateDouble();
            const double volts = sim::DemoFirmware::diodeVoltage(reference) + 0.002 + 0.003 * std::sin(reference / 120.0);
            point.samples.append({qint64(s) * SampleMs, reference, double(float(volts)),
                                  double(float(curvemath::tableTemperature(table, volts)))});
        }
        // Captured at the end of its readings on the operator's word: the judge would have
        // captured it long before.
        point.capturedFrom = std::max(0, samples - CapturedSamples);
        point.captureReason = QStringLiteral("held for the record's size");
        rec.points.append(point);
    }
    return rec;
}

} // namespace recordsupport
