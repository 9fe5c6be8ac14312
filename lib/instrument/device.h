#pragma once

#include "calibrationset.h"
#include "portdiscovery.h"
#include "protocol.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <optional>

namespace ports {
class Port;
}

// What one can do with the instrument, for the window and the command line alike: find and
// open its port, take a live reading, read, write, read back and compare the calibration
// set, and commit it to EEPROM. Every action runs on one protocol::Link, which ends the
// action at its first failed exchange.
namespace device {

// The instrument's port settings; stop bits and flow control keep the port's defaults.
constexpr qint32 BaudRate = 500000;

enum class FindStatus { Found, NoInstrument, SeveralInstruments };

struct FindResult
{
    FindStatus status = FindStatus::NoInstrument;
    QString portName;                       // the one instrument's port when Found
    QList<portdiscovery::Port> instruments; // every port with the instrument's USB ids
    QList<portdiscovery::Port> ports;       // every port present, in the platform's order
};

// Applies the rule that an instrument is chosen automatically only when exactly one is
// present.
FindResult findInstrument();

// The port a program talks to: the one the operator named (--port), else the only instrument
// present. Without a name and without exactly one instrument, `name` is empty and `found`
// says why, for the program to tell in its own words.
struct ChosenPort
{
    QString name;
    FindResult found;
};
ChosenPort choosePort(const QString &requested);

// The calibration set as the instrument stores it: single precision.
struct DeviceSet
{
    float adcSlope = 0.0f;
    float adcIntercept = 0.0f;
    float dacSlope = 0.0f;
    float dacIntercept = 0.0f;
    QVector<QPair<float, float>> table = QVector<QPair<float, float>>(TableRows, {0.0f, 0.0f});
};

// Narrows each value to single precision; a table that is short is padded with zero rows.
DeviceSet toDevice(const CalibrationSet &set);
// Each value as the double that the shortest decimal of its single-precision value spells,
// so a file written from it reads back as exactly the same set.
CalibrationSet toCalibrationSet(const DeviceSet &set);

// The constants of `constants` with the table `rows` (resampled, 100 rows), narrowed to single
// precision as the window's grid holds it.
DeviceSet withTable(const DeviceSet &constants, const QVector<QPair<double, double>> &rows);

struct Reading
{
    std::optional<float> voltage;
    std::optional<float> temperature;
};

// The voltage, then the temperature. When the voltage gets no answer the temperature is
// not asked for: a late voltage would otherwise arrive during that wait and be taken for it.
Reading readLive(protocol::Link &link);

// What arrived of the set, part by part; a part whose query failed is missing, and so is
// every part after it.
struct PartialSet
{
    std::optional<QPair<float, float>> adc;
    std::optional<QPair<float, float>> dac;
    std::optional<QVector<QPair<float, float>>> table;
};

PartialSet readParts(protocol::Link &link);
// The whole set, or nothing when any part is missing.
std::optional<DeviceSet> readSet(protocol::Link &link);

// The three write commands, each followed by the instrument's pause.
void writeSet(protocol::Link &link, const DeviceSet &set);

// The EEPROM commit: sent without waiting for anything.
void commit(protocol::Link &link);

enum class Field { AdcSlope, AdcIntercept, DacSlope, DacIntercept, Voltage, Temperature };

// The field as the window's form labels it: "ADC slope", "Voltage(V)".
QString fieldLabel(Field field);

// The slope that would reach the instrument as 0, if any: every reading would then collapse
// onto the intercept. Compared as sent, in single precision.
std::optional<Field> zeroSlope(const DeviceSet &set);
// What is wrong with such a set: "ADC slope is 0".
QString zeroSlopeText(Field slope);

struct Difference
{
    Field field = Field::AdcSlope;
    int row = -1;        // table row from 0, -1 for the constants
    float first = 0.0f;  // what was sent, or the first of two sets compared
    float second = 0.0f; // what the instrument holds, or the second set

    // The field as the window names it: "ADC slope", "Table row 12, Temperature(K)".
    QString name() const;
    // The field as machines name it: adc_slope, ..., voltage, temperature.
    QString key() const;
};

// Every value that differs as single precision (0 and -0 agree), in the order the set is
// laid out: constants, then the table row by row, voltage before temperature.
QVector<Difference> compare(const DeviceSet &first, const DeviceSet &second);

// Reads the set back and compares it with what was sent. Nothing when the read-back got no
// complete reply; the link tells why.
std::optional<QVector<Difference>> verify(protocol::Link &link, const DeviceSet &sent);

enum class Digits { Window, Exact };

// "Table row 12, Temperature(K): sent 77.35, holds 0" for the first `listed` differences,
// then "and N more" when there are others. Window digits are the six the window shows; exact
// digits are the shortest that tell the single-precision values apart.
QStringList describe(const QVector<Difference> &differences, int listed, Digits digits);

// Waits until the instrument has been quiet for a whole reply time (at most `limitMs`, which
// a peer that keeps sending cannot extend), dropping what arrives: after a failed exchange, a
// late reply may still be on its way and must not meet the next request. True when it ended
// quiet; false when the peer was still talking at the limit, or when a stop asked for
// through `stop` ended it at once.
bool settle(ports::Port &port, int limitMs, const std::atomic<bool> *stop = nullptr);

} // namespace device
