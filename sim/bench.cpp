#include "bench.h"

#include "demofirmware.h"

#include <QDateTime>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace sim {

const QByteArray Bench::BathIdentity = QByteArrayLiteral("thermocal-sim,dry-well,BATH-0001,1.0");
const QByteArray Bench::CalibratorIdentity = QByteArrayLiteral("thermocal-sim,voltage calibrator,CAL-0001,1.0");
const QByteArray Bench::ReferenceIdentity = QByteArrayLiteral("thermocal-sim,reference readout,REF-0001,1.0");

namespace {

constexpr double Pi = 3.141592653589793;

// The noise of each channel is a pure function of its time slot; the offsets keep the
// channels' slots apart, so the bath's unrest and the instrument's own noise are unrelated.
constexpr double NoiseSlotsPerSecond = 20.0;
constexpr qint64 BathNoiseSlots = qint64(1) << 40;
constexpr qint64 InstrumentNoiseSlots = qint64(2) << 40;

// What an overshoot can be: none at all is a critically damped approach, which the formula
// for an underdamped one cannot take.
constexpr double LeastOvershoot = 1e-6;
constexpr double MostOvershoot = 0.9;

// The well's own display: hundredths of a degree.
constexpr double BathResolution = 0.01;

// The bench sensor's deviation from the diode curve: an offset and a slow swing in
// temperature, smooth enough for a low-order fit to follow.
constexpr double DeviationOffsetVolts = 0.002;
constexpr double DeviationSwingVolts = 0.003;
constexpr double DeviationKelvinPerRadian = 120.0;

// How much of a refused parameter an error quotes back.
constexpr int QuotedLength = 64;
// A logging readout's record names its input channel.
constexpr char ReadoutChannel[] = "1";

// A reading's decimals for a resolution such as 0.001.
int decimalsFor(double resolution)
{
    return std::max(0, int(std::ceil(-std::log10(resolution) - 1e-9)));
}

double roundTo(double value, double resolution)
{
    return resolution > 0.0 ? std::round(value / resolution) * resolution : value;
}

QByteArray number(double value, int decimals)
{
    return QByteArray::number(value, 'f', decimals);
}

std::optional<double> oneNumber(const QStringList &arguments)
{
    if (arguments.size() != 1)
        return std::nullopt;
    bool ok = false;
    const double value = arguments.first().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace

Bench::Bench(const BenchSettings &settings, Clock clock)
    : m_settings(settings)
    , m_clock(std::move(clock))
{
    if (!m_clock) {
        const auto start = std::chrono::steady_clock::now();
        m_clock = [start] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
    }
    // The damping that gives the overshoot asked for, and the natural frequency that makes
    // the oscillation's envelope decay with the time constant.
    const double logOvershoot = std::log(std::clamp(settings.overshoot, LeastOvershoot, MostOvershoot));
    m_damping = -logOvershoot / std::sqrt(Pi * Pi + logOvershoot * logOvershoot);
    m_naturalRate = 1.0 / (m_damping * std::max(settings.timeConstantSeconds, 1e-3));
    m_motion.since = m_clock();
    m_motion.fromKelvin = settings.startKelvin;
    m_motion.setPoint = settings.startKelvin;
    m_faultsSince = m_motion.since;
    const bool calibrator = settings.source == BenchSource::Calibrator;
    m_commands[int(Device::Bath)].add(scpi::commonRows(QString::fromLatin1(calibrator ? CalibratorIdentity : BathIdentity)));
    m_commands[int(Device::Bath)].add(calibrator ? calibratorRows() : bathRows());
    m_commands[int(Device::Reference)].add(scpi::commonRows(QString::fromLatin1(ReferenceIdentity)));
    m_commands[int(Device::Reference)].add(referenceRows());
}

double Bench::sensorDeviationVolts(double kelvin)
{
    return DeviationOffsetVolts + DeviationSwingVolts * std::sin(kelvin / DeviationKelvinPerRadian);
}

double Bench::nowLocked() const
{
    return m_clock();
}

double Bench::seconds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return nowLocked();
}

// The set point's step response: e(t) = exp(-σt)(A cos ωt + B sin ωt) around the set point,
// from the temperature and rate the bath had when the set point changed.
double Bench::kelvinAt(double seconds, double *rate) const
{
    const double t = std::max(0.0, seconds - m_motion.since);
    const double decay = m_damping * m_naturalRate;
    const double omega = m_naturalRate * std::sqrt(1.0 - m_damping * m_damping);
    const double a = m_motion.fromKelvin - m_motion.setPoint;
    const double b = (m_motion.fromRate + decay * a) / omega;
    const double envelope = std::exp(-decay * t);
    const double c = std::cos(omega * t);
    const double s = std::sin(omega * t);
    if (rate)
        *rate = envelope * ((omega * b - decay * a) * c - (decay * b + omega * a) * s);
    return m_motion.setPoint + envelope * (a * c + b * s);
}

double Bench::trueKelvinLocked(double seconds) const
{
    const double drift = m_settings.driftKelvin * std::sin(2.0 * Pi * seconds / m_settings.driftPeriodSeconds);
    const double noise = m_settings.bathNoiseKelvin
        * noiseAt(BathNoiseSlots + qint64(std::floor(seconds * NoiseSlotsPerSecond)));
    return std::clamp(kelvinAt(seconds) + drift + noise, DemoFirmware::LowestKelvin, DemoFirmware::HighestKelvin);
}

double Bench::trueKelvin() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return trueKelvinLocked(nowLocked());
}

