#include "scpiclient.h"

#include "portname.h"
#include "ports.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QIODevice>
#include <QRegularExpression>

#include <cmath>

namespace scpiclient {

namespace {

constexpr int PollMs = 50; // how often a wait looks at the stop flag

QString message(const char *text)
{
    return QCoreApplication::translate("scpiclient", text);
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

std::unique_ptr<Client> Client::open(const QString &name, QString *error)
{
    portname::Opened opened = portname::open(name);
    if (!opened.port) {
        *error = opened.reason;
        return nullptr;
    }
    opened.port->closeOnFatalError();
    return std::make_unique<Client>(std::move(opened.port));
}

bool Client::send(const QByteArray &line, QString *error)
{
    if (!m_port->isOpen() || m_port->isLost()) {
        *error = message(QT_TRANSLATE_NOOP("scpiclient", "the connection was lost"));
        return false;
    }
    const QByteArray bytes = line + '\n';
    if (m_port->device().write(bytes) != bytes.size()) {
        *error = message(QT_TRANSLATE_NOOP("scpiclient", "the line could not be sent: %1")).arg(m_port->device().errorString());
        return false;
    }
    m_port->flush();
    QDeadlineTimer deadline(ReplyTimeoutMs);
    while (m_port->device().bytesToWrite() > 0 && !deadline.hasExpired())
        m_port->device().waitForBytesWritten(PollMs);
    return true;
}

std::optional<QByteArray> Client::ask(const QByteArray &query, const std::atomic<bool> *stop, QString *error, int timeoutMs)
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
            *error = message(QT_TRANSLATE_NOOP("scpiclient", "the answer is longer than %1 bytes")).arg(LongestReply);
            return std::nullopt;
        }
        if (stop && stop->load()) {
            *error = message(QT_TRANSLATE_NOOP("scpiclient", "stopped"));
            return std::nullopt;
        }
        if (m_port->isLost() || !m_port->isOpen()) {
            *error = message(QT_TRANSLATE_NOOP("scpiclient", "the connection was lost"));
            return std::nullopt;
        }
        if (deadline.hasExpired()) {
            *error = message(QT_TRANSLATE_NOOP("scpiclient", "no answer to %1 within %2 s"))
                         .arg(QString::fromLatin1(query)).arg(timeoutMs / 1000.0);
            return std::nullopt;
        }
        if (m_port->device().bytesAvailable() == 0)
            m_port->device().waitForReadyRead(int(std::min<qint64>(PollMs, std::max<qint64>(1, deadline.remainingTime()))));
        m_buffer += m_port->device().read(LongestReply + 1 - m_buffer.size());
    }
}

std::optional<double> firstNumber(const QByteArray &reply)
{
    const QRegularExpressionMatch match = numberPattern().match(QString::fromLatin1(reply));
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const double value = match.captured(0).toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<procedure::Unit> unitAfterNumber(const QByteArray &reply)
{
    const QString text = QString::fromLatin1(reply);
    const QRegularExpressionMatch match = numberPattern().match(text);
    if (!match.hasMatch())
        return std::nullopt;
    static const QRegularExpression unitPattern(QStringLiteral("^[\\s,]*(?:deg)?([KCV])\\b"));
    const QRegularExpressionMatch unit = unitPattern.match(text.mid(match.capturedEnd(0)));
    if (!unit.hasMatch())
        return std::nullopt;
    const QString symbol = unit.captured(1);
    return symbol == QLatin1String("K") ? procedure::Unit::Kelvin
         : symbol == QLatin1String("C") ? procedure::Unit::Celsius
                                        : procedure::Unit::Volt;
}

std::optional<double> reading(const QByteArray &reply, procedure::Unit unit, QString *error)
{
    const std::optional<double> value = firstNumber(reply);
    if (!value) {
        *error = message(QT_TRANSLATE_NOOP("scpiclient", "the reference answered \"%1\", which holds no number"))
                     .arg(ports::printableLine(reply));
        return std::nullopt;
    }
    const std::optional<procedure::Unit> named = unitAfterNumber(reply);
    if (named && *named != unit) {
        *error = message(QT_TRANSLATE_NOOP("scpiclient", "the reference answered in %1 (\"%2\"), but the procedure says %3"))
                     .arg(procedure::unitSymbol(*named), ports::printableLine(reply), procedure::unitSymbol(unit));
        return std::nullopt;
    }
    return value;
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
