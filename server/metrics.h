#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The Prometheus page of one instrument: the latest reading as the server's own schedule
// took it, served on every scrape without touching the instrument.
namespace metrics {

struct Snapshot
{
    QString port;
    QString serial;
    std::optional<float> temperature;     // the latest answered values
    std::optional<float> voltage;
    bool up = false;                      // the latest scheduled reading was answered
    qint64 answered = 0;
    qint64 unanswered = 0;
    std::optional<qint64> lastReadingUtcMs;  // of the latest answered reading
};

// The page in the text exposition format (version 0.0.4).
QByteArray page(const Snapshot &snapshot);
// A label value with its backslashes, quotes and line breaks escaped.
QString escapeLabel(const QString &value);

} // namespace metrics