double Bench::setPointKelvin() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_motion.setPoint;
}

void Bench::setSetPointKelvin(double kelvin)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    approach(kelvin);
}

// The bath sets off towards the new set point from where it is, as fast as it is moving.
void Bench::approach(double kelvin)
{
    const double now = nowLocked();
    Motion next;
    next.since = now;
    next.fromKelvin = kelvinAt(now, &next.fromRate);
    next.setPoint = kelvin;
    m_motion = next;
}

std::optional<double> Bench::appliedVolts() const
{
    if (m_settings.source != BenchSource::Calibrator)
        return std::nullopt;
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_appliedVolts;
}

double Bench::instrumentNoiseVolts() const
{
    return m_settings.instrumentNoiseVolts
        * noiseAt(InstrumentNoiseSlots + qint64(std::floor(seconds() * NoiseSlotsPerSecond)));
}

void Bench::attach(DemoFirmware &firmware)
{
    firmware.temperatureSource = [this] { return trueKelvin(); };
    firmware.sensorDeviation = [this](double kelvin) {
        return (m_settings.sensorDeviates ? sensorDeviationVolts(kelvin) : 0.0) + instrumentNoiseVolts();
    };
    firmware.appliedVoltage = [this]() -> std::optional<double> {
        const std::optional<double> applied = appliedVolts();
        if (!applied)
            return std::nullopt;
        return *applied + instrumentNoiseVolts();
    };
    if (m_settings.adcError) {
        firmware.adcVoltsPerCount = AdcErrorVoltsPerCount;
        firmware.adcZeroVolts = AdcErrorZeroVolts;
    }
}

void Bench::setFaults(const BenchFaults &faults)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults = faults;
    m_faultsSince = nowLocked();
}

BenchFaults Bench::faults() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_faults;
}

QVector<Request> Bench::requests(Device device) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests[int(device)];
}

void Bench::clearRequests(Device device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests[int(device)].clear();
}

bool Bench::waitForRequests(Device device, int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_requestArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return m_requests[int(device)].size() >= count; });
}

QByteArray Bench::handle(Device device, const QByteArray &line, scpi::Status &status)
{
    QByteArray reply;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Request request;
        request.receivedNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
        request.bytes = line;
        QVector<Request> &record = m_requests[int(device)];
        // A client that talks for ever must not take all the memory: the oldest half goes.
        if (record.size() >= MostRecorded)
            record.remove(0, MostRecorded / 2);
        record.append(request);
        const bool silent = device == Device::Bath ? m_faults.bathSilent : m_faults.referenceSilent;
        // A bench has no right to write to guard: whoever reaches a device may set it.
        if (!silent)
            reply = m_commands[int(device)].handle(QString::fromLatin1(line), status, true).toLatin1();
    }
    m_requestArrived.notify_all();
    return reply;
}

// A dry-well: its set point, in degrees Celsius or kelvin as the settings have it, and its
// own sensor as its display shows it.
QVector<scpi::Row> Bench::bathRows()
{
    const auto offset = [this] { return m_settings.setPointCelsius ? KelvinAtZeroCelsius : 0.0; };
    return {
        {QStringLiteral("SOURce:SPOint?"), scpi::Parameters::None, scpi::Access::Read,
         [this, offset](const scpi::Command &, scpi::Status &) -> scpi::Reply {
             return QString::fromLatin1(number(m_motion.setPoint - offset(), decimalsFor(BathResolution)));
         }},
        {QStringLiteral("MEASure:TEMPerature?"), scpi::Parameters::None, scpi::Access::Read,
         [this, offset](const scpi::Command &, scpi::Status &) -> scpi::Reply {
             return QString::fromLatin1(number(trueKelvinLocked(nowLocked()) - offset(), decimalsFor(BathResolution)));
         }},
        {QStringLiteral("SOURce:SPOint"), scpi::Parameters::Required, scpi::Access::Write,
         [this, offset](const scpi::Command &command, scpi::Status &status) -> scpi::Reply {
             const std::optional<double> value = oneNumber(command.arguments);
             if (!value) {
                 status.push(scpi::dataTypeError(command.arguments.join(QLatin1Char(',')).left(QuotedLength)));
             } else if (*value + offset() < DemoFirmware::LowestKelvin || *value + offset() > DemoFirmware::HighestKelvin) {
                 status.push(scpi::dataOutOfRange(
                     QStringLiteral("%1 to %2 K").arg(DemoFirmware::LowestKelvin).arg(DemoFirmware::HighestKelvin)));
             } else {
                 approach(*value + offset());
             }
             return std::nullopt;
         },
         QStringLiteral("a set point")},
    };
}

