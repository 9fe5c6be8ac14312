#include "frontend.h"

#include <QCoreApplication>

#include <cmath>

namespace frontend {

namespace {

constexpr qint64 MsPerMinute = 60 * 1000;
constexpr qint64 MsPerHour = 60 * MsPerMinute;
constexpr int HexDigits = 4;
constexpr int Hexadecimal = 16;
// The width of a help text, for an 80-column terminal.
constexpr int HelpWidth = 79;

QString secondsText(double seconds)
{
    return QString::number(seconds);
}

// A number of seconds from `shortest` to `longest`, for the option `name`.
std::optional<double> parseSeconds(const QString &name, const QString &text, double shortest, double longest,
                                   QString *problem)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (ok && std::isfinite(seconds) && seconds >= shortest && seconds <= longest)
        return seconds;
    *problem = QStringLiteral("--%1 takes seconds from %2 to %3, not '%4'")
                   .arg(name, secondsText(shortest), secondsText(longest), text);
    return std::nullopt;
}

} // namespace

std::optional<double> parseInterval(const QString &text, QString *problem)
{
    return parseSeconds(QStringLiteral("interval"), text, ShortestIntervalSeconds, LongestIntervalSeconds, problem);
}

std::optional<double> parseAlarmHold(const QString &text, QString *problem)
{
    return parseSeconds(QStringLiteral("alarm-after"), text, 0.0, LongestAlarmHoldSeconds, problem);
}

QString intervalRange()
{
    return QStringLiteral("%1 to %2").arg(secondsText(ShortestIntervalSeconds), secondsText(LongestIntervalSeconds));
}

QString portHelp(PortUse use)
{
#ifdef Q_OS_WIN
    const QString local = QStringLiteral("COM3, \\\\.\\COM10");
#else
    const QString local = QStringLiteral("ttyACM1, /dev/ttyACM1, a pseudo-terminal");
#endif
    const QString network = QStringLiteral("rfc2217://HOST:PORT, socket://HOST:PORT");
    switch (use) {
    case PortUse::One:
        return QStringLiteral("The instrument's port (%1), opened whatever its USB identifiers, or a port served on "
                              "the network (%2). Without it, exactly one instrument must be connected.")
            .arg(local, network);
    case PortUse::Each:
        break;
    }
    return QStringLiteral("Watches the instrument on port NAME (repeatable: one trace each): a local port (%1), "
                          "or a port served on the network (%2). Without it, every port with the instrument's "
                          "USB identifiers.")
        .arg(local, network);
}

QString wrapped(const QString &text, int indent)
{
    QString result;
    QString line;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > HelpWidth) {
            result += line + QLatin1Char('\n') + QString(indent, QLatin1Char(' '));
            line.clear();
        }
        if (!line.isEmpty())
            line += QLatin1Char(' ');
        line += word;
    }
    return result + line;
}

QString usbId(quint16 id)
{
    return QStringLiteral("%1").arg(id, HexDigits, Hexadecimal, QLatin1Char('0'));
}

QString usbIds(quint16 vendorId, quint16 productId)
{
    return usbId(vendorId) + QLatin1Char(':') + usbId(productId);
}

QVector<ChartSpan> chartSpans()
{
    return {{10 * MsPerMinute, QCoreApplication::translate("frontend", "10 min")},
            {MsPerHour, QCoreApplication::translate("frontend", "1 h")},
            {6 * MsPerHour, QCoreApplication::translate("frontend", "6 h")},
            {24 * MsPerHour, QCoreApplication::translate("frontend", "24 h")},
            {0, QCoreApplication::translate("frontend", "all")}};
}

qint64 defaultChartSpanMs()
{
    return chartSpans().constFirst().ms;
}

} // namespace frontend
