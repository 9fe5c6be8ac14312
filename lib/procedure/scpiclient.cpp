#include "scpiclient.h"

#include "portname.h"
#include "ports.h"
#include "scpi.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QIODevice>
#include <QRegularExpression>

#include <cmath>

namespace scpiclient {

using procedure::Unit;

namespace {

constexpr int PollMs = 50; // how often a wait looks at the stop flag

QString message(const char *text)
{
    return QCoreApplication::translate("scpiclient", text);
}

// A device's failure: no port, no answer, or an answer that is no reading; `member` names
// the procedure's member it disagrees with, when one does.
procedure::Error deviceError(const QString &text, const QString &member = QString())
{
    return {procedure::Error::Code::Device, member, text};
}

const QRegularExpression &numberPattern()
{
    static const QRegularExpression pattern(QStringLiteral("[-+]?(?:\\d+\\.?\\d*|\\.\\d+)(?:[eE][-+]?\\d+)?"));
    return pattern;
}

QString valueText(double value)
{
    return QString::number(value, 'g', 10);
}

} // namespace

Client::Client(std::unique_ptr<ports::Port> port)
    : m_port(std::move(port))
{
}

Client::~Client() = default;

std::unique_ptr<Client> Client::open(const QString &name, procedure::Error *error)
{
    portname::Opened opened = portname::open(name);
    if (!opened.port) {
        *error = deviceError(opened.reason);
        return nullptr;
    }
    opened.port->closeOnFatalError();
    return std::make_unique<Client>(std::move(opened.port));
}

bool Client::send(const QByteArray &line, procedure::Error *error)
{
    if (!m_port->isOpen() || m_port->isLost()) {
        *error = deviceError(message(QT_TRANSLATE_NOOP("scpiclient", "the connection was lost")));
        return false;
    }
    const QByteArray bytes = line + '\n';
    if (m_port->device().write(bytes) != bytes.size()) {
        *error = deviceError(message(QT_TRANSLATE_NOOP("scpiclient", "the line could not be sent: %1")).arg(m_port->device().errorString()));
        return false;
    }
    m_port->flush();
    QDeadlineTimer deadline(ReplyTimeoutMs);
    while (m_port->device().bytesToWrite() > 0 && !deadline.hasExpired())
        m_port->device().waitForBytesWritten(PollMs);
    return true;
}

std::optional<QByteArray> Client::ask(const QByteArray &query, const std::atomic<bool> *stop, procedure::Error *error, int timeoutMs)
{
    // An answer that came late to an earlier query must not be taken for this one's.
    m_port->dropHeld();
    m_buffer.clear();
    if (!send(query, error))
        return std::nullopt;
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        const int end = m_buffer.indexOf('\n');
        if (end >= 0)
            return m_buffer.left(end).trimmed();
        if (m_buffer.size() > LongestReply) {
            *error = deviceError(message(QT_TRANSLATE_NOOP("scpiclient", "the answer is longer than %1 bytes")).arg(LongestReply));
            return std::nullopt;
        }
        if (stop && stop->load()) {
            *error = deviceError(message(QT_TRANSLATE_NOOP("scpiclient", "stopped")));
            return std::nullopt;
        }
        if (m_port->isLost() || !m_port->isOpen()) {
            *error = deviceError(message(QT_TRANSLATE_NOOP("scpiclient", "the connection was lost")));
            return std::nullopt;
        }
        if (deadline.hasExpired()) {
            *error = deviceError(message(QT_TRANSLATE_NOOP("scpiclient", "no answer to %1 within %2 s"))
                         .arg(QString::fromLatin1(query)).arg(timeoutMs / 1000.0));
            return std::nullopt;
        }
        if (m_port->device().bytesAvailable() == 0)
            m_port->device().waitForReadyRead(int(std::min<qint64>(PollMs, std::max<qint64>(1, deadline.remainingTime()))));
        m_buffer += m_port->device().read(LongestReply + 1 - m_buffer.size());
    }
}

namespace {

// A readout's text: UTF-8 where it is ("25.587 °C"), otherwise Latin-1, which maps every byte.
QString replyText(const QByteArray &reply)
{
    const QString utf8 = QString::fromUtf8(reply);
    return utf8.contains(QChar::ReplacementCharacter) ? QString::fromLatin1(reply) : utf8;
}

// A channel's label before the reading ("CH1:", "t:", "Input A ="), whose digits are no reading.
const QRegularExpression &labelPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*[A-Za-z][A-Za-z0-9 _.]*\\s*[:=]\\s*"));
    return pattern;
}