QVector<scpi::Row> Bench::calibratorRows()
{
    return {
        {QStringLiteral("SOURce:VOLTage?"), scpi::Parameters::None, scpi::Access::Read,
         [this](const scpi::Command &, scpi::Status &) -> scpi::Reply {
             return QString::fromLatin1(number(m_appliedVolts, decimalsFor(m_settings.referenceResolutionVolts)));
         }},
        {QStringLiteral("SOURce:VOLTage"), scpi::Parameters::Required, scpi::Access::Write,
         [this](const scpi::Command &command, scpi::Status &status) -> scpi::Reply {
             const std::optional<double> volts = oneNumber(command.arguments);
             if (!volts)
                 status.push(scpi::dataTypeError(command.arguments.join(QLatin1Char(',')).left(QuotedLength)));
             else if (*volts < 0.0 || *volts > HighestVolts)
                 status.push(scpi::dataOutOfRange(QStringLiteral("0 to %1 V").arg(HighestVolts)));
             else
                 m_appliedVolts = *volts;
             return std::nullopt;
         },
         QStringLiteral("a voltage")},
    };
}

// A readout measures what its source's kind gives: temperature in a bath, voltage beside a
// calibrator.
QVector<scpi::Row> Bench::referenceRows()
{
    const bool calibrator = m_settings.source == BenchSource::Calibrator;
    return {
        {calibrator ? QStringLiteral("MEASure:VOLTage?") : QStringLiteral("MEASure:TEMPerature?"), scpi::Parameters::None,
         scpi::Access::Read,
         [this, calibrator](const scpi::Command &, scpi::Status &) -> scpi::Reply {
             return QString::fromLatin1(readReference(calibrator));
         }},
        // A readout hands out its latest reading again, however old; before its first, the
        // query names nothing it has.
        {QStringLiteral("FETCh?"), scpi::Parameters::None, scpi::Access::Read,
         [this](const scpi::Command &command, scpi::Status &status) -> scpi::Reply {
             if (m_lastReading.isEmpty()) {
                 status.push(scpi::undefinedHeader(command.header));
                 return std::nullopt;
             }
             return QString::fromLatin1(m_lastReading);
         }},
    };
}

QByteArray Bench::readReference(bool voltage)
{
    const double now = nowLocked();
    const bool stale = m_faults.referenceStale && !m_lastReading.isEmpty()
        && (m_faults.staleSeconds <= 0.0 || now < m_faultsSince + m_faults.staleSeconds);
    if (stale)
        return m_lastReading;
    if (voltage) {
        std::uniform_real_distribution<double> noise(-m_settings.referenceNoiseVolts, m_settings.referenceNoiseVolts);
        m_lastReading = formatReading(m_appliedVolts + noise(m_referenceNoise), m_settings.referenceResolutionVolts, "V");
        return m_lastReading;
    }
    std::uniform_real_distribution<double> noise(-m_settings.referenceNoiseKelvin, m_settings.referenceNoiseKelvin);
    const double kelvin = trueKelvinLocked(now) + noise(m_referenceNoise);
    const bool celsius = m_settings.referenceCelsius != m_faults.referenceWrongUnit;
    m_lastReading = formatReading(celsius ? kelvin - KelvinAtZeroCelsius : kelvin,
                                  m_settings.referenceResolutionKelvin, celsius ? "C" : "K");
    return m_lastReading;
}

QByteArray Bench::formatReading(double value, double resolution, const char *unit) const
{
    const QByteArray text = number(roundTo(value, resolution), decimalsFor(resolution));
    switch (m_settings.referenceFormat) {
    case ReadoutFormat::Plain:
        return text;
    case ReadoutFormat::Labelled:
        return (qstrcmp(unit, "V") == 0 ? "v: " : "t: ") + text + ' ' + unit;
    case ReadoutFormat::Logged:
        return text + ',' + unit + ',' + ReadoutChannel + ','
            + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1();
    }
    return text;
}

} // namespace sim
