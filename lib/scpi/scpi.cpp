#include "scpi.h"

#include <QRegularExpression>

#include <cmath>

namespace scpi {

const QLatin1String NotANumber("9.91E37");

namespace {

constexpr double NotANumberValue = 9.91e37;
// A device may write the stand-in with more digits or fewer (9.910000E+37): the same value
// to well within any of them.
constexpr double NotANumberTolerance = 1e-6;
// How much of a parameter an error quotes back.
constexpr int QuotedLength = 32;
constexpr int HeaderLength = 64;

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

} // namespace

bool isNotANumber(double value)
{
    return std::fabs(value - NotANumberValue) <= NotANumberValue * NotANumberTolerance;
}

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
    return {UndefinedHeaderCode, QStringLiteral("Undefined header"), header.left(HeaderLength)};
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
    static const QRegularExpression whitespace(QStringLiteral("\\s"));
    QVector<Command> commands;
    for (const QString &part : line.split(QLatin1Char(';'))) {
        const QString text = part.trimmed();
        if (text.isEmpty())
            continue;
        Command command;
        const int space = text.indexOf(whitespace);
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

std::optional<double> numberOf(const QString &argument, Error *error)
{
    if (argument.isEmpty()) {
        *error = missingParameter(QStringLiteral("an empty number"));
        return std::nullopt;
    }
    bool ok = false;
    const double value = argument.toDouble(&ok);
    if (!ok) {
        *error = dataTypeError(QStringLiteral("'%1' is not a number").arg(argument.left(QuotedLength)));
        return std::nullopt;
    }
    return value;
}

} // namespace scpi
