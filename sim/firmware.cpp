#include "firmware.h"

#include "protocol.h"

namespace sim {

using protocol::Command;

int Firmware::requestLength(quint8 command)
{
    switch (Command(command)) {
    case Command::ReadVoltage:
    case Command::ReadTemperature:
    case Command::ReadAdc:
    case Command::ReadDac:
    case Command::ReadTable:
        return 2;
    case Command::WriteAdc:
    case Command::WriteDac:
        return 2 + protocol::FloatSize * 2;
    case Command::WriteTable:
        return 2 + protocol::FloatSize * 2 * TableRows;
    case Command::CommitEeprom:
        return 1;
    }
    return 0;
}

QVector<Firmware::Handled> Firmware::feed(const QByteArray &bytes, qint64 nowNs)
{
    QVector<Handled> handled;
    if (m_pending.isEmpty())
        m_pendingSinceNs = nowNs;
    m_pending += bytes;

    while (!m_pending.isEmpty()) {
        const int length = requestLength(quint8(m_pending.at(0)));
        if (length == 0) {
            // Not a command: drop the byte so the stream can find the next request.
            Handled stray;
            stray.request.bytes = m_pending.left(1);
            stray.request.receivedNs = m_pendingSinceNs;
            handled.append(stray);
            m_pending.remove(0, 1);
            m_pendingSinceNs = nowNs;
            continue;
        }
        if (m_pending.size() < length)
            break;
        Handled done = handle(m_pending.left(length));
        done.request.receivedNs = m_pendingSinceNs;
        handled.append(done);
        m_pending.remove(0, length);
        m_pendingSinceNs = nowNs;
    }
    return handled;
}

Firmware::Handled Firmware::handle(const QByteArray &request)
{
    Handled done;
    done.request.bytes = request;
    const QByteArray payload = request.mid(2);
    const QVector<float> values = protocol::decodeFloats(payload, payload.size() / protocol::FloatSize);

    switch (Command(quint8(request.at(0)))) {
    case Command::ReadVoltage:
        protocol::appendFloat(done.reply, liveVoltage());
        break;
    case Command::ReadTemperature:
        protocol::appendFloat(done.reply, liveTemperature());
        break;
    case Command::ReadAdc:
        protocol::appendFloat(done.reply, constants.adcSlope);
        protocol::appendFloat(done.reply, constants.adcIntercept);
        break;
    case Command::ReadDac:
        protocol::appendFloat(done.reply, constants.dacSlope);
        protocol::appendFloat(done.reply, constants.dacIntercept);
        break;
    case Command::ReadTable:
        for (const auto &row : constants.table) {
            protocol::appendFloat(done.reply, row.first);
            protocol::appendFloat(done.reply, row.second);
        }
        break;
    case Command::WriteAdc:
        constants.adcSlope = values.at(0) + storeFaults.adcSlopeError;
        constants.adcIntercept = values.at(1);
        done.isWrite = true;
        break;
    case Command::WriteDac:
        constants.dacSlope = values.at(0);
        constants.dacIntercept = values.at(1);
        done.isWrite = true;
        break;
    case Command::WriteTable:
        storeTable(payload);
        done.isWrite = true;
        break;
    case Command::CommitEeprom:
        eeprom = constants;
        done.isWrite = true;
        break;
    }
    return done;
}

void Firmware::storeTable(const QByteArray &payload)
{
    const QVector<float> values = protocol::decodeFloats(payload, 2 * TableRows);
    const int stored = TableRows - qBound(0, storeFaults.dropLastRows, TableRows);
    for (int row = 0; row < stored; ++row)
        constants.table[size_t(row)] = {values.at(2 * row), values.at(2 * row + 1)};
    const int bad = storeFaults.corruptRow;
    if (bad >= 0 && bad < stored) {
        auto &row = constants.table[size_t(bad)];
        (storeFaults.corruptColumn == 0 ? row.first : row.second) = storeFaults.corruptValue;
    }
}

} // namespace sim
