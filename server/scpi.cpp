#include "scpi.h"

#include "numbers.h"
#include "protocol.h"

#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace scpi {

const QLatin1String NotANumber("9.91E37");

namespace {

constexpr int NoErrorCode = 0;
constexpr int UndefinedHeaderCode = -113;
constexpr int CommandProtectedCode = -203;
constexpr int DataOutOfRangeCode = -222;
constexpr int HardwareErrorCode = -240;
constexpr int QueueOverflowCode = -350;

constexpr int ConstantCount = 2;

// The short form of a node: its capitals, digits and the query mark ("MEASure" gives "MEAS").
QString shortForm(const QString &node)
{
    QString form;
    for (const QChar c : node) {
        if (c.isUpper() || c.isDigit() || c == QLatin1Char('?') || c == QLatin1Char('*'))
            form += c;
    }
    return form;
}

// The numbers of a command, each a finite single-precision value; nothing, with the reason,
// when any is not.
std::optional<QVector<float>> numbersOf(const QStringList &arguments, int count, QString *problem)
{
    if (arguments.size() != count) {
        *problem = QStringLiteral("%1 numbers expected, %2 given").arg(count).arg(arguments.size());
        return std::nullopt;
    }
    QVector<float> values;
    values.reserve(count);
    for (const QString &argument : arguments) {
        bool ok = false;
        const double value = argument.toDouble(&ok);
        if (!ok || !std::isfinite(value) || std::fabs(value) > double(std::numeric_limits<float>::max())) {
            *problem = QStringLiteral("'%1' is not a number").arg(argument.left(32));
            return std::nullopt;
        }
        values.append(float(value));
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

QString Error::reply() const
{
    const QString message = detail.isEmpty() ? text : text + QLatin1Char(';') + detail;
    QString quoted = message;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QStringLiteral("%1,\"%2\"").arg(code).arg(quoted);
}

Error noError()
{
    return {NoErrorCode, QStringLiteral("No error"), QString()};
}

Error undefinedHeader(const QString &header)
{
    return {UndefinedHeaderCode, QStringLiteral("Undefined header"), header.left(64)};
}

Error commandProtected()
{
    return {CommandProtectedCode, QStringLiteral("Command protected"), QString()};
}

Error dataOutOfRange(const QString &detail)
{
    return {DataOutOfRangeCode, QStringLiteral("Data out of range"), detail};
}

Error hardwareError(const QString &detail)
{
    return {HardwareErrorCode, QStringLiteral("Hardware error"), detail};
}

void ErrorQueue::push(const Error &error)
{
    if (m_errors.size() < Capacity - 1) {
        m_errors.append(error);
    } else if (m_errors.size() == Capacity - 1) {
        m_errors.append({QueueOverflowCode, QStringLiteral("Queue overflow"), QString()});
    }
    // A full queue keeps its overflow error last and drops what comes after.
}

Error ErrorQueue::pop()
{
    if (m_errors.isEmpty())
        return noError();
    return m_errors.takeFirst();
}

QVector<Command> parse(const QString &line)
{
    QVector<Command> commands;
    for (const QString &part : line.split(QLatin1Char(';'))) {
        const QString text = part.trimmed();
        if (text.isEmpty())
            continue;
        Command command;
        const int space = text.indexOf(QRegularExpression(QStringLiteral("\\s")));
        command.header = (space < 0 ? text : text.left(space));
        if (command.header.startsWith(QLatin1Char(':')))
            command.header.remove(0, 1);
        command.query = command.header.endsWith(QLatin1Char('?'));
        if (space >= 0) {
            for (const QString &argument : text.mid(space + 1).split(QLatin1Char(',')))
                command.arguments.append(argument.trimmed());
        }
        commands.append(command);
    }
    return commands;
}

bool matches(const QString &header, const QString &pattern)
{
    const QStringList given = header.split(QLatin1Char(':'));
    const QStringList wanted = pattern.split(QLatin1Char(':'));
    if (given.size() != wanted.size())
        return false;
    for (int index = 0; index < given.size(); ++index) {
        const QString node = given.at(index);
        const QString full = wanted.at(index);
        if (node.compare(full, Qt::CaseInsensitive) != 0 && node.compare(shortForm(full), Qt::CaseInsensitive) != 0)
            return false;
    }
    return true;
}

Session::Session(const QString &identity, bool allowWrites, Exchange exchange)
    : m_identity(identity)
    , m_allowWrites(allowWrites)
    , m_exchange(std::move(exchange))
{
}

QString Session::handle(const QString &line)
{
    QStringList replies;
    for (const Command &command : parse(line)) {
        bool answered = false;
        const QString reply = run(command, &answered);
        if (answered)
            replies.append(reply);
    }
    return replies.join(QLatin1Char(';'));
}

bool Session::exchange(const QByteArray &request, int replyLength, QByteArray *reply)
{
    const Outcome outcome = m_exchange(request, replyLength);
    if (outcome.refused) {
        Error refused = commandProtected();
        refused.detail = QStringLiteral("another client holds the right to write");
        m_errors.push(refused);
        return false;
    }
    if (!outcome.ok) {
        m_errors.push(hardwareError(outcome.error));
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
    if (!exchange(protocol::request(command), protocol::replyLength(command), &reply))
    {
        QStringList unknown;
        for (int index = 0; index < count; ++index)
            unknown.append(NotANumber);
        return unknown.join(QLatin1Char(','));
    }
    return join(protocol::decodeFloats(reply, count));
}

void Session::write(const Command &command, quint8 writeCode, quint8 readCode, int count)
{
    if (!m_allowWrites) {
        m_errors.push(commandProtected());
        return;
    }
    QString problem;
    const std::optional<QVector<float>> values = numbersOf(command.arguments, count, &problem);
    if (!values) {
        m_errors.push(dataOutOfRange(problem));
        return;
    }
    if (count == ConstantCount && values->first() == 0.0f) {
        m_errors.push(dataOutOfRange(QStringLiteral("a slope of 0")));
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
            m_errors.push(hardwareError(QStringLiteral("value %1 read back as %2, sent %3")
                                            .arg(index + 1)
                                            .arg(numbers::shortest(held.at(index)), numbers::shortest(values->at(index)))));
            return;
        }
    }
}

QString Session::run(const Command &command, bool *answered)
{
    *answered = command.query;
    const QString &header = command.header;
    if (matches(header, QStringLiteral("*IDN?")))
        return m_identity;
    if (matches(header, QStringLiteral("*CLS"))) {
        m_errors.clear();
        return QString();
    }
    if (matches(header, QStringLiteral("SYSTem:ERRor?")) || matches(header, QStringLiteral("SYSTem:ERRor:NEXT?")))
        return m_errors.pop().reply();
    if (matches(header, QStringLiteral("MEASure:TEMPerature?")))
        return readValues(quint8(protocol::Command::ReadTemperature), 1);
    if (matches(header, QStringLiteral("MEASure:VOLTage?")))
        return readValues(quint8(protocol::Command::ReadVoltage), 1);
    if (matches(header, QStringLiteral("CALibration:ADC?")))
        return readValues(quint8(protocol::Command::ReadAdc), ConstantCount);
    if (matches(header, QStringLiteral("CALibration:DAC?")))
        return readValues(quint8(protocol::Command::ReadDac), ConstantCount);
    if (matches(header, QStringLiteral("CALibration:TABLe?")))
        return readValues(quint8(protocol::Command::ReadTable), 2 * protocol::TableRows);
    if (matches(header, QStringLiteral("CALibration:ADC"))) {
        write(command, quint8(protocol::Command::WriteAdc), quint8(protocol::Command::ReadAdc), ConstantCount);
        return QString();
    }
    if (matches(header, QStringLiteral("CALibration:DAC"))) {
        write(command, quint8(protocol::Command::WriteDac), quint8(protocol::Command::ReadDac), ConstantCount);
        return QString();
    }
    if (matches(header, QStringLiteral("CALibration:TABLe"))) {
        write(command, quint8(protocol::Command::WriteTable), quint8(protocol::Command::ReadTable), 2 * protocol::TableRows);
        return QString();
    }
    if (matches(header, QStringLiteral("CALibration:SAVE"))) {
        if (!m_allowWrites)
            m_errors.push(commandProtected());
        else
            exchange(protocol::request(protocol::Command::CommitEeprom), 0, nullptr);
        return QString();
    }
    // As the standard has it, a header that names nothing gets no reply, only its error.
    *answered = false;
    m_errors.push(undefinedHeader(header));
    return QString();
}

} // namespace scpi
