#pragma once

#include "calibrationset.h"

#include <QByteArray>
#include <QVector>

#include <array>
#include <utility>

namespace sim {

using ::TableRows;

struct Constants
{
    float adcSlope = 1.0f;
    float adcIntercept = 0.0f;
    float dacSlope = 1.0f;
    float dacIntercept = 0.0f;
    std::array<std::pair<float, float>, TableRows> table{};  // (voltage, temperature)

    bool operator==(const Constants &other) const
    {
        return adcSlope == other.adcSlope && adcIntercept == other.adcIntercept
            && dacSlope == other.dacSlope && dacIntercept == other.dacIntercept
            && table == other.table;
    }
};

// One request as it arrived, with the steady-clock time at which its first byte was read.
struct Request
{
    qint64 receivedNs = 0;
    QByteArray bytes;
    quint8 command() const { return bytes.isEmpty() ? 0 : quint8(bytes.at(0)); }
};

// A real link sometimes loses or garbles what the instrument stores; these model it.
struct StoreFaults
{
    int corruptRow = -1;          // the table row stored wrongly, -1 for none
    int corruptColumn = 0;        // 0 voltage, 1 temperature
    float corruptValue = 0.0f;    // what gets stored instead
    int dropLastRows = 0;         // rows at the end of a table write that are not stored
    float adcSlopeError = 0.0f;   // added to the ADC slope an ADC write stores
};

// The instrument's firmware as far as the protocol shows it: it splits the byte stream into
// requests (which may arrive split or joined), answers the reading commands from its state,
// stores what the writing commands carry and copies its constants to EEPROM on commit.
// Not thread-safe by itself.
class Firmware
{
public:
    virtual ~Firmware() = default;

    struct Handled
    {
        Request request;
        QByteArray reply;  // empty for commands without a reply
        bool isWrite = false;  // a write command or the commit
    };

    // Takes bytes received at `nowNs`; returns the requests they completed. A byte that
    // starts no known command is returned as a one-byte request without reply.
    QVector<Handled> feed(const QByteArray &bytes, qint64 nowNs);

    // The request length for a command code, 0 when the code is unknown.
    static int requestLength(quint8 command);

    Constants constants;
    Constants eeprom;
    StoreFaults storeFaults;
    float voltage = 0.0f;      // the live readings, unless a subclass computes them
    float temperature = 0.0f;

protected:
    virtual float liveVoltage() { return voltage; }
    virtual float liveTemperature() { return temperature; }

private:
    Handled handle(const QByteArray &request);
    void storeTable(const QByteArray &payload);

    QByteArray m_pending;
    qint64 m_pendingSinceNs = 0;
};

} // namespace sim
