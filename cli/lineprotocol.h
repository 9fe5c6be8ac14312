#pragma once

#include <QPair>
#include <QString>
#include <QVector>

#include <functional>

// InfluxDB's line protocol, one point per line:
//   measurement,tag=value,... field=value,... nanoseconds-since-1970
namespace lineprotocol {

using Pairs = QVector<QPair<QString, QString>>;

// The measurement with its commas and spaces escaped.
QString escapeMeasurement(const QString &name);
// A tag key or value, or a field key, with its commas, equals signs and spaces escaped.
QString escapeKey(const QString &text);
// Why `text` cannot be a tag key or tag value: empty, a line break in it, or a backslash
// that InfluxDB would read as an escape (at the end, or before a comma, space or equals
// sign); empty when it can. Any other backslash is written and stored as it is.
QString problemWith(const QString &text);
// The same for a measurement, which also must not start with '#': the line would be a
// comment, and the point silently dropped.
QString measurementProblem(const QString &name);

// One point; the field values are written as given (numbers).
QString line(const QString &measurement, const Pairs &tags, const Pairs &fields, qint64 nanoseconds);

// The system clock in nanoseconds since 1970.
qint64 systemNs();

// Timestamps from a clock, never the same or earlier twice: InfluxDB merges points of one
// series that share a timestamp. A clock that has not moved since the last one (Windows'
// advances in steps of up to 15.6 ms), or that was set back, gives the last one plus 1 ns.
class UniqueTimestamps
{
public:
    explicit UniqueTimestamps(std::function<qint64()> clock = systemNs);
    qint64 next();

private:
    std::function<qint64()> m_clock;
    qint64 m_last;
};

// The system clock's unique timestamps, shared by the whole process.
qint64 uniqueNow();

} // namespace lineprotocol
