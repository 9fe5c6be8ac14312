#pragma once

#include <QString>
#include <QVector>

#include <optional>

// The rules the window, thermocal-cli and thermocal-monitor share, in one place so that the
// three front ends cannot drift apart: exit statuses, option limits and their messages, the
// texts that describe a port, the instrument's USB identifiers, the chart's spans.
namespace frontend {

// The exit statuses scripts branch on. The window and the monitor use those that apply to
// them: Success, UsageError and FileProblem.
enum Status {
    Success = 0,          // for diff: the two sets are identical
    Different = 1,        // diff found differences
    UsageError = 2,       // unknown command or option, missing or malformed argument
    NotVerified = 3,      // after set, the instrument holds other values; nothing committed
    NoAnswer = 4,         // the instrument did not answer, or the connection was lost
    FileProblem = 5,      // a file could not be read, is not valid here, or could not be written
    NoInstrument = 6,     // none, several without --port, or the port would not open
    NotStable = 7,        // calibrate: a point did not become stable in time
    Stopped = 8,          // calibrate: stopped (a signal, or its input ended) before the end
    OutOfBounds = 9,      // calibrate: a reference reading or the adjustment beyond the procedure's bounds
};

// The reading schedule's interval, for `thermocal-cli read --interval` and
// `thermocal-monitor --interval`: from ten readings a second (what the instrument's 100 ms
// answer time allows) to one a day.
constexpr double ShortestIntervalSeconds = 0.01;
constexpr double LongestIntervalSeconds = 86400.0;
// How long an alarm's condition must last before the alarm: from at once to a day.
constexpr double LongestAlarmHoldSeconds = 86400.0;

// The seconds in `text` when they are an interval in range; otherwise nothing, with the usage
// error's words in `problem`: "--interval takes seconds from 0.01 to 86400, not '0'".
std::optional<double> parseInterval(const QString &text, QString *problem);
// The same for --alarm-after.
std::optional<double> parseAlarmHold(const QString &text, QString *problem);
// The option help's words for the interval's range: "0.01 to 86400".
QString intervalRange();

// How a program takes --port, for the help text that describes it.
enum class PortUse {
    One,   // one port, local or on the network (thermocal-cli, the window)
    Each,  // repeatable, one instrument each (thermocal-monitor)
};
// The help text of --port NAME.
QString portHelp(PortUse use);

// `text` broken at spaces into lines that end before the help's right margin, the first
// starting at column `indent` (after an option's name) and the others indented to it.
QString wrapped(const QString &text, int indent);

// USB identifiers as every message and listing writes them: "0483:5740", "0483".
QString usbId(quint16 id);
QString usbIds(quint16 vendorId, quint16 productId);

// A span the monitor's chart offers, and its label in the span box.
struct ChartSpan
{
    qint64 ms;      // 0 shows the whole run
    QString label;
};
QVector<ChartSpan> chartSpans();
// The span the chart opens with, and shows while the whole run is shorter.
qint64 defaultChartSpanMs();

} // namespace frontend
