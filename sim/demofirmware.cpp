#include "demofirmware.h"

#include "curvemath.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace sim {

namespace {

constexpr double TwoPi = 6.283185307179586;

// The bath wanders by a few tenths of a kelvin over minutes, as a dewar's level and the room
// change; the second, faster swing keeps consecutive readings from looking like a straight line.
constexpr double SlowSwingKelvin = 0.25;
constexpr double SlowPeriodSeconds = 97.0;
constexpr double FastSwingKelvin = 0.08;
constexpr double FastPeriodSeconds = 23.0;
constexpr double FastPhase = 1.3;

// Electrical noise, redrawn this many times a second; a pure function of the time slot, so the
// same moment always reads the same.
constexpr double NoiseKelvin = 0.004;
constexpr double NoiseSlotsPerSecond = 20.0;

// Diode curve: a linear fall plus the low-temperature rise.
constexpr double DiodeOffsetVolts = 1.165;
constexpr double DiodeVoltsPerKelvin = 0.00215;
constexpr double DiodeRiseVolts = 0.52;
constexpr double DiodeRiseKelvin = 15.0;

} // namespace

// A well-mixed 64-bit hash (splitmix64's finaliser) spread onto [-1, 1].
double noiseAt(qint64 slot)
{
    quint64 z = quint64(slot) + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return double(z >> 11) / double(1ULL << 53) * 2.0 - 1.0;
}

DemoFirmware::DemoFirmware(Clock clock)
    : m_clock(std::move(clock))
{
    if (!m_clock) {
        const auto start = std::chrono::steady_clock::now();
        m_clock = [start] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
    }
    constants = factoryConstants();
    eeprom = constants;
}

double DemoFirmware::diodeVoltage(double kelvin)
{
    return DiodeOffsetVolts - DiodeVoltsPerKelvin * kelvin
           + DiodeRiseVolts * std::exp(-kelvin / DiodeRiseKelvin);
}

Constants DemoFirmware::factoryConstants()
{
    Constants factory;
    factory.adcSlope = float(AdcVoltsPerCount);
    factory.adcIntercept = 0.0f;
    factory.dacSlope = float(DacVoltsPerCount);
    factory.dacIntercept = 0.0f;
    const double ratio = std::pow(HighestKelvin / LowestKelvin, 1.0 / (TableRows - 1));
    for (int row = 0; row < TableRows; ++row) {
        const double kelvin = LowestKelvin * std::pow(ratio, row);
        factory.table[size_t(row)] = {float(diodeVoltage(kelvin)), float(kelvin)};
    }
    return factory;
}

double DemoFirmware::tableTemperature(const std::array<std::pair<float, float>, TableRows> &table,
                                      double voltage)
{
    QVector<curvemath::Point> rows;
    rows.reserve(TableRows);
    for (const auto &row : table)
        rows.append({row.first, row.second});
    return curvemath::tableTemperature(rows, voltage);
}

double DemoFirmware::sensorTemperatureAt(double seconds)
{
    return BathKelvin + SlowSwingKelvin * std::sin(TwoPi * seconds / SlowPeriodSeconds)
           + FastSwingKelvin * std::sin(TwoPi * seconds / FastPeriodSeconds + FastPhase)
           + NoiseKelvin * noiseAt(qint64(std::floor(seconds * NoiseSlotsPerSecond)));
}

double DemoFirmware::seconds() const
{
    return m_clock();
}

double DemoFirmware::sensorTemperature() const
{
    return temperatureSource ? temperatureSource() : sensorTemperatureAt(seconds());
}

double DemoFirmware::inputVoltage() const
{
    if (appliedVoltage) {
        if (const std::optional<double> applied = appliedVoltage())
            return *applied;
    }
    const double kelvin = sensorTemperature();
    const double deviation = sensorDeviation ? sensorDeviation(kelvin) : 0.0;
    return diodeVoltage(kelvin) + deviation + sensorOffsetVolts;
}

int DemoFirmware::rawReading() const
{
    constexpr int FullScale = (1 << AdcBits) - 1;
    const double counts = std::round((inputVoltage() - adcZeroVolts) / adcVoltsPerCount);
    return int(std::clamp(counts, 0.0, double(FullScale)));
}

float DemoFirmware::reportedVoltage() const
{
    return constants.adcSlope * float(rawReading()) + constants.adcIntercept;
}

float DemoFirmware::reportedTemperature() const
{
    return float(tableTemperature(constants.table, reportedVoltage()));
}

} // namespace sim
