#pragma once

#include "firmware.h"

#include <QPair>
#include <QVector>

#include <functional>
#include <optional>

namespace sim {

// Noise for a time slot, on [-1, 1]: a pure function of the slot, so the same moment always
// reads the same.
double noiseAt(qint64 slot);

// An instrument with a silicon-diode sensor sitting in boiling liquid nitrogen (the usual
// bath for a one-point fit of a standard curve), for showing the program without hardware. The sensor's true temperature
// drifts slowly; a 16-bit ADC digitises the diode's voltage, and the firmware turns the raw
// count into the live voltage with its ADC constants and into the live temperature with its
// calibration table, so whatever calibration the program sends shows up in the readings.
class DemoFirmware : public Firmware
{
public:
    // Seconds since the sensor was switched on; the readings depend on nothing else.
    using Clock = std::function<double()>;

    static constexpr double BathKelvin = 77.35; // nitrogen's boiling point at one atmosphere
    static constexpr int AdcBits = 16;
    // The converter's real step, which the factory ADC slope matches.
    static constexpr double AdcVoltsPerCount = 2.5 / 65536.0;
    static constexpr double DacVoltsPerCount = 3.3 / 4096.0;
    static constexpr double LowestKelvin = 1.4;
    static constexpr double HighestKelvin = 500.0;

    // Without a clock, time runs from construction on the steady clock.
    explicit DemoFirmware(Clock clock = {});

    // The forward voltage of the simulated diode at `kelvin`: falls almost linearly with
    // temperature and rises steeply below about 30 K, as silicon diodes do.
    static double diodeVoltage(double kelvin);
    // The calibration the instrument leaves the factory with: the diode curve at TableRows
    // geometrically spaced temperatures, and ADC and DAC constants matching the converters.
    static Constants factoryConstants();
    // The temperature a table gives for `voltage`, interpolating linearly between the two
    // rows around it, in whatever order the rows are; beyond the table the nearest end row's
    // temperature. NaN when fewer than two rows have distinct finite voltages.
    static double tableTemperature(const std::array<std::pair<float, float>, TableRows> &table,
                                   double voltage);

    // How far this sensor's voltage lies above the standard diode curve: 0 for the sensor the
    // factory calibrated, about 0.01 for a second, uncalibrated diode of the same type.
    double sensorOffsetVolts = 0.0;

    // A calibration bench replaces the nitrogen bath: where the sensor's true temperature
    // comes from, how far this sensor's voltage lies from the diode curve at a temperature
    // (in volts), and a voltage a calibrator applies at the input in place of the sensor
    // (nothing while the sensor is connected). Each left empty keeps the demo's own.
    std::function<double()> temperatureSource;
    std::function<double(double kelvin)> sensorDeviation;
    std::function<std::optional<double>()> appliedVoltage;
    // What the converter really does: the voltage of one count and of count zero. The factory
    // ADC constants claim exactly these unless a bench gives the converter an error.
    double adcVoltsPerCount = AdcVoltsPerCount;
    double adcZeroVolts = 0.0;

    static double sensorTemperatureAt(double seconds);
    double sensorTemperature() const;
    // The voltage at the ADC's input now.
    double inputVoltage() const;
    // What the ADC reads now: the input voltage in counts, clipped to the converter's range.
    int rawReading() const;
    // The live readings as the firmware reports them, from its present constants.
    float reportedVoltage() const;
    float reportedTemperature() const;

protected:
    float liveVoltage() override { return reportedVoltage(); }
    float liveTemperature() override { return reportedTemperature(); }

private:
    double seconds() const;

    Clock m_clock;
};

} // namespace sim