// A unit as readouts write it, as a whole word: K, KEL, C, CEL, °C, deg C, V, VOLT(S), mV.
const QRegularExpression &unitPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("(?:^|[\\s,;/()\\[\\]]|(?<=\\d))((?i:KEL|KELVIN|K)|(?i:CEL|CELSIUS|(?:DEG|°|º)\\s*C|C)|mV|(?i:VOLTS?|V))(?=$|[\\s,;/()\\[\\]])"));
    return pattern;
}

struct Parts
{
    std::optional<double> value;
    std::optional<Unit> unit;
    double scale = 1.0; // mV to V
};

Parts parts(const QByteArray &reply, const QString &custom)
{
    Parts result;
    const QString text = replyText(reply);
    QString number;
    QString after;
    if (!custom.isEmpty()) {
        const QRegularExpressionMatch match = QRegularExpression(custom).match(text);
        if (!match.hasMatch())
            return result;
        number = match.captured(QStringLiteral("value")).isEmpty() ? match.captured(1) : match.captured(QStringLiteral("value"));
        after = match.captured(QStringLiteral("unit"));
        if (after.isEmpty())
            after = text.mid(match.capturedEnd(0));
    } else {
        const int labelEnd = labelPattern().match(text).capturedEnd(0);
        const QRegularExpressionMatch match = numberPattern().match(text, std::max(0, labelEnd));
        if (!match.hasMatch())
            return result;
        number = match.captured(0);
        after = text.mid(match.capturedEnd(0));
    }
    bool ok = false;
    const double value = number.toDouble(&ok);
    // SCPI's "not a number" is a reading the readout could not take, not 9.91E37 K.
    if (!ok || !std::isfinite(value) || scpi::isNotANumber(value))
        return result;
    result.value = value;
    const QRegularExpressionMatch unit = unitPattern().match(after);
    if (unit.hasMatch()) {
        const QString symbol = unit.captured(1);
        const QString upper = symbol.toUpper();
        if (symbol == QLatin1String("mV")) {
            result.unit = Unit::Volt;
            result.scale = 1e-3;
        } else if (upper.startsWith(QLatin1Char('V'))) {
            result.unit = Unit::Volt;
        } else if (upper.startsWith(QLatin1Char('K'))) {
            result.unit = Unit::Kelvin;
        } else {
            result.unit = Unit::Celsius;
        }
    }
    return result;
}

} // namespace

std::optional<double> firstNumber(const QByteArray &reply)
{
    return parts(reply, QString()).value;
}

std::optional<procedure::Unit> unitAfterNumber(const QByteArray &reply)
{
    return parts(reply, QString()).unit;
}

QString patternProblem(const QString &pattern)
{
    const QRegularExpression expression(pattern);
    if (!expression.isValid())
        return message(QT_TRANSLATE_NOOP("scpiclient", "not a regular expression: %1")).arg(expression.errorString());
    if (expression.captureCount() < 1 && !expression.namedCaptureGroups().contains(QStringLiteral("value")))
        return message(QT_TRANSLATE_NOOP("scpiclient", "it needs a group, (...) or (?<value>...), around the reading"));
    return QString();
}

std::optional<double> reading(const QByteArray &reply, procedure::Unit unit, procedure::Error *error, const QString &pattern)
{
    const Parts found = parts(reply, pattern);
    if (!found.value) {
        *error = deviceError(message(QT_TRANSLATE_NOOP("scpiclient", "the reference answered \"%1\", which holds no number"))
                     .arg(ports::printableLine(reply)));
        return std::nullopt;
    }
    if (found.unit && *found.unit != unit) {
        *error = deviceError(message(QT_TRANSLATE_NOOP("scpiclient", "the reference answered in %1 (\"%2\"), but the procedure says %3"))
                                 .arg(procedure::unitSymbol(*found.unit), ports::printableLine(reply), procedure::unitSymbol(unit)),
                             QStringLiteral("reference.unit"));
        return std::nullopt;
    }
    return *found.value * found.scale;
}

QByteArray setCommand(const QString &pattern, double nominal)
{
    QString command = pattern;
    command.replace(QLatin1String("{K}"), valueText(nominal));
    command.replace(QLatin1String("{C}"), valueText(procedure::inUnit(nominal, procedure::Unit::Celsius)));
    command.replace(QLatin1String("{V}"), valueText(nominal));
    return command.toLatin1();
}

} // namespace scpiclient
