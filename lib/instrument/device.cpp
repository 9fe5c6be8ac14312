#include "device.h"

#include "numbers.h"
#include "ports.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QIODevice>

namespace device {

using protocol::Command;

namespace {

QString translated(const char *text)
{
    return QCoreApplication::translate("device", text);
}

QPair<float, float> pairOf(const QVector<float> &values)
{
    return {values.at(0), values.at(1)};
}

float valueOf(const DeviceSet &set, Field field, int row)
{
    switch (field) {
    case Field::AdcSlope:
        return set.adcSlope;
    case Field::AdcIntercept:
        return set.adcIntercept;
    case Field::DacSlope:
        return set.dacSlope;
    case Field::DacIntercept:
        return set.dacIntercept;
    case Field::Voltage:
        return set.table.at(row).first;
    case Field::Temperature:
        return set.table.at(row).second;
    }
    return 0.0f;
}

} // namespace

ChosenPort choosePort(const QString &requested)
{
    ChosenPort chosen;
    if (!requested.isEmpty()) {
        chosen.name = requested;
        chosen.found.status = FindStatus::Found;
        return chosen;
    }
    chosen.found = findInstrument();
    if (chosen.found.status == FindStatus::Found)
        chosen.name = chosen.found.portName;
    return chosen;
}

FindResult findInstrument()
{
    FindResult result;
    result.ports = portdiscovery::availablePorts();
    for (const portdiscovery::Port &port : qAsConst(result.ports)) {
        if (portdiscovery::isInstrument(port))
            result.instruments.append(port);
    }
    if (result.instruments.size() == 1) {
        result.status = FindStatus::Found;
        result.portName = result.instruments.first().name;
    } else {
        result.status = result.instruments.isEmpty() ? FindStatus::NoInstrument
                                                     : FindStatus::SeveralInstruments;
    }
    return result;
}

DeviceSet toDevice(const CalibrationSet &set)
{
    DeviceSet device;
    device.adcSlope = float(set.adcSlope);
    device.adcIntercept = float(set.adcIntercept);
    device.dacSlope = float(set.dacSlope);
    device.dacIntercept = float(set.dacIntercept);
    const int rows = qMin(set.table.size(), TableRows);
    for (int row = 0; row < rows; ++row)
        device.table[row] = {float(set.table[row].first), float(set.table[row].second)};
    return device;
}

CalibrationSet toCalibrationSet(const DeviceSet &set)
{
    CalibrationSet file;
    file.adcSlope = numbers::shortestAsDouble(set.adcSlope);
    file.adcIntercept = numbers::shortestAsDouble(set.adcIntercept);
    file.dacSlope = numbers::shortestAsDouble(set.dacSlope);
    file.dacIntercept = numbers::shortestAsDouble(set.dacIntercept);
    file.table.reserve(set.table.size());
    for (const auto &row : set.table)
        file.table.append({numbers::shortestAsDouble(row.first), numbers::shortestAsDouble(row.second)});
    return file;
}

Reading readLive(protocol::Link &link)
{
    Reading reading;
    if (const auto voltage = link.query(Command::ReadVoltage))
        reading.voltage = voltage->at(0);
    if (const auto temperature = link.query(Command::ReadTemperature))
        reading.temperature = temperature->at(0);
    return reading;
}

PartialSet readParts(protocol::Link &link)
{
    PartialSet parts;
    if (const auto adc = link.query(Command::ReadAdc))
        parts.adc = pairOf(*adc);
    if (const auto dac = link.query(Command::ReadDac))
        parts.dac = pairOf(*dac);
    if (const auto table = link.query(Command::ReadTable))
        parts.table = protocol::decodeTable(*table);
    return parts;
}

std::optional<DeviceSet> readSet(protocol::Link &link)
{
    const PartialSet parts = readParts(link);
    if (!parts.adc || !parts.dac || !parts.table)
        return std::nullopt;
    DeviceSet set;
    set.adcSlope = parts.adc->first;
    set.adcIntercept = parts.adc->second;
    set.dacSlope = parts.dac->first;
    set.dacIntercept = parts.dac->second;
    set.table = *parts.table;
    return set;
}

std::optional<Field> zeroSlope(const DeviceSet &set)
{
    if (set.adcSlope == 0.0f)
        return Field::AdcSlope;
    if (set.dacSlope == 0.0f)
        return Field::DacSlope;
    return std::nullopt;
}

DeviceSet withTable(const DeviceSet &constants, const QVector<QPair<double, double>> &rows)
{
    DeviceSet set = constants;
    for (int row = 0; row < TableRows && row < rows.size(); ++row)
        set.table[row] = {float(rows.at(row).first), float(rows.at(row).second)};
    return set;
}

void writeSet(protocol::Link &link, const DeviceSet &set)
{
    link.pacedSend(protocol::request(Command::WriteAdc, {set.adcSlope, set.adcIntercept}));
    link.pacedSend(protocol::request(Command::WriteDac, {set.dacSlope, set.dacIntercept}));
    link.pacedSend(protocol::tableRequest(set.table));
}

void commit(protocol::Link &link)
{
    link.plainSend(protocol::request(Command::CommitEeprom));
}

QString fieldLabel(Field field)
{
    switch (field) {
    case Field::AdcSlope:
        return translated(QT_TRANSLATE_NOOP("device", "ADC slope"));
    case Field::AdcIntercept:
        return translated(QT_TRANSLATE_NOOP("device", "ADC intercept"));
    case Field::DacSlope:
        return translated(QT_TRANSLATE_NOOP("device", "DAC slope"));
    case Field::DacIntercept:
        return translated(QT_TRANSLATE_NOOP("device", "DAC intercept"));
    case Field::Voltage:
        // The grid's column titles, which the window's form shows too.
        return QCoreApplication::translate("Widget", "Voltage(V)");
    case Field::Temperature:
        return QCoreApplication::translate("Widget", "Temperature(K)");
    }
    return QString();
}

QString zeroSlopeText(Field slope)
{
    return QCoreApplication::translate("device", "%1 is 0").arg(fieldLabel(slope));
}

QString Difference::name() const
{
    if (field == Field::Voltage || field == Field::Temperature)
        return numbers::cellName(row, fieldLabel(field));
    return fieldLabel(field);
}

QString Difference::key() const
{
    switch (field) {
    case Field::AdcSlope:
        return QStringLiteral("adc_slope");
    case Field::AdcIntercept:
        return QStringLiteral("adc_intercept");
    case Field::DacSlope:
        return QStringLiteral("dac_slope");
    case Field::DacIntercept:
        return QStringLiteral("dac_intercept");
    case Field::Voltage:
        return QStringLiteral("voltage");
    case Field::Temperature:
        return QStringLiteral("temperature");
    }
    return QString();
}

QVector<Difference> compare(const DeviceSet &first, const DeviceSet &second)
{
    QVector<Difference> differences;
    const auto check = [&](Field field, int row) {
        const float a = valueOf(first, field, row);
        const float b = valueOf(second, field, row);
        if (!(a == b))
            differences.append({field, row, a, b});
    };
    for (Field field : {Field::AdcSlope, Field::AdcIntercept, Field::DacSlope, Field::DacIntercept})
        check(field, -1);
    const int rows = qMin(first.table.size(), second.table.size());
    for (int row = 0; row < rows; ++row) {
        check(Field::Voltage, row);
        check(Field::Temperature, row);
    }
    return differences;
}

std::optional<QVector<Difference>> verify(protocol::Link &link, const DeviceSet &sent)
{
    const std::optional<DeviceSet> held = readSet(link);
    if (!held)
        return std::nullopt;
    return compare(sent, *held);
}

QStringList describe(const QVector<Difference> &differences, int listed, Digits digits)
{
    const auto text = [digits](float value) {
        return digits == Digits::Window ? numbers::format(value) : numbers::shortest(value);
    };
    QStringList lines;
    const int shown = qMin(listed, differences.size());
    for (int i = 0; i < shown; ++i) {
        const Difference &difference = differences.at(i);
        lines.append(QCoreApplication::translate("device", "%1: sent %2, holds %3")
                         .arg(difference.name(), text(difference.first), text(difference.second)));
    }
    if (differences.size() > shown)
        lines.append(QCoreApplication::translate("device", "and %n more", nullptr,
                                                 differences.size() - shown));
    return lines;
}

bool settle(ports::Port &port, int limitMs, const std::atomic<bool> *stop)
{
    if (!port.isOpen())
        return true;
    const QDeadlineTimer deadline(limitMs);
    port.dropHeld();
    // Quiet means no byte for a whole reply time (or the whole limit, when that is shorter).
    // The last wait, cut short by the limit, proves nothing: a peer that keeps sending may
    // just be between two packets.
    const int quietMs = qMin(protocol::ReplyTimeoutMs, limitMs);
    while (!deadline.hasExpired() && !(stop && stop->load())) {
        const int wait = int(qMin<qint64>(protocol::ReplyTimeoutMs, deadline.remainingTime()));
        if (!port.device().waitForReadyRead(wait))
            return wait >= quietMs && port.discardInput(deadline);
        port.dropHeld();
    }
    return false;
}

} // namespace device
