#include "lineprotocol.h"

#include <chrono>
#include <limits>
#include <utility>

namespace lineprotocol {

namespace {

QString escaped(const QString &text, const QString &special)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (special.contains(c))
            result += QLatin1Char('\\');
        result += c;
    }
    return result;
}

} // namespace

QString escapeMeasurement(const QString &name)
{
    return escaped(name, QStringLiteral(", "));
}

QString escapeKey(const QString &text)
{
    return escaped(text, QStringLiteral(",= "));
}

QString problemWith(const QString &text)
{
    if (text.isEmpty())
        return QStringLiteral("is empty");
    if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')))
        return QStringLiteral("holds a line break");
    // InfluxDB 1.x has no escape for a backslash: one at the end escapes the separator that
    // follows (the point is refused, or its tags run together), and one before an escaped
    // character is read as that escape by InfluxDB's measurement and by later versions.
    // Refused here, the log never loses a line to it.
    const QChar backslash = QLatin1Char('\\');
    if (text.endsWith(backslash))
        return QStringLiteral("ends with a backslash, which InfluxDB cannot take");
    for (const QChar special : {QLatin1Char(','), QLatin1Char(' '), QLatin1Char('=')}) {
        if (text.contains(QString(backslash) + special))
            return QStringLiteral("has a backslash before '%1', which InfluxDB would read as an escape").arg(special);
    }
    return QString();
}

QString measurementProblem(const QString &name)
{
    if (name.startsWith(QLatin1Char('#')))
        return QStringLiteral("starts with '#', which makes the line a comment");
    return problemWith(name);
}

QString line(const QString &measurement, const Pairs &tags, const Pairs &fields, qint64 nanoseconds)
{
    QString text = escapeMeasurement(measurement);
    for (const auto &tag : tags)
        text += QLatin1Char(',') + escapeKey(tag.first) + QLatin1Char('=') + escapeKey(tag.second);
    QChar separator = QLatin1Char(' ');
    for (const auto &field : fields) {
        text += separator + escapeKey(field.first) + QLatin1Char('=') + field.second;
        separator = QLatin1Char(',');
    }
    return text + QLatin1Char(' ') + QString::number(nanoseconds) + QLatin1Char('\n');
}

qint64 systemNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

UniqueTimestamps::UniqueTimestamps(std::function<qint64()> clock)
    : m_clock(std::move(clock))
    , m_last(std::numeric_limits<qint64>::min())
{
}

qint64 UniqueTimestamps::next()
{
    const qint64 now = m_clock();
    m_last = now > m_last ? now : m_last + 1;
    return m_last;
}

qint64 uniqueNow()
{
    static UniqueTimestamps timestamps;
    return timestamps.next();
}

} // namespace lineprotocol
