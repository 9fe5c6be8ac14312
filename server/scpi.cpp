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
constexpr int DataTypeErrorCode = -104;
constexpr int ParameterNotAllowedCode = -108;
constexpr int MissingParameterCode = -109;
constexpr int UndefinedHeaderCode = -113;
constexpr int CommandProtectedCode = -203;
constexpr int DataOutOfRangeCode = -222;
constexpr int HardwareErrorCode = -240;
constexpr int SelfTestFailedCode = -330;
constexpr int QueueOverflowCode = -350;

constexpr int ConstantCount = 2;
constexpr int RegisterMax = 255;
// The SCPI version this command set follows, as SYSTem:VERSion? gives it.
const QLatin1String ScpiVersion("1999.0");
// What *TST? answers when the instrument gave no reading.
constexpr int SelfTestFailure = 1;

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

// The numbers of a command, each a finite single-precision value; nothing, with the error,
// when any is missing, not a number or out of range.
std::optional<QVector<float>> numbersOf(const QStringList &arguments, int count, Error *error)
{
    const QString counted = QStringLiteral("%1 numbers expected, %2 given").arg(count).arg(arguments.size());
    if (arguments.size() < count) {
        *error = missingParameter(counted);
        return std::nullopt;
    }
    if (arguments.size() > count) {
        *error = parameterNotAllowed(counted);
        return std::nullopt;
    }
    QVector<float> values;
    values.reserve(count);
    for (const QString &argument : arguments) {
        if (argument.isEmpty()) {
            *error = missingParameter(QStringLiteral("an empty number"));
            return std::nullopt;
        }
        bool ok = false;
        const double value = argument.toDouble(&ok);
        if (!ok) {
            *error = dataTypeError(QStringLiteral("'%1' is not a number").arg(argument.left(32)));
            return std::nullopt;
        }
        if (!std::isfinite(value) || std::fabs(value) > double(std::numeric_limits<float>::max())) {
            *error = dataOutOfRange(QStringLiteral("'%1' is beyond single precision").arg(argument.left(32)));
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

Error dataTypeError(const QString &detail)
{
    return {DataTypeErrorCode, QStringLiteral("Data type error"), detail};
}

Error parameterNotAllowed(const QString &detail)
{
    return {ParameterNotAllowedCode, QStringLiteral("Parameter not allowed"), detail};
}

Error missingParameter(const QString &detail)
{
    return {MissingParameterCode, QStringLiteral("Missing parameter"), detail};
}

Error selfTestFailed(const QString &detail)
{
    return {SelfTestFailedCode, QStringLiteral("Self-test failed"), detail};
}

quint8 eventBitOf(int code)
{
    if (code <= -400)
        return QueryError;
    if (code <= -300)
        return DeviceDependentError;
    if (code <= -200)
        return ExecutionError;
    if (code <= -100)
        return CommandError;
    return 0;
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

Session::Session(const QString &identity, bool allowWrites)
    : m_identity(identity)
    , m_allowWrites(allowWrites)
{
}

QString Session::handle(const QString &line, const Exchange &exchange)
{
    m_exchange = &exchange;
    QStringList replies;
    for (const Command &command : parse(line)) {
        bool answered = false;
        const QString reply = run(command, &answered);
        if (answered)
            replies.append(reply);
    }
    m_exchange = nullptr;
    return replies.join(QLatin1Char(';'));
}

void Session::push(const Error &error)
{
    m_events |= eventBitOf(error.code);
    m_errors.push(error);
}

quint8 Session::statusByte() const
{
    quint8 status = 0;
    if (m_errors.size() > 0)
        status |= ErrorAvailable;
    if (m_events & m_eventEnable)
        status |= EventSummary;
    if (status & m_serviceEnable & ~MasterSummary)
        status |= MasterSummary;
    return status;
}

bool Session::exchange(const QByteArray &request, int replyLength, QByteArray *reply)
{
    const Outcome outcome = (*m_exchange)(request, replyLength);
    if (outcome.refused) {
        Error refused = commandProtected();
        refused.detail = QStringLiteral("another client holds the right to write");
        push(refused);
        return false;
    }
    if (!outcome.ok) {
        push(hardwareError(outcome.error));
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
    if (!m_allowWrites) {
        push(commandProtected());
        return;
    }
    Error problem;
    const std::optional<QVector<float>> values = numbersOf(command.arguments, count, &problem);
    if (!values) {
        push(problem);
        return;
    }
    if (count == ConstantCount && values->first() == 0.0f) {
        push(dataOutOfRange(QStringLiteral("a slope of 0")));
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
            push(hardwareError(QStringLiteral("value %1 read back as %2, sent %3")
                                   .arg(index + 1)
                                   .arg(numbers::shortest(held.at(index)), numbers::shortest(values->at(index)))));
            return;
        }
    }
}

std::optional<quint8> Session::registerValue(const Command &command)
{
    if (command.arguments.isEmpty() || command.arguments.first().isEmpty()) {
        push(missingParameter(QStringLiteral("a register value from 0 to 255")));
        return std::nullopt;
    }
    if (command.arguments.size() > 1) {
        push(parameterNotAllowed(QStringLiteral("one register value")));
        return std::nullopt;
    }
    bool ok = false;
    const double value = command.arguments.first().toDouble(&ok);
    if (!ok) {
        push(dataTypeError(QStringLiteral("'%1' is not a number").arg(command.arguments.first().left(32))));
        return std::nullopt;
    }
    const double rounded = std::round(value);
    if (!(rounded >= 0 && rounded <= RegisterMax)) {
        push(dataOutOfRange(QStringLiteral("a register value from 0 to 255")));
        return std::nullopt;
    }
    return quint8(rounded);
}

// The common commands and the SYSTem subsystem, which ask nothing of the instrument but
// *TST?. True when `command` was one of them.
bool Session::runCommon(const Command &command, QString *reply)
{
    const QString &header = command.header;
    if (matches(header, QStringLiteral("*IDN?"))) {
        *reply = m_identity;
    } else if (matches(header, QStringLiteral("*RST"))) {
        // Nothing to reset: the instrument's set is the operator's, not a default's, and IEEE
        // 488.2 leaves the error queue, the event register and both enable masks to *CLS and
        // power-on (a framework's *RST at start-up must not lose a client's enables).
    } else if (matches(header, QStringLiteral("*CLS"))) {
        m_errors.clear();
        m_events = 0;
    } else if (matches(header, QStringLiteral("*ESE"))) {
        if (const std::optional<quint8> value = registerValue(command))
            m_eventEnable = *value;
    } else if (matches(header, QStringLiteral("*ESE?"))) {
        *reply = QString::number(m_eventEnable);
    } else if (matches(header, QStringLiteral("*ESR?"))) {
        *reply = QString::number(m_events);
        m_events = 0;
    } else if (matches(header, QStringLiteral("*SRE"))) {
        if (const std::optional<quint8> value = registerValue(command))
            m_serviceEnable = quint8(*value & ~MasterSummary);
    } else if (matches(header, QStringLiteral("*SRE?"))) {
        *reply = QString::number(m_serviceEnable);
    } else if (matches(header, QStringLiteral("*STB?"))) {
        *reply = QString::number(statusByte());
    } else if (matches(header, QStringLiteral("*OPC"))) {
        // A client's commands run in order: whatever came before is done.
        m_events |= OperationComplete;
    } else if (matches(header, QStringLiteral("*OPC?"))) {
        *reply = QStringLiteral("1");
    } else if (matches(header, QStringLiteral("*WAI"))) {
    } else if (matches(header, QStringLiteral("*TST?"))) {
        QByteArray answer;
        const auto temperature = protocol::Command::ReadTemperature;
        const bool answered = exchange(protocol::request(temperature), protocol::replyLength(temperature), &answer);
        if (!answered)
            push(selfTestFailed(QStringLiteral("the instrument gave no reading")));
        *reply = QString::number(answered ? 0 : SelfTestFailure);
    } else if (matches(header, QStringLiteral("SYSTem:ERRor?")) || matches(header, QStringLiteral("SYSTem:ERRor:NEXT?"))) {
        *reply = m_errors.pop().reply();
    } else if (matches(header, QStringLiteral("SYSTem:ERRor:COUNt?"))) {
        *reply = QString::number(m_errors.size());
    } else if (matches(header, QStringLiteral("SYSTem:VERSion?"))) {
        *reply = ScpiVersion;
    } else {
        return false;
    }
    return true;
}

QString Session::run(const Command &command, bool *answered)
{
    *answered = command.query;
    const QString &header = command.header;
    // A query, or a command that takes nothing, given a parameter is refused whole: as the
    // standard has it, no reply, only the error.
    const bool takesParameters = !command.query
        && (matches(header, QStringLiteral("*ESE")) || matches(header, QStringLiteral("*SRE"))
            || matches(header, QStringLiteral("CALibration:ADC")) || matches(header, QStringLiteral("CALibration:DAC"))
            || matches(header, QStringLiteral("CALibration:TABLe")));
    if (!command.arguments.isEmpty() && !takesParameters) {
        *answered = false;
        push(parameterNotAllowed(header.left(64)));
        return QString();
    }
    QString reply;
    if (runCommon(command, &reply))
        return reply;
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
            push(commandProtected());
        else
            exchange(protocol::request(protocol::Command::CommitEeprom), 0, nullptr);
        return QString();
    }
    // As the standard has it, a header that names nothing gets no reply, only its error.
    *answered = false;
    push(undefinedHeader(header));
    return QString();
}

} // namespace scpi
