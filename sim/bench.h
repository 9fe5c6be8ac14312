#pragma once

#include "commandset.h"
#include "firmware.h"
#include "status.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <random>

namespace sim {

class DemoFirmware;

// How a reference readout writes a reading: a bare number (77.352), labelled
// (t: 25.587 C), or as a logging readout's record (231.928,C,1,2009-03-23 14:33:20).
enum class ReadoutFormat { Plain, Labelled, Logged };

// What the bench's source is: a bath or dry-well that sets a temperature, or a voltage
// calibrator wired to the instrument's sensor input in place of the sensor.
enum class BenchSource { Bath, Calibrator };

struct BenchSettings
{
    BenchSource source = BenchSource::Bath;
    double startKelvin = 293.15;          // the bath's temperature and set point at start
    // The bath approaches a new set point as a damped oscillation whose envelope decays with
    // this time constant, overshooting by this fraction of the step.
    double timeConstantSeconds = 5.0;
    double overshoot = 0.04;
    double bathNoiseKelvin = 0.002;       // the bath's own unrest, redrawn 20 times a second
    double driftKelvin = 0.005;           // a slow swing of the bath around its set point
    double driftPeriodSeconds = 600.0;
    bool setPointCelsius = true;          // SOUR:SPO in degrees Celsius, as dry-wells take it
    bool referenceCelsius = false;        // MEAS:TEMP? in degrees Celsius rather than kelvin
    ReadoutFormat referenceFormat = ReadoutFormat::Plain;
    double referenceNoiseKelvin = 0.0005;
    double referenceResolutionKelvin = 0.001;
    double referenceNoiseVolts = 2e-6;
    double referenceResolutionVolts = 1e-6;
    double instrumentNoiseVolts = 20e-6;  // the instrument's own electrical noise at its input
    bool sensorDeviates = true;           // the sensor deviates from the curve by sensorDeviationVolts
    bool adcError = false;                // the converter has AdcErrorVoltsPerCount and AdcErrorZeroVolts
};

// What a bench does wrong, as real readouts and baths do.
struct BenchFaults
{
    // The reference repeats its last answer exactly, for staleSeconds from the moment the
    // faults are set (0: until the faults are set again).
    bool referenceStale = false;
    double staleSeconds = 0.0;
    bool referenceWrongUnit = false;  // answers in Celsius when set to kelvin, and back
    bool referenceSilent = false;     // reads every line, answers none
    bool bathSilent = false;
};

// A calibration bench: one true temperature shared by a bath (or a voltage calibrator), a
// reference readout and the simulated instrument's sensor. The bath and the readout speak
// SCPI, one line per program message, each with its own command table beside the common
// commands; handle() gives the reply to one line, which the bench's servers send back. Every line each device received is recorded. Thread-safe.
class Bench
{
public:
    // Seconds since the bench was switched on.
    using Clock = std::function<double()>;
    enum class Device { Bath, Reference };

    static constexpr double KelvinAtZeroCelsius = 273.15;
    // The converter's error when BenchSettings::adcError is set: a step 200 ppm larger than
    // the factory constants claim, and 0.4 mV at count zero where they claim none.
    static constexpr double AdcErrorVoltsPerCount = 2.5 / 65536.0 * (1.0 + 2e-4);
    static constexpr double AdcErrorZeroVolts = 0.0004;
    // What a calibrator can apply, and a bath reach: the converter's and the table's range.
    static constexpr double HighestVolts = 2.5;
    // The longest line a device takes; the servers drop longer ones.
    static constexpr int LongestLine = 1024;
    // The most requests recorded per device; beyond, the oldest are forgotten.
    static constexpr int MostRecorded = 100000;

    static const QByteArray BathIdentity;
    static const QByteArray CalibratorIdentity;
    static const QByteArray ReferenceIdentity;

    explicit Bench(const BenchSettings &settings = {}, Clock clock = {});

    // How far the bench's sensor lies above the demo diode curve at `kelvin`, in volts: a
    // smooth deviation that a calibration should recover.
    static double sensorDeviationVolts(double kelvin);

    BenchSettings settings() const { return m_settings; }
    double seconds() const;
    // The true temperature of the bath (and of the sensor and the reference in it).
    double trueKelvin() const;
    double setPointKelvin() const;
    // A new set point from now on, as SOUR:SPO sets it.
    void setSetPointKelvin(double kelvin);
    // The calibrator's voltage; nothing when the source is a bath.
    std::optional<double> appliedVolts() const;

    // Wires the instrument's firmware to the bench: its sensor sits in the bath (deviating
    // from the curve, with its own noise), or reads the calibrator's voltage; its converter
    // gets the bench's error.
    void attach(DemoFirmware &firmware);

    // The reply to one line sent to `device` by a client whose status (error queue and
    // registers) is `status`, without a line end; empty when the line held no query or the
    // device is silent.
    QByteArray handle(Device device, const QByteArray &line, scpi::Status &status);

    void setFaults(const BenchFaults &faults);
    BenchFaults faults() const;

    QVector<Request> requests(Device device) const;
    void clearRequests(Device device);
    bool waitForRequests(Device device, int count, int timeoutMs) const;

private:
    struct Motion
    {
        double since = 0.0;      // when the set point last changed
        double fromKelvin = 0.0; // the bath's temperature then
        double fromRate = 0.0;   // and its rate of change, K/s
        double setPoint = 0.0;
    };

    double nowLocked() const;
    double kelvinAt(double seconds, double *rate = nullptr) const;
    double trueKelvinLocked(double seconds) const;
    double instrumentNoiseVolts() const;
    void approach(double kelvin);
    QVector<scpi::Row> bathRows();
    QVector<scpi::Row> calibratorRows();
    QVector<scpi::Row> referenceRows();
    QByteArray readReference(bool voltage);
    QByteArray formatReading(double value, double resolution, const char *unit) const;

    const BenchSettings m_settings;
    Clock m_clock;
    double m_naturalRate = 0.0;  // the undamped angular frequency, 1/s
    double m_damping = 0.0;
    Motion m_motion;
    double m_appliedVolts = 0.0;
    BenchFaults m_faults;
    double m_faultsSince = 0.0;
    QByteArray m_lastReading;
    std::mt19937 m_referenceNoise;
    QVector<Request> m_requests[2];
    scpi::CommandSet m_commands[2];  // by Device; their handlers run under m_mutex
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_requestArrived;
};

} // namespace sim
