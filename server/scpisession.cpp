#include "scpisession.h"

#include "numbers.h"
#include "protocol.h"

#include <QStringList>

#include <cmath>
#include <limits>

namespace scpi {

namespace {

constexpr int ConstantCount = 2;
constexpr int TableCount = 2 * protocol::TableRows;
constexpr int QuotedLength = 32;

QString counted(int count, int given)
{
    return QStringLiteral("%1 numbers expected, %2 given").arg(count).arg(given);
}

// The numbers of a command, each a finite single-precision value; nothing, with the error,
// when any is missing, not a number or out of range.
std::optional<QVector<float>> numbersOf(const QStringList &arguments, int count, Error *error)
{
    if (arguments.size() < count) {
        *error = missingParameter(counted(count, arguments.size()));
        return std::nullopt;
    }
    if (arguments.size() > count) {
        *error = parameterNotAllowed(counted(count, arguments.size()));
        return std::nullopt;
    }
    QVector<float> values;
    values.reserve(count);
    for (const QString &argument : arguments) {
        const std::optional<double> value = numberOf(argument, error);
        if (!value)
            return std::nullopt;
        if (!std::isfinite(*value) || std::fabs(*value) > double(std::numeric_limits<float>::max())) {
            *error = dataOutOfRange(QStringLiteral("'%1' is beyond single precision").arg(argument.left(QuotedLength)));
            return std::nullopt;
        }
        values.append(float(*value));
    }
    return values;
}

QString join(const QVector<float> &values)
{
    QStringList texts;
    texts.reserve(values.size());
    for (float value : values)
        texts.append(numbers::shortest(value));
    return texts.join(QLatin1Char(','));
}

} // namespace

Session::Session(const QString &identity, bool allowWrites)
    : m_allowWrites(allowWrites)
    , m_commands(commonRows(identity, [this]() -> QString {
        QByteArray answer;
        const auto temperature = protocol::Command::ReadTemperature;
        if (exchange(protocol::request(temperature), protocol::replyLength(temperature), &answer))
            return QString();
        return QStringLiteral("the instrument gave no reading");
    }))
{
    m_commands.add(instrumentRows());
}

// The instrument's own commands: its readings and constants read, and written with a
// read-back.
QVector<Row> Session::instrumentRows()
{
    const auto read = [this](protocol::Command code, int count) {
        return [this, code, count](const Command &, Status &) -> Reply { return readValues(quint8(code), count); };
    };
    const auto written = [this](protocol::Command writeCode, protocol::Command readCode, int count) {
        return [this, writeCode, readCode, count](const Command &command, Status &) -> Reply {
            write(command, quint8(writeCode), quint8(readCode), count);
            return std::nullopt;
        };
    };
    using protocol::Command;
    return {
        {QStringLiteral("MEASure:TEMPerature?"), Parameters::None, Access::Read, read(Command::ReadTemperature, 1)},
        {QStringLiteral("MEASure:VOLTage?"), Parameters::None, Access::Read, read(Command::ReadVoltage, 1)},
        {QStringLiteral("CALibration:ADC?"), Parameters::None, Access::Read, read(Command::ReadAdc, ConstantCount)},
        {QStringLiteral("CALibration:DAC?"), Parameters::None, Access::Read, read(Command::ReadDac, ConstantCount)},
        {QStringLiteral("CALibration:TABLe?"), Parameters::None, Access::Read, read(Command::ReadTable, TableCount)},
        {QStringLiteral("CALibration:ADC"), Parameters::Required, Access::Write,
         written(Command::WriteAdc, Command::ReadAdc, ConstantCount), counted(ConstantCount, 0)},
        {QStringLiteral("CALibration:DAC"), Parameters::Required, Access::Write,
         written(Command::WriteDac, Command::ReadDac, ConstantCount), counted(ConstantCount, 0)},
        {QStringLiteral("CALibration:TABLe"), Parameters::Required, Access::Write,
         written(Command::WriteTable, Command::ReadTable, TableCount), counted(TableCount, 0)},
        {QStringLiteral("CALibration:SAVE"), Parameters::None, Access::Write,
         [this](const scpi::Command &, Status &) -> Reply {
             exchange(protocol::request(Command::CommitEeprom), 0, nullptr);
             return std::nullopt;
         }},
    };
}

QString Session::handle(const QString &line, const Exchange &exchange)
{
    m_exchange = &exchange;
    const QString reply = m_commands.handle(line, m_status, m_allowWrites);
    m_exchange = nullptr;
    return reply;
}

bool Session::exchange(const QByteArray &request, int replyLength, QByteArray *reply)
{
    const Outcome outcome = (*m_exchange)(request, replyLength);
    if (outcome.refused) {
        Error refused = commandProtected();
        refused.detail = QStringLiteral("another client holds the right to write");
        m_status.push(refused);
        return false;
    }
    if (!outcome.ok) {
        m_status.push(hardwareError(outcome.error));
        return false;
    }
    if (reply)
        *reply = outcome.reply;
    return true;
}

QString Session::readValues(quint8 code, int count)
{
    const auto command = protocol::Command(code);
    QByteArray reply;
    if (!exchange(protocol::request(command), protocol::replyLength(command), &reply)) {
        QStringList unknown;
        for (int index = 0; index < count; ++index)
            unknown.append(NotANumber);
        return unknown.join(QLatin1Char(','));
    }
    return join(protocol::decodeFloats(reply, count));
}

void Session::write(const Command &command, quint8 writeCode, quint8 readCode, int count)
{
    Error problem;
    const std::optional<QVector<float>> values = numbersOf(command.arguments, count, &problem);
    if (!values) {
        m_status.push(problem);
        return;
    }
    if (count == ConstantCount && values->first() == 0.0f) {
        m_status.push(dataOutOfRange(QStringLiteral("a slope of 0")));
        return;
    }
    if (!exchange(protocol::request(protocol::Command(writeCode), *values), 0, nullptr))
        return;
    // Read back: an unverified write over a USB link is a failure that can pass for success.
    const auto read = protocol::Command(readCode);
    QByteArray reply;
    if (!exchange(protocol::request(read), protocol::replyLength(read), &reply))
        return;
    const QVector<float> held = protocol::decodeFloats(reply, count);
    for (int index = 0; index < count; ++index) {
        if (!(held.at(index) == values->at(index))) {
            m_status.push(hardwareError(QStringLiteral("value %1 read back as %2, sent %3")
                                            .arg(index + 1)
                                            .arg(numbers::shortest(held.at(index)), numbers::shortest(values->at(index)))));
            return;
        }
    }
}

} // namespace scpi
