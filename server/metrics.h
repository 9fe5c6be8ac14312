#pragma once

#include "readingloop.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

// The Prometheus page of one instrument: the latest reading as the server's own schedule
// took it, served on every scrape without touching the instrument.
namespace metrics {

// What the instrument is doing, as the page tells it.
enum class InstrumentState { Starting, Reading, NotANumber, NoAnswer, Disconnected };

// One endpoint's clients now and requests so far.
struct EndpointCount
{
    QString endpoint;
    int clients = 0;
    qint64 requests = 0;
};

struct Snapshot
{
    QString port;
    QString serial;
    QString version;
    // The values of the latest scheduled reading, each only while it was answered with a
    // number: a gauge left out makes a gap in Prometheus, not a flat line of stale values.
    std::optional<float> temperature;
    std::optional<float> voltage;
    InstrumentState state = InstrumentState::Starting;
    qint64 answered = 0;
    qint64 unanswered = 0;
    std::optional<qint64> lastReadingUtcMs;  // of the latest answered reading
    std::vector<EndpointCount> endpoints;
    qint64 refusedWrites = 0;

    // The latest scheduled reading was answered with a temperature.
    bool up() const { return state == InstrumentState::Reading; }
    // A scheduled reading, answered or not.
    void take(const readingloop::Reading &reading);
    // The port went: no values until a reading is answered again.
    void lose();
};

// The page in the text exposition format (version 0.0.4).
QByteArray page(const Snapshot &snapshot);
// The state's label value, such as "no_answer".
QString stateName(InstrumentState state);
// A label value with its backslashes, quotes and line breaks escaped.
QString escapeLabel(const QString &value);

} // namespace metrics
